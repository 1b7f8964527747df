// The service's decisions on real signed packages: the test kit's PKI trusted in the prefix, real
// products installed by the installer, and the msi.dll test double in place of the installer's
// advertise entry points, which Wine lacks (selected for the service's executable and this suite's). Each case
// installs or removes the products it needs first, so the cases run in any order.
#include "conversation.h"
#include "inprocessservice.h"
#include "inspection/productinventory.h"
#include "inspection/servicefolders.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <functional>
#include <memory>

using namespace brokertest;

namespace {

const bool serviceRuns = runServiceForWholeSuite();

const wchar_t kSignedCode[] = L"{7A000000-0000-4000-8000-000000000020}";   // the kit's signed-*.msi
const wchar_t kNewerCode[] = L"{7B000000-0000-4000-8000-000000000901}";    // this suite's newer-norvo.msi
const wchar_t kDoubleSettings[] = L"SOFTWARE\\NorvoTest\\MsiDouble";

std::wstring kitPackage(const wchar_t *name) { return nvtest::runDir() + L"\\testkit\\packages\\" + name + L".msi"; }
std::wstring newerPackage() { return nvtest::suiteDir() + L"\\packages\\newer-norvo.msi"; }

// Where the service (which sees ALLUSERSPROFILE=C:\users\Public) keeps its advertise scripts.
std::wstring scriptOf(const std::wstring &productCode)
{
    return L"C:\\users\\Public\\Norvo\\Updater Service\\scripts\\" + productCode + L".aas";
}

// The machine-wide advertisement that the double registers for a product.
bool advertised(const std::wstring &productCode)
{
    std::wstring key = L"SOFTWARE\\Classes\\Installer\\Products\\" + nvupdater::PackGuid(productCode);
    norvo::tiny::UniqueKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, opened.put()) == ERROR_SUCCESS;
}

long msiexecInstall(const std::wstring &package)
{
    return nvtest::runProcess(L"msiexec /i \"" + package + L"\" /qn", 120000).exitCode;
}

// A conversation up to the service's decision on `package`.
std::string decide(Conversation &session, const std::wstring &package)
{
    session.send(L"200 NSW 1");
    session.send(L"210 PACKAGE \"" + package + L"\"");
    return session.receive(15000);
}

// The lines of a session that inspected `package` (of `code` and `version`) up to its checks.
std::vector<std::string> inspected(const std::wstring &package, const std::wstring &code, const char *version)
{
    std::vector<std::string> lines = received(nvtest::narrow(package));
    lines.insert(lines.end(), {"Debug - Result of locking file: 0", "Debug - " + nvtest::narrow(code), std::string("Debug - ") + version});
    return lines;
}

std::vector<std::string> accepted(const std::wstring &package, const std::wstring &code, const char *version)
{
    std::vector<std::string> lines = inspected(package, code, version);
    lines.insert(lines.end(), {"Debug - The sign of package was accepted.", "Debug - Upgradable product found.",
                               "Debug - Product was advertised.", "Debug - Result of unlocking file: 0"});
    return lines;
}

void append(std::vector<std::string> &lines, std::initializer_list<std::string> more) { lines.insert(lines.end(), more); }

const wchar_t kFamilyF[] = L"{6F1A0000-1111-4111-8111-00000000000F}";

// The kit's signed packages upgrade any installed product of family F: make sure there is one.
void ensureFamilyInstalled()
{
    std::wstring version;
    if (nvupdater::FindProductByUpgradeCode(kFamilyF, version) != ERROR_SUCCESS) {
        ASSERT_EQ(0, msiexecInstall(kitPackage(L"f-9.0.0")));
    }
}

// Removes every installed product of family F (the kit's f-9.0.0, this suite's newer-norvo.msi).
void removeFamily()
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::wstring version, packedProduct;
        if (nvupdater::FindProductByUpgradeCode(kFamilyF, version, packedProduct) != ERROR_SUCCESS)
            return;
        nvtest::runProcess(L"msiexec /x " + nvupdater::UnpackGuid(packedProduct) + L" /qn", 120000);
    }
    std::wstring version;
    ASSERT_NE(ERROR_SUCCESS, nvupdater::FindProductByUpgradeCode(kFamilyF, version)) << "family F stays installed";
}

// Family F installed at 9.0.0 only: the suite's newer-norvo.msi (9.0.1) may upgrade it.
void installFamilyAtNineOnly()
{
    ASSERT_NO_FATAL_FAILURE(removeFamily());
    ASSERT_EQ(0, msiexecInstall(kitPackage(L"f-9.0.0")));
}

TEST(Refusal, UnsignedUntrustedAndForeignPackagesGive28401)
{
    struct Case {
        const wchar_t *package;
        std::string signCheck;   // '*' at the end: the platform's error numbers follow
    } cases[] = {
        {L"unsigned", "Debug - Sign check result: *"},
        {L"signed-other", "Debug - Sign check result: 0 Publisher check result: Norvo: -1 Tandem: -1"},
        {L"signed-norvo-case", "Debug - Sign check result: 0 Publisher check result: Norvo: -1 Tandem: -1"},
        // The accepted publisher's name, from a root the machine does not trust.
        {L"signed-norvo-stray", "Debug - Sign check result: -*"},
    };
    for (const Case &c : cases) {
        Conversation session;
        EXPECT_EQ("220 RESULT 28401", decide(session, kitPackage(c.package))) << nvtest::narrow(c.package);
        EXPECT_TRUE(session.hungUp());
        std::vector<std::string> lines = inspected(kitPackage(c.package), kSignedCode, "11.0.0");
        append(lines, {c.signCheck, "Debug - Result of unlocking file: 0", "Comm - Pipe closed."});
        std::vector<std::string> actual = session.closedLog();
        EXPECT_LINES(actual, lines);
        if (c.package == std::wstring(L"signed-norvo-stray") && actual.size() > 6) {
            EXPECT_NE(std::string::npos, actual[6].find(" Publisher check result: Norvo: 0 Tandem: -1")) << actual[6];
        }
    }
}

TEST(Refusal, NoInstalledProductToUpgradeGives28402)
{
    ASSERT_NO_FATAL_FAILURE(removeFamily());
    Conversation session;
    EXPECT_EQ("220 RESULT 28402", decide(session, kitPackage(L"signed-norvo")));
    std::vector<std::string> lines = inspected(kitPackage(L"signed-norvo"), kSignedCode, "11.0.0");
    append(lines, {"Debug - The sign of package was accepted.", "Error - Upgradable product wasn't found.",
                   "Debug - Result of unlocking file: 0", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(advertised(kSignedCode));
}

TEST(Accepted, FailedInstallationTakesTheAdvertisementAway)
{
    ASSERT_NO_FATAL_FAILURE(removeFamily());
    ASSERT_EQ(0, msiexecInstall(kitPackage(L"f-9.0.0")));
    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, newerPackage()));
    EXPECT_TRUE(advertised(kNewerCode));
    EXPECT_TRUE(nvtest::fileExists(scriptOf(kNewerCode)));
    session.send(L"220 RESULT 1603");
    session.send(L"230 BYE");
    EXPECT_TRUE(session.hungUp());
    std::vector<std::string> lines = accepted(newerPackage(), kNewerCode, "9.0.1");
    append(lines, {"Error - Result of installation 1603.", "Debug - Product was unadvertised.",
                   "Comm - Communication with setup wrapper finished.", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(advertised(kNewerCode));
    EXPECT_FALSE(nvtest::fileExists(scriptOf(kNewerCode)));
}

TEST(Accepted, InstalledAtThePackagesVersionOnlyTheScriptIsDeleted)
{
    ASSERT_NO_FATAL_FAILURE(installFamilyAtNineOnly());
    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, newerPackage()));
    // The client installs the advertised package; then the installed version decides.
    ASSERT_EQ(0, msiexecInstall(newerPackage()));
    session.send(L"220 RESULT 0");
    session.send(L"230 BYE");
    EXPECT_TRUE(session.hungUp());
    std::vector<std::string> lines = accepted(newerPackage(), kNewerCode, "9.0.1");
    append(lines, {"Error - Result of installation 0.", "Comm - Communication with setup wrapper finished.",
                   "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(nvtest::fileExists(scriptOf(kNewerCode)));
}

TEST(Refusal, ProductAlreadyAtThatVersionGives28406)
{
    // The package's own version installed, as a client installs it after the go-ahead.
    ASSERT_NO_FATAL_FAILURE(installFamilyAtNineOnly());
    ASSERT_EQ(0, msiexecInstall(newerPackage()));
    Conversation session;
    EXPECT_EQ("220 RESULT 28406", decide(session, newerPackage()));
    std::vector<std::string> lines = inspected(newerPackage(), kNewerCode, "9.0.1");
    append(lines, {"Debug - The sign of package was accepted.", "Debug - Upgrade of product isn't needed.",
                   "Debug - Result of unlocking file: 0", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
}

TEST(Accepted, WrongEndMessageEndsTheSessionAfterTheCleanUp)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring varda = kitPackage(L"signed-varda");
    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, varda));
    session.send(L"220 RESULT 1603");
    session.send(L"230 BYE!");
    EXPECT_TRUE(session.hungUp());
    std::vector<std::string> lines = accepted(varda, kSignedCode, "11.0.0");
    append(lines, {"Error - Result of installation 1603.", "Debug - Product was unadvertised.",
                   "Comm - Invalid command: 230 BYE!", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(advertised(kSignedCode));
}

// A failure the msi.dll test double is told to return, for as long as the object lives.
class DoubleFailure {
public:
    DoubleFailure(const wchar_t *setting, DWORD error) : setting_(setting)
    {
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDoubleSettings, 0, nullptr, 0,
                                                 KEY_SET_VALUE | nvtest::kBuildView, nullptr, key_.put(), nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), setting_, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&error),
                                                sizeof(error)));
    }
    ~DoubleFailure() { RegDeleteValueW(key_.get(), setting_); }
    DoubleFailure(const DoubleFailure &) = delete;
    DoubleFailure &operator=(const DoubleFailure &) = delete;

private:
    const wchar_t *setting_;
    norvo::tiny::UniqueKey key_;
};

TEST(Refusal, FailedAdvertisingGives28403)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    DoubleFailure failing(L"AdvertiseResult", 1603);
    const std::wstring varda = kitPackage(L"signed-varda");
    Conversation session;
    EXPECT_EQ("220 RESULT 28403", decide(session, varda));
    std::vector<std::string> lines = inspected(varda, kSignedCode, "11.0.0");
    append(lines, {"Debug - The sign of package was accepted.", "Debug - Upgradable product found.",
                   "Error - Advertising failed with error: 1603", "Debug - Result of unlocking file: 0",
                   "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(advertised(kSignedCode));
}

// ---- what the service holds, and what a stop leaves ---------------------------------------------

std::wstring suitePackage(const wchar_t *name) { return nvtest::suiteDir() + L"\\packages\\" + name; }

// The conversation's end after the go-ahead when the client reports a failed installation.
void reportFailureAndLeave(Conversation &session)
{
    session.send(L"220 RESULT 1603");
    session.send(L"230 BYE");
    EXPECT_TRUE(session.hungUp());
}

TEST(HeldPackage, CannotBeChangedRenamedOrDeletedUntilTheClientsResult)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring package = suitePackage(L"held.msi");
    const std::wstring moved = suitePackage(L"held-moved.msi");
    ASSERT_TRUE(CopyFileW(kitPackage(L"signed-varda").c_str(), package.c_str(), FALSE));
    // The attacker opens the package for its access list before naming it, as its owner may.
    norvo::tiny::UniqueFile attacker(CreateFileW(package.c_str(), READ_CONTROL | WRITE_DAC,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(attacker.valid());

    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, package));
    // Whatever the list now says, nobody gets the file for writing, renaming or deleting.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              SetSecurityInfo(attacker.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr));
    norvo::tiny::UniqueFile writer(CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_FALSE(CopyFileW(kitPackage(L"unsigned").c_str(), package.c_str(), FALSE));
    EXPECT_FALSE(MoveFileW(package.c_str(), moved.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_FALSE(DeleteFileW(package.c_str()));
    // The advertisement is of the package that was checked.
    const std::string script = nvtest::readFile(scriptOf(kSignedCode));
    EXPECT_NE(std::string::npos, script.find("productcode=" + nvtest::narrow(kSignedCode))) << script;
    EXPECT_NE(std::string::npos, script.find("package=" + nvtest::narrow(package))) << script;

    reportFailureAndLeave(session);
    std::vector<std::string> lines = accepted(package, kSignedCode, "11.0.0");
    append(lines, {"Error - Result of installation 1603.", "Debug - Product was unadvertised.",
                   "Comm - Communication with setup wrapper finished.", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    // Let go with the session: the file is the owner's again.
    EXPECT_TRUE(MoveFileW(package.c_str(), moved.c_str())) << GetLastError();
    EXPECT_TRUE(DeleteFileW(moved.c_str())) << GetLastError();
}

// The lines of a session on `package` with `transforms`, up to the signature's acceptance; the two
// properties as the transforms leave them.
std::vector<std::string> acceptedSignature(const std::wstring &package, const std::wstring &transforms,
                                           const std::wstring &code, const char *version)
{
    std::vector<std::string> lines = greeted();
    append(lines, {"Comm - Recieved package '" + nvtest::narrow(package) + "' with transforms '" +
                       nvtest::narrow(transforms) + "'.",
                   "Debug - Result of locking file: 0", "Debug - " + nvtest::narrow(code), std::string("Debug - ") + version,
                   "Debug - The sign of package was accepted."});
    return lines;
}

TEST(Transforms, EmbeddedOnesAndFilesMustBeSignedAsNeededAndApply)
{
    ASSERT_NO_FATAL_FAILURE(installFamilyAtNineOnly());
    const std::wstring signedTransform = suitePackage(L"signed-norvo.mst");
    const std::wstring unsignedTransform = suitePackage(L"unsigned.mst");
    const std::wstring notATransform = suitePackage(L"not-a-transform.mst");
    struct Case {
        std::wstring transforms;
        std::wstring refused;   // the item refused, or empty when the package is accepted
    } cases[] = {
        {L":lang.mst", L""},
        {signedTransform, L""},
        {L":lang.mst;@" + signedTransform, L""},
        {L"|" + signedTransform + L";;", L""},
        {unsignedTransform, unsignedTransform},
        {signedTransform + L";" + suitePackage(L"missing.mst"), suitePackage(L"missing.mst")},
        {L"relative.mst", L"relative.mst"},
        {L"@" + nvtest::suiteDir() + L"\\packages\\..\\packages\\signed-norvo.mst",
         L"@" + nvtest::suiteDir() + L"\\packages\\..\\packages\\signed-norvo.mst"},
        // Signed as needed, but nothing the installer can apply to the package.
        {L":lang.mst;:missing.mst", L":missing.mst"},
        {notATransform, notATransform},
    };
    const std::wstring package = suitePackage(L"newer-transforms-norvo.msi");
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.transforms));
        Conversation session;
        session.send(L"200 NSW 1");
        session.send(L"210 PACKAGE \"" + package + L"\" TRANSFORMS \"" + c.transforms + L"\"");
        std::vector<std::string> lines = acceptedSignature(package, c.transforms, kNewerCode, "9.0.1");
        if (!c.refused.empty()) {
            EXPECT_EQ("220 RESULT 28401", session.receive(15000));
            append(lines, {"Error - Transform refused: " + nvtest::narrow(c.refused), "Debug - Result of unlocking file: 0",
                           "Comm - Pipe closed."});
            EXPECT_LINES(session.closedLog(), lines);
            EXPECT_FALSE(advertised(kNewerCode));
            continue;
        }
        ASSERT_EQ("220 RESULT 0", session.receive(15000));
        // The installer gets the transforms exactly as the client wrote them.
        const std::string script = nvtest::readFile(scriptOf(kNewerCode));
        EXPECT_NE(std::string::npos, script.find("transforms=" + nvtest::narrow(c.transforms) + "\r\n")) << script;
        reportFailureAndLeave(session);
        append(lines, {"Debug - Upgradable product found.", "Debug - Product was advertised.",
                       "Debug - Result of unlocking file: 0", "Error - Result of installation 1603.",
                       "Debug - Product was unadvertised.", "Comm - Communication with setup wrapper finished.",
                       "Comm - Pipe closed."});
        EXPECT_LINES(session.closedLog(), lines);
    }
}

// The package with its transforms applied is what is judged: the two properties, the newer-only
// bit, the NVUpdate rows. The package alone (9.0.1 over an installed 9.0.0) would be accepted.
TEST(Transforms, TheDecisionIsMadeOnThePackageWithItsTransformsApplied)
{
    ASSERT_NO_FATAL_FAILURE(installFamilyAtNineOnly());
    struct Case {
        std::wstring transforms;
        const char *version;   // the ProductVersion after the transforms
        std::string result;
        std::string line;
    } cases[] = {
        {L":to-900.mst", "9.0.0", "220 RESULT 28406", "Debug - Upgrade of product isn't needed."},
        {suitePackage(L"to-900-norvo.mst"), "9.0.0", "220 RESULT 28406", "Debug - Upgrade of product isn't needed."},
        {L":to-h.mst", "9.0.1", "220 RESULT 28402", "Error - Upgradable product wasn't found."},
        {suitePackage(L"to-h-norvo.mst"), "9.0.1", "220 RESULT 28402", "Error - Upgradable product wasn't found."},
        // Every transform of the list applies, not the first alone.
        {L":lang.mst;" + suitePackage(L"to-900-norvo.mst"), "9.0.0", "220 RESULT 28406",
         "Debug - Upgrade of product isn't needed."},
    };
    const std::wstring package = suitePackage(L"newer-transforms-norvo.msi");
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.transforms));
        Conversation session;
        session.send(L"200 NSW 1");
        session.send(L"210 PACKAGE \"" + package + L"\" TRANSFORMS \"" + c.transforms + L"\"");
        EXPECT_EQ(c.result, session.receive(15000));
        std::vector<std::string> lines = acceptedSignature(package, c.transforms, kNewerCode, c.version);
        append(lines, {c.line, "Debug - Result of unlocking file: 0", "Comm - Pipe closed."});
        EXPECT_LINES(session.closedLog(), lines);
        EXPECT_FALSE(advertised(kNewerCode));
    }
}

// The signature covers the package file alone: a cabinet or a file beside it is the client's own.
TEST(Refusal, FilesOutsideTheSignedPackageGive28401)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    for (const wchar_t *name : {L"external-cabinet-norvo.msi", L"uncompressed-norvo.msi"}) {
        SCOPED_TRACE(nvtest::narrow(name));
        const std::wstring package = suitePackage(name);
        Conversation session;
        EXPECT_EQ("220 RESULT 28401", decide(session, package));
        std::vector<std::string> lines = inspected(package, kSignedCode, "11.0.0");
        append(lines, {"Debug - The sign of package was accepted.",
                       "Error - Package refused: its files are not all inside the signed package.",
                       "Debug - Result of unlocking file: 0", "Comm - Pipe closed."});
        EXPECT_LINES(session.closedLog(), lines);
        EXPECT_FALSE(advertised(kSignedCode));
        EXPECT_FALSE(nvtest::fileExists(scriptOf(kSignedCode)));
    }
}

TEST(SilentClient, WhileItInstallsItIsWaitedForPastTheMessageLimit)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring varda = kitPackage(L"signed-varda");
    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, varda));
    // Longer than any message may take: the installation's result has a limit of its own.
    Sleep(nvupdater::protocol::kMessageLimitMs + 1000);
    reportFailureAndLeave(session);
    std::vector<std::string> lines = accepted(varda, kSignedCode, "11.0.0");
    append(lines, {"Error - Result of installation 1603.", "Debug - Product was unadvertised.",
                   "Comm - Communication with setup wrapper finished.", "Comm - Pipe closed."});
    EXPECT_LINES(session.closedLog(), lines);
    EXPECT_FALSE(advertised(kSignedCode));
}

TEST(SilentClient, AfterItsResultIsDroppedAtTheGoodbyesLimit)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring varda = kitPackage(L"signed-varda");
    Conversation session;
    ASSERT_EQ("220 RESULT 0", decide(session, varda));
    LogWatch log;
    // The wait for the goodbye begins after the result arrives and before its last line is seen.
    const ULONGLONG sent = GetTickCount64();
    session.send(L"220 RESULT 1603");
    ASSERT_TRUE(log.waitForLine("Debug - Product was unadvertised.", 5000));
    const ULONGLONG silent = GetTickCount64();
    // The result's way to the service and its lines into the log are the machine's pace just now.
    const ULONGLONG bound = nvtest::withinPace(10000, silent - sent);
    ASSERT_TRUE(session.hungUp(static_cast<DWORD>(bound)));
    const ULONGLONG hungUp = GetTickCount64();
    EXPECT_GE(hungUp - sent, 10000u);
    EXPECT_LE(hungUp - silent, bound) << "dropped at the goodbye's limit, not at another";
    ASSERT_TRUE(log.waitForLine("Comm - Pipe closed.", 5000));
    EXPECT_LINES(log.lines(), {"Error - Result of installation 1603.", "Debug - Product was unadvertised.",
                               "Error - Recieving fails with error: 1460",
                               "Comm - Recieving end command fails.", "Comm - Pipe closed."});
}

// ---- every way out after the go-ahead ----------------------------------------------------------

// 0 when the package can be opened for writing now, else the error (32 while a session holds it).
DWORD openForWriting(const std::wstring &package)
{
    norvo::tiny::UniqueFile writer(CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    return writer.valid() ? ERROR_SUCCESS : GetLastError();
}

// Tries to open the package for writing until it can: up to then every try meets the session's hold,
// and once it can, the advertisement is already gone. The session lets go only after removing it.
void expectHeldWhileAdvertised(const std::wstring &package, const std::wstring &code)
{
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const DWORD opened = openForWriting(package);
        if (opened == ERROR_SUCCESS) {
            EXPECT_FALSE(advertised(code)) << "the package was let go while it was still advertised";
            return;
        }
        ASSERT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), opened);
        ASSERT_LT(GetTickCount64() - start, 20000u) << "the package stays held";
        Sleep(2);
    }
}

// The package a leaving case names: a copy of its own, so that no other suite holds it.
std::wstring leavingPackage()
{
    const std::wstring package = suitePackage(L"leaving.msi");
    EXPECT_TRUE(CopyFileW(kitPackage(L"signed-varda").c_str(), package.c_str(), FALSE)) << GetLastError();
    return package;
}

TEST(LeavingAfterTheGoAhead, EveryWayOutTakesTheAdvertisementAwayBeforeThePackageIsLetGo)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring package = leavingPackage();
    struct Case {
        const char *name;
        std::function<void(Conversation &)> leave;
        std::vector<std::string> linesAfterGoAhead;
    } cases[] = {
        {"the client closes", [](Conversation &session) { session.client().close(); },
         {"Error - Recieving fails with error: 109", "Comm - Recieving result fails.", "Debug - Product was unadvertised.",
          "Comm - Pipe closed."}},
        {"a malformed result", [](Conversation &session) { session.send(L"220 RESULT none"); },
         {"Comm - Invalid command: 220 RESULT none", "Debug - Product was unadvertised.", "Comm - Pipe closed."}},
        // The stop cuts the wait for the result short; the removal comes before the service's end.
        {"the service stops", [](Conversation &) { EXPECT_TRUE(requestStop()); },
         {"Debug - MainLoop : Closing communication thread.", "Debug - Product was unadvertised.",
          "Debug - MainLoop : Finished.", "Debug - WinMain : Finishing service."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (serviceState() != SERVICE_RUNNING) {
            ASSERT_TRUE(startService());
        }
        LogWatch log;
        {
            Conversation session;
            ASSERT_EQ("220 RESULT 0", decide(session, package));
            ASSERT_TRUE(advertised(kSignedCode));
            ASSERT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openForWriting(package));
            c.leave(session);
            ASSERT_NO_FATAL_FAILURE(expectHeldWhileAdvertised(package, kSignedCode));
            EXPECT_TRUE(log.waitForLine(c.linesAfterGoAhead.back(), 10000));
        }
        std::vector<std::string> lines = accepted(package, kSignedCode, "11.0.0");
        lines.insert(lines.end(), c.linesAfterGoAhead.begin(), c.linesAfterGoAhead.end());
        EXPECT_LINES(log.lines(), lines);
        EXPECT_FALSE(advertised(kSignedCode));
        EXPECT_FALSE(nvtest::fileExists(scriptOf(kSignedCode)));
    }
    EXPECT_TRUE(nvtest::waitFor([] { return serviceState() == SERVICE_STOPPED; }, 10000));
    ASSERT_TRUE(startService());
}

// Opens the in-process service's pipe, takes its greeting and answers `reply`: by then the
// session's clean-up has run.
void greet(PipeClient &client, const wchar_t *reply)
{
    ASSERT_EQ(0u, client.openWithin(5000));
    std::wstring message;
    ASSERT_EQ(0u, client.read(message));
    ASSERT_EQ(0u, client.write(reply));
}

// The in-process service's conversation up to the go-ahead for `package`.
void reachGoAhead(PipeClient &client, const std::wstring &package)
{
    ASSERT_NO_FATAL_FAILURE(greet(client, L"200 NSW 1"));
    ASSERT_EQ(0u, client.write(L"210 PACKAGE \"" + package + L"\""));
    std::wstring message;
    ASSERT_EQ(0u, client.read(message, 15000));
    ASSERT_EQ(L"220 RESULT 0", message);
}

TEST(LeavingAfterTheGoAhead, ASilentClientIsDroppedAtTheResultsLimitAfterTheRemoval)
{
    // In this process with a limit of a second instead of an hour: the pipe's name is the service's.
    const DWORD limitMs = 1000;
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring package = leavingPackage();
    ASSERT_TRUE(stopService(10000));
    nvupdater::CreateServiceFolders();
    {
        InProcessService service(L"silent", limitMs);
        LogWatch log = service.watch();
        PipeClient client;
        ASSERT_NO_FATAL_FAILURE(reachGoAhead(client, package));
        ASSERT_TRUE(advertised(kSignedCode));
        ASSERT_NO_FATAL_FAILURE(expectHeldWhileAdvertised(package, kSignedCode));
        ASSERT_TRUE(service.ended(5000));
        std::vector<std::string> lines = accepted(package, kSignedCode, "11.0.0");
        append(lines, {"Error - Recieving fails with error: 1460", "Comm - Recieving result fails.",
                       "Debug - Product was unadvertised.", "Comm - Pipe closed."});
        EXPECT_LINES(log.lines(), lines);
        EXPECT_FALSE(nvtest::fileExists(nvupdater::GetScriptsFolder() + kSignedCode + L".aas"));
    }
    ASSERT_TRUE(startService());
}

TEST(LeavingAfterTheGoAhead, AFailedRemovalKeepsItsScriptAndTheNextConnectionRemovesTheAdvertisement)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    const std::wstring varda = kitPackage(L"signed-varda");
    {
        Conversation session;
        ASSERT_EQ("220 RESULT 0", decide(session, varda));
        DoubleFailure failing(L"ScriptResult", 1601);
        session.send(L"220 RESULT 1603");
        std::vector<std::string> lines = accepted(varda, kSignedCode, "11.0.0");
        append(lines, {"Error - Result of installation 1603.", "Error - Unadvertising failed with error: 1601",
                       "Comm - Pipe closed."});
        EXPECT_LINES(session.closedLog(), lines);
        EXPECT_TRUE(advertised(kSignedCode));
        EXPECT_TRUE(nvtest::fileExists(scriptOf(kSignedCode)));
    }
    Conversation next;
    EXPECT_EQ("200 NUS 1", next.greeting());
    EXPECT_FALSE(advertised(kSignedCode));
    EXPECT_FALSE(nvtest::fileExists(scriptOf(kSignedCode)));
    next.send(L"200 nsw 1");
    // The left-over script's product is not installed: the clean-up reports that number.
    EXPECT_LINES(next.closedLog(), {"Comm - Pipe connected.", "Error - Checking old advertising script returns error: *",
                                    "Error - Invalid sender: nsw", "Comm - Pipe closed."});
}

TEST(LeavingAfterTheGoAhead, AStopDuringTheAdvertiseCallLogsNothingButTheRemoval)
{
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    if (serviceState() != SERVICE_RUNNING) {
        ASSERT_TRUE(startService());
    }
    const std::wstring package = leavingPackage();
    LogWatch log;
    {
        // The double returns this long after it has applied the advertisement: the stop comes
        // while the service is still inside the advertise call.
        DoubleFailure slow(L"ApplyDelayMs", 3000);
        Conversation session;
        session.send(L"200 NSW 1");
        session.send(L"210 PACKAGE \"" + package + L"\"");
        ASSERT_TRUE(nvtest::waitFor([] { return advertised(kSignedCode); }, 15000, 5));
        EXPECT_TRUE(requestStop());
        EXPECT_TRUE(session.hungUp(20000)) << "the client got an answer after the stop";
        EXPECT_TRUE(log.waitForLine("Debug - WinMain : Finishing service.", 20000));
    }
    std::vector<std::string> lines = inspected(package, kSignedCode, "11.0.0");
    append(lines, {"Debug - The sign of package was accepted.", "Debug - Upgradable product found.",
                   "Debug - MainLoop : Closing communication thread.", "Debug - Product was unadvertised.",
                   "Debug - MainLoop : Finished.", "Debug - WinMain : Finishing service."});
    EXPECT_LINES(log.lines(), lines);
    EXPECT_FALSE(advertised(kSignedCode));
    EXPECT_FALSE(nvtest::fileExists(scriptOf(kSignedCode)));
    EXPECT_TRUE(nvtest::waitFor([] { return serviceState() == SERVICE_STOPPED; }, 10000));
    ASSERT_TRUE(startService());
}

// In this process, so that the service's holds outlive the session where the test can see them,
// and a stop does not end them with the process.
TEST(FailedRemoval, ThePackageStaysHeldUntilACleanUpHasRemovedTheAdvertisement)
{
    const DWORD limitMs = 2000;
    ASSERT_NO_FATAL_FAILURE(ensureFamilyInstalled());
    ASSERT_TRUE(stopService(10000));
    nvupdater::CreateServiceFolders();
    // Where this process keeps its scripts.
    const std::wstring script = nvupdater::GetScriptsFolder() + kSignedCode + L".aas";
    const std::vector<std::string> failed = {"Error - Unadvertising failed with error: 1601"};
    struct Case {
        const char *name;
        std::function<void(PipeClient &, InProcessService &)> leave;
        std::vector<std::string> linesAfterGoAhead;
        bool stops;
    } cases[] = {
        {"a result", [](PipeClient &client, InProcessService &) { EXPECT_EQ(0u, client.write(L"220 RESULT 1603")); },
         {"Error - Result of installation 1603.", failed[0], "Comm - Pipe closed."}, false},
        {"a disconnect", [](PipeClient &client, InProcessService &) { client.close(); },
         {"Error - Recieving fails with error: 109", "Comm - Recieving result fails.", failed[0],
          "Comm - Pipe closed."},
         false},
        // After the stop the session writes only its removal's line.
        {"a stop", [](PipeClient &, InProcessService &service) { service.stop(5000); }, failed, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring package = leavingPackage();
        {
            InProcessService service(L"kept", limitMs);
            LogWatch log = service.watch();
            {
                std::unique_ptr<DoubleFailure> failing;
                {
                    PipeClient client;
                    ASSERT_NO_FATAL_FAILURE(reachGoAhead(client, package));
                    // Applied; from here on every removal fails.
                    failing.reset(new DoubleFailure(L"ScriptResult", 1601));
                    c.leave(client, service);
                    ASSERT_TRUE(service.ended(10000));
                }
                std::vector<std::string> lines = accepted(package, kSignedCode, "11.0.0");
                lines.insert(lines.end(), c.linesAfterGoAhead.begin(), c.linesAfterGoAhead.end());
                EXPECT_LINES(log.lines(), lines);
                EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openForWriting(package))
                    << "let go while still advertised";
                EXPECT_TRUE(advertised(kSignedCode));
                EXPECT_TRUE(nvtest::fileExists(script));
                if (!c.stops) {
                    // The next connection's clean-up fails again: the script and the hold stay.
                    ASSERT_TRUE(service.serveNext(1000));
                    PipeClient again;
                    ASSERT_NO_FATAL_FAILURE(greet(again, L"200 nsw 1"));
                    ASSERT_TRUE(service.ended(10000));
                    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openForWriting(package));
                    EXPECT_TRUE(advertised(kSignedCode));
                    EXPECT_TRUE(nvtest::fileExists(script));
                }
            }
            if (!c.stops) {
                // One that succeeds deletes the script and lets go of the package.
                ASSERT_TRUE(service.serveNext(1000));
                PipeClient last;
                ASSERT_NO_FATAL_FAILURE(greet(last, L"200 nsw 1"));
                ASSERT_TRUE(service.ended(10000));
                EXPECT_FALSE(advertised(kSignedCode));
                EXPECT_FALSE(nvtest::fileExists(script));
                EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), openForWriting(package));
                continue;
            }
        }
        // The stopped service's end lets go of its holds; its script stays for the next start's clean-up.
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), openForWriting(package));
        EXPECT_TRUE(nvtest::fileExists(script));
        InProcessService next(L"kept-next", limitMs);
        PipeClient client;
        ASSERT_NO_FATAL_FAILURE(greet(client, L"200 nsw 1"));
        ASSERT_TRUE(next.ended(10000));
        EXPECT_FALSE(advertised(kSignedCode));
        EXPECT_FALSE(nvtest::fileExists(script));
    }
    ASSERT_TRUE(startService());
}

} // namespace
