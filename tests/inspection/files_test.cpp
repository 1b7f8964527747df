// Package lock, service folders, installer access and the advertise step with Wine's own msi.dll
// (which does not implement advertising). Wine stores no security descriptors: these tests prove
// results and call sequences, not the protection itself.
#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagelock.h"
#include "inspection/productinventory.h"
#include "kit.h"
#include "inspection/protectedfolder.h"
#include "inspection/servicefolders.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <shlobj.h>
#include <aclapi.h>
#include <winioctl.h>

#include <cstdio>
#include <vector>

using namespace nvupdater;

namespace {

// The advertisement of the package file at `package`, its ProductCode read through its own database.
UINT advertise(const std::wstring &package, const std::wstring &transforms, std::wstring &script)
{
    PackageDatabase database;
    (void)database.Open(package);   // an unreadable package gives an empty ProductCode
    return AdvertisePackage(database, HoldScriptsFolder(), package, transforms, script);
}

const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\nvupdaterservice";

std::wstring ownFolder()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.rfind(L'\\'));
}

std::wstring lower(std::wstring text)
{
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

bool isFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Runs the probe copied into `folder`; its two answer lines.
std::string probe(const std::wstring &folder)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring exe = folder + L"\\nvupdaterservice.exe";
    EXPECT_TRUE(kit::copy(nvtest::buildDir() + L"\\inspection_probe.exe", exe));
    nvtest::ProcessResult r = nvtest::runProcess(L"\"" + exe + L"\"", 30000);
    EXPECT_EQ(0, r.exitCode);
    return r.output;
}

std::string firstLine(const std::string &output) { return output.substr(0, output.find_first_of("\r\n")); }

std::string secondLine(const std::string &output)
{
    size_t end = output.find('\n');
    return end == std::string::npos ? std::string() : firstLine(output.substr(end + 1));
}

// The file's owner, group and access list as text (for the record: Wine keeps none).
std::string securityText(const std::wstring &path)
{
    std::vector<wchar_t> name(path.begin(), path.end());
    name.push_back(L'\0');
    norvo::tiny::UniqueLocal descriptor;
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put())) != ERROR_SUCCESS)
        return "(unreadable)";
    norvo::tiny::UniqueLocal text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                                  DACL_SECURITY_INFORMATION,
                                                              reinterpret_cast<LPWSTR *>(text.put()), nullptr))
        return "(no text)";
    return nvtest::narrow(static_cast<const wchar_t *>(text.get()));
}

TEST(InstallerAccess, EveryOrdinalResolvesInTheSystemInstaller)
{
    EXPECT_TRUE(msi::Available());
    SetInstallerUiLevelNone();
    EXPECT_EQ(2, msi::SetInternalUI(2));   // the level set before: none
}

TEST(PackageLock, LockAndUnlockPairUpThroughTheHeldFile)
{
    const std::wstring path = nvtest::suiteDir() + L"\\locked.msi";
    ASSERT_TRUE(kit::copy(kit::package(L"elig-any"), path));
    const std::string before = nvtest::readFile(path);

    FileHold hold;
    ASSERT_EQ(0u, HoldFile(path, hold));
    ASSERT_TRUE(hold.canChangeSecurity);
    SavedFileSecurity saved;
    EXPECT_EQ(0u, LockPackageFile(hold, saved));
    EXPECT_TRUE(saved.descriptor.valid());
    // The service (here: an administrator) still reads the locked package.
    EXPECT_EQ(kit::productCode(1), ReadPackageProperty(path, L"ProductCode"));
    std::printf("security of the locked file as the platform reports it: %s\n", securityText(path).c_str());

    EXPECT_EQ(0u, UnlockPackageFile(hold, saved));
    EXPECT_FALSE(saved.descriptor.valid());   // consumed
    // A second unlock has nothing to restore and says so.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), UnlockPackageFile(hold, saved));
    hold = FileHold();
    EXPECT_EQ(before, nvtest::readFile(path));
}

TEST(PackageLock, NoLockWithoutTheRightsOrTheFile)
{
    // Held without the security rights (the client lacked them): the lock changes nothing.
    const std::wstring path = nvtest::suiteDir() + L"\\readonly-hold.msi";
    ASSERT_TRUE(kit::copy(kit::package(L"elig-any"), path));
    FileHold hold;
    ASSERT_EQ(0u, HoldFile(path, hold));
    hold.canChangeSecurity = false;
    SavedFileSecurity saved;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LockPackageFile(hold, saved));
    EXPECT_FALSE(saved.descriptor.valid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), UnlockPackageFile(hold, saved));

    // No file: nothing is held, locked or unlocked.
    const std::wstring missing = nvtest::suiteDir() + L"\\missing.msi";
    FileHold none;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), HoldFile(missing, none));
    EXPECT_FALSE(none);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LockPackageFile(none, saved));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), UnlockPackageFile(none, saved));
    EXPECT_FALSE(nvtest::fileExists(missing));
}

// An opportunistic lock whose holder never lets go must not make the hold wait: Windows grants a
// batch lock here, and the hold then refuses the file at once (742) instead of waiting for the
// break to be acknowledged. Wine keeps no opportunistic locks (the request fails): there the hold,
// opened the same way, holds the package as before.
TEST(PackageHold, AnOpportunisticLockNeverMakesTheHoldWait)
{
    const std::wstring path = nvtest::suiteDir() + L"\\oplocked.msi";
    ASSERT_TRUE(kit::copy(kit::package(L"elig-any"), path));
    norvo::tiny::UniqueFile holder(CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(holder.valid());
    norvo::tiny::UniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED request = {};
    request.hEvent = broken.get();
    DWORD bytes = 0;
    const BOOL answered =
        DeviceIoControl(holder.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, &bytes, &request);
    const DWORD answer = answered ? 0 : GetLastError();

    FileHold hold;
    const DWORD held = HoldFile(path, hold);
    if (answer == ERROR_IO_PENDING) {
        EXPECT_EQ(742u, held);   // ERROR_OPLOCK_BREAK_IN_PROGRESS
        EXPECT_FALSE(hold);
        // The open asked the holder to let go: the lock's request completes.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(broken.get(), 30000));
    } else {
        std::printf("no opportunistic lock here (the request answered %lu): the hold opens as before\n",
                    static_cast<unsigned long>(answer));
        ASSERT_EQ(0u, held);
        EXPECT_TRUE(hold.canChangeSecurity);
        norvo::tiny::UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer.valid());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_EQ(kit::productCode(1), ReadPackageProperty(path, L"ProductCode"));
    }
    holder.reset();   // a lock still granted ends with its handle
}

// The service holds its scripts folder from its start: while the hold lasts nobody can move or
// delete the folder or put another in its place, and scripts are still written and deleted in it.
TEST(ProtectedFolders, AHeldScriptsFolderCannotBeMovedOrReplacedWhileScriptsComeAndGo)
{
    CreateServiceFolders();
    std::wstring path = GetScriptsFolder();
    path.pop_back();
    const std::wstring aside = path + L".moved";
    // No script of a product: Wine's own installer cannot take an advertisement away.
    const std::wstring file = path + L"\\notes.txt";
    {
        const HeldFolder scripts = HoldScriptsFolder();
        ASSERT_TRUE(scripts.held());
        EXPECT_TRUE(scripts.isProtected());
        EXPECT_EQ(path, scripts.path());
        EXPECT_FALSE(MoveFileW(path.c_str(), aside.c_str()));
        EXPECT_FALSE(RemoveDirectoryW(path.c_str()));
        EXPECT_TRUE(isFolder(path));
        EXPECT_FALSE(isFolder(aside));

        ASSERT_TRUE(nvtest::writeFile(file, "written"));
        CreateServiceFolders();   // a start meanwhile finds the folder protected and leaves it
        EXPECT_EQ("written", nvtest::readFile(file));
        EXPECT_EQ(0, CleanupStaleScripts(scripts));   // by the hold's verdict: protected, no script
        EXPECT_TRUE(DeleteFileW(file.c_str()));

        // For the record: what judging the folder by name cost a session (at its clean-up and at its
        // advertisement), against the held verdict. Printed, not asserted.
        const int kRounds = 200;
        LARGE_INTEGER frequency = {}, start = {}, judged = {}, read = {};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        int verdicts = 0;
        for (int i = 0; i < kRounds; ++i)
            verdicts += IsProtectedFolder(path) ? 1 : 0;
        QueryPerformanceCounter(&judged);
        for (int i = 0; i < kRounds; ++i)
            verdicts += scripts.isProtected() ? 1 : 0;
        QueryPerformanceCounter(&read);
        EXPECT_EQ(2 * kRounds, verdicts);
        const double msPerTick = 1000.0 / static_cast<double>(frequency.QuadPart);
        std::printf("scripts folder verdict: judged by name %.3f ms, held %.6f ms (mean of %d)\n",
                    static_cast<double>(judged.QuadPart - start.QuadPart) * msPerTick / kRounds,
                    static_cast<double>(read.QuadPart - judged.QuadPart) * msPerTick / kRounds, kRounds);
    }
    // Let go, the folder can be moved again.
    ASSERT_TRUE(MoveFileW(path.c_str(), aside.c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileW(aside.c_str(), path.c_str())) << GetLastError();
}

TEST(ServiceFolders, DataFolderAndCreationTwice)
{
    EXPECT_EQ(nvtest::env(L"ALLUSERSPROFILE"), GetDataFolder());
    EXPECT_EQ(GetDataFolder() + L"\\Norvo\\Updater Service\\scripts\\", GetScriptsFolder());
    EXPECT_EQ(lower(ownFolder()), GetServiceFolder());

    CreateServiceFolders();
    const std::wstring data = GetDataFolder();
    for (const std::wstring &folder : {data + L"\\Norvo", data + L"\\Norvo\\Updater Service",
                                       data + L"\\Norvo\\Updater Service\\scripts", GetServiceFolder() + L"\\logs"})
        EXPECT_TRUE(isFolder(folder)) << nvtest::narrow(folder);

    const std::wstring kept = GetScriptsFolder() + L"kept.txt";
    ASSERT_TRUE(nvtest::writeFile(kept, "kept"));
    CreateServiceFolders();
    EXPECT_EQ("kept", nvtest::readFile(kept));
    EXPECT_TRUE(DeleteFileW(kept.c_str()));
}

// The folder moved aside from `path`, or empty.
std::wstring movedAside(const std::wstring &path)
{
    WIN32_FIND_DATAW entry = {};
    norvo::tiny::UniqueFind found(FindFirstFileW((path + L".untrusted-*").c_str(), &entry));
    return found ? path.substr(0, path.rfind(L'\\') + 1) + entry.cFileName : std::wstring();
}

// Folders a user could have made before the service first ran (prepare-files.sh makes those only
// the Unix side can make under Wine). Wine invents a folder's owner (the one account everything
// runs as, the service's own) and its access list from the Unix mode, so only write access for
// Everyone can be shown here, not a foreign owner or a foreign account's entry.
TEST(ProtectedFolders, OneOthersCouldChangeIsMovedAsideAndMadeAnewALinkIsLeftAlone)
{
    const wchar_t security[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::wstring premade = nvtest::suiteDir() + L"\\premade\\";
    ASSERT_TRUE(nvtest::writeFile(premade + L"a-file", "planted"));
    const struct {
        const wchar_t *name;
        bool protectedAfter, moved;
    } cases[] = {{L"missing", true, false}, {L"open-to-all", true, true}, {L"a-file", true, true},
                 // Wine cannot move a Unix link itself aside: its handle, and its name, reach its
                 // target. Windows opens a junction itself and moves it like the folders above.
                 {L"linked", false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.name));
        const std::wstring path = premade + c.name;
        EXPECT_EQ(c.protectedAfter, EnsureProtectedFolder(path, security));
        EXPECT_EQ(c.protectedAfter, IsProtectedFolder(path));
        const std::wstring aside = movedAside(path);
        EXPECT_EQ(c.moved, !aside.empty());
        if (c.protectedAfter) {
            EXPECT_TRUE(isFolder(path));
            EXPECT_FALSE(nvtest::fileExists(path + L"\\planted.aas")) << "made anew, empty";
        }
        if (c.moved && isFolder(aside)) {
            EXPECT_EQ("planted", nvtest::readFile(aside + L"\\planted.aas")) << "moved with what it holds";
        }
    }
    // The link's target is where it was, as it was.
    EXPECT_EQ("planted", nvtest::readFile(premade + L"link-target\\planted.aas"));
    EXPECT_TRUE(movedAside(premade + L"link-target").empty());
    // A protected folder stays as it is.
    ASSERT_TRUE(nvtest::writeFile(premade + L"missing\\kept", "kept"));
    EXPECT_TRUE(EnsureProtectedFolder(premade + L"missing", security));
    EXPECT_EQ("kept", nvtest::readFile(premade + L"missing\\kept"));
}

TEST(ProtectedFolders, TheCleanUpTouchesNoScriptInAScriptsFolderOthersCouldChange)
{
    CreateServiceFolders();
    std::wstring scripts = GetScriptsFolder();
    scripts.pop_back();
    const std::wstring own = scripts + L".own";
    ASSERT_TRUE(MoveFileW(scripts.c_str(), own.c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileW(L"C:\\premade-scripts", scripts.c_str())) << GetLastError();
    const std::wstring planted = scripts + L"\\planted.aas";

    EXPECT_EQ(ERROR_ACCESS_DENIED, CleanupStaleScripts(HoldScriptsFolder()));
    EXPECT_EQ("planted", nvtest::readFile(planted));
    std::wstring script;
    EXPECT_EQ(static_cast<UINT>(ERROR_ACCESS_DENIED), advertise(kit::package(L"elig-any"), L"", script));
    EXPECT_FALSE(nvtest::fileExists(script));

    // The next start moves it aside with the planted script, and makes the folder anew.
    CreateServiceFolders();
    EXPECT_TRUE(IsProtectedFolder(scripts));
    EXPECT_FALSE(nvtest::fileExists(planted));
    EXPECT_EQ(0, CleanupStaleScripts(HoldScriptsFolder()));
    const std::wstring aside = movedAside(scripts);
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ("planted", nvtest::readFile(aside + L"\\planted.aas"));
    ASSERT_TRUE(RemoveDirectoryW(scripts.c_str()));
    ASSERT_TRUE(MoveFileW(own.c_str(), scripts.c_str()));
}

TEST(ServiceFolders, WithoutAllUsersProfileTheDataFolderIsTheMachinesCommonData)
{
    // Without the variable the scripts folder must not become a folder relative to a drive's root.
    wchar_t common[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, common, CSIDL_COMMON_APPDATA, FALSE));
    const std::wstring saved = nvtest::env(L"ALLUSERSPROFILE");
    ASSERT_TRUE(SetEnvironmentVariableW(L"ALLUSERSPROFILE", nullptr));
    const std::string answer = secondLine(probe(nvtest::suiteDir() + L"\\noprofile"));
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", saved.c_str());
    EXPECT_EQ("[" + nvtest::narrow(common) + "]", answer);
    EXPECT_NE("[]", answer);
}

TEST(ServiceFolders, ExecutableUnderSystem32TakesItsFolderFromImagePath)
{
    const std::wstring root = nvtest::suiteDir() + L"\\probe";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\SysTem32").c_str(), nullptr);

    // An ordinary folder: the executable's own, lower-cased.
    EXPECT_EQ("[" + nvtest::narrow(lower(root + L"\\Ordinary")) + "]", firstLine(probe(root + L"\\Ordinary")));

    const std::wstring underSystem32 = root + L"\\SysTem32\\Bin";
    kit::deleteTree(0, kServiceKey);
    {
        // No service key: no folder, and then no log either; in particular none at the root of the
        // current drive, where any user could have prepared the folder for the service to write.
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows"));
        const std::string answer = probe(underSystem32);
        SetCurrentDirectoryW(previous);
        EXPECT_EQ("[]", firstLine(answer));
        EXPECT_NE(std::string::npos, answer.find("\n[]")) << answer;
        EXPECT_FALSE(isFolder(L"C:\\logs"));
    }

    struct Case {
        const wchar_t *imagePath;
        const char *folder;
    } cases[] = {
        {L"\"C:\\Program Files\\Norvo\\Updater Service\\nvupdaterservice.exe\"", "C:\\Program Files\\Norvo\\Updater Service"},
        {L"C:\\Norvo\\Svc\\nvupdaterservice.exe", "C:\\Norvo\\Svc"},
        {L"\"\"D:\\Quoted Twice\\x.exe\"\"", "D:\\Quoted Twice"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.imagePath));
        const std::wstring value = c.imagePath;
        ASSERT_TRUE(kit::setValue(0, kServiceKey, L"ImagePath", REG_EXPAND_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
        EXPECT_EQ(std::string("[") + c.folder + "]", firstLine(probe(underSystem32)));
    }
    kit::deleteTree(0, kServiceKey);
}

TEST(Advertisement, WineInstallerCannotAdvertiseAndLeavesNothing)
{
    CreateServiceFolders();
    SetInstallerUiLevelNone();
    const std::wstring code = kit::productCode(1);
    std::wstring script;
    UINT result = advertise(kit::package(L"elig-any"), L"", script);
    EXPECT_NE(0u, result);
    EXPECT_EQ(GetScriptsFolder() + code + L".aas", script);
    EXPECT_FALSE(nvtest::fileExists(script));
    EXPECT_FALSE(kit::keyExists(KEY_WOW64_64KEY, L"SOFTWARE\\Classes\\Installer\\Products\\" + PackGuid(code)));

    // Taking an advertisement away fails the same way, and the script stays for a later try.
    ASSERT_TRUE(nvtest::writeFile(script, "script"));
    EXPECT_NE(0u, UnadvertiseScript(script));
    EXPECT_TRUE(nvtest::fileExists(script));
    DeleteFileW(script.c_str());
}

} // namespace
