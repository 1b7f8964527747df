// The package check tool on real packages: the test kit's PKI trusted in the prefix, family F
// installed at 9.0.0 and G at 9.10.0 by the installer, and this suite's signed packages (see
// prepare-nvcheck.sh). No test changes what is installed, so each stands alone. The service runs
// under the real service control manager for the comparison with its own answers.
#include "conversation.h"
#include "inspection/productinventory.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

using namespace brokertest;

namespace {

const bool serviceRuns = runServiceForWholeSuite();

std::wstring besideTest(const char *relative)
{
    std::wstring path = nvtest::buildDir() + L"\\" + nvtest::widen(relative);
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}
std::wstring kitPackage(const wchar_t *name) { return nvtest::runDir() + L"\\testkit\\packages\\" + name + L".msi"; }
std::wstring ownPackage(const wchar_t *name) { return nvtest::suiteDir() + L"\\packages\\" + name + L".msi"; }
// An accepted package named through a ".." component.
std::wstring notCanonical() { return nvtest::suiteDir() + L"\\packages\\..\\packages\\rows.msi"; }

struct Ran {
    long exitCode;
    std::string output;
    std::vector<std::string> lines;
};
Ran run(const std::wstring &exe, const std::wstring &arguments)
{
    nvtest::ProcessResult result = nvtest::runProcess(L"\"" + exe + L"\" " + arguments, 60000);
    Ran r{result.exitCode, result.output, {}};
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);)
        r.lines.push_back(!line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line);
    return r;
}
Ran nvcheck(const std::wstring &arguments) { return run(besideTest(NVCHECK_EXE_FROM_TEST), arguments); }
Ran check(const std::wstring &package) { return nvcheck(L"\"" + package + L"\""); }

// The report's lines from the first one starting with `from` up to the next empty line.
std::vector<std::string> section(const Ran &r, const std::string &from)
{
    std::vector<std::string> lines;
    for (const std::string &line : r.lines) {
        if (lines.empty() && line.compare(0, from.size(), from) != 0)
            continue;
        if (line.empty())
            break;
        lines.push_back(line);
    }
    return lines;
}

// The decision number of the last line, or -1.
long decisionOf(const Ran &r)
{
    const std::string head = "Decision:       ";
    if (r.lines.empty() || r.lines.back().compare(0, head.size(), head) != 0)
        return -1;
    return std::strtol(r.lines.back().c_str() + head.size(), nullptr, 10);
}

// True when each member text is found in the JSON text, each after the one before.
bool inOrderOf(const std::string &json, std::initializer_list<const char *> members)
{
    size_t at = 0;
    for (const char *member : members) {
        at = json.find(member, at);
        if (at == std::string::npos)
            return false;
    }
    return true;
}

const std::string kF = "{6F1A0000-1111-4111-8111-00000000000F}";
const std::string kInstalledF =
    "    installed: product {7A000000-0000-4000-8000-000000090000}, version \"9.0.0\" (9.0.0)";
std::string rowF(int n, const std::string &rest)
{
    return "  Row " + std::to_string(n) + ": UpgradeCode \"" + kF + "\", " + rest;
}

TEST(Decisions, EachDecisionWithTheCheckThatMadeIt)
{
    const std::string neither = "Publisher:      matches neither accepted publisher, \"Norvo Technologies, Inc.\" nor "
                                "\"Varda Software Development Ltd.\" (checks: ";
    const std::string held = "File hold:      held unchanged";
    const std::vector<std::string> accepted = {held, "Trust check:    trusted, (0) *", "First signer:   *",
                                               "Publisher:      *", "Signature:      accepted"};
    struct Case {
        std::wstring package;
        long exitCode, decision;
        std::vector<std::string> signature;   // '*' at the end: the platform's text follows
    } cases[] = {
        {kitPackage(L"unsigned"), 10, 28401,
         {held, "Trust check:    not trusted, 0x800B0100 *", "First signer:   none read, 0x80092009 *", neither + "*",
          "Signature:      refused"}},
        {kitPackage(L"signed-norvo-stray"), 10, 28401,
         {held, "Trust check:    not trusted, 0x800B0109 *", "First signer:   \"Norvo Technologies, Inc.\"",
          "Publisher:      matches the accepted publisher \"Norvo Technologies, Inc.\" (checks: 0, -1)",
          "Signature:      refused"}},
        {kitPackage(L"signed-other"), 10, 28401,
         {held, "Trust check:    trusted, (0) *", "First signer:   \"Someone Else Ltd.\"", neither + "-1, -1)",
          "Signature:      refused"}},
        {ownPackage(L"none"), 11, 28402, accepted},
        {ownPackage(L"not-needed"), 13, 28406, accepted},
        {ownPackage(L"other"), 0, 0,
         {held, "Trust check:    trusted, (0) *", "First signer:   \"Varda Software Development Ltd.\"",
          "Publisher:      matches the accepted publisher \"Varda Software Development Ltd.\" (checks: -1, 0)",
          "Signature:      accepted"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.package));
        Ran r = check(c.package);
        EXPECT_EQ(c.exitCode, r.exitCode) << r.output;
        EXPECT_EQ(c.decision, decisionOf(r)) << r.output;
        EXPECT_LINES(section(r, "Package:"), {"Package:        " + nvtest::narrow(c.package), "ProductCode:    {7*",
                                              "ProductVersion: *", "UpgradeCode:    " + kF});
        EXPECT_LINES(section(r, "File hold:"), c.signature);
        if (c.decision == 28401) {
            EXPECT_LINES(section(r, "NVUpdate rows"),
                         {"NVUpdate rows:  not examined: the service refuses the package at the signature check"});
        }
    }
}

// The service reads nothing of a file it cannot hold unchanged: here a path that is not in its
// canonical form, which the tool takes as it stands.
TEST(Decisions, TransformFilesAreCheckedLikeThePackage)
{
    const std::wstring folder = nvtest::suiteDir() + L"\\packages\\";
    const std::wstring rows = L"\"" + ownPackage(L"rows") + L"\" ";
    Ran accepted = nvcheck(rows + L"\":embedded.mst;@" + folder + L"signed.mst\"");
    EXPECT_EQ(0, accepted.exitCode) << accepted.output;
    EXPECT_NE(std::string::npos, accepted.output.find("\":embedded.mst\": inside the package, covered by its signature"))
        << accepted.output;
    EXPECT_NE(std::string::npos, accepted.output.find("signed.mst\": file, held; trust (0)")) << accepted.output;

    Ran refused = nvcheck(rows + L"\"" + folder + L"unsigned.mst;" + folder + L"signed.mst\"");
    EXPECT_EQ(10, refused.exitCode) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("unsigned.mst\": file, held; trust 0x800B0100")) << refused.output;
    EXPECT_EQ(std::string::npos, refused.output.find("signed.mst\": file, held; trust (0)"))
        << "checked past the first refusal: " << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("not examined: the service refuses the package for a transform"))
        << refused.output;
}

// The checks after the transforms read the package as the transforms leave it, in the service's words.
TEST(Decisions, TransformsAreAppliedBeforeTheChecksReadThePackage)
{
    const std::wstring folder = nvtest::suiteDir() + L"\\packages\\";
    const std::string version = nvtest::narrow(folder) + "version-norvo.mst";
    Ran r = nvcheck(L"\"" + ownPackage(L"rows") + L"\" \"" + folder + L"version-norvo.mst\"");
    EXPECT_EQ(0, r.exitCode) << r.output;
    EXPECT_LINES(section(r, "Package:"), {"Package:        *", "ProductCode:    *", "ProductVersion: 8.0.0",
                                          "UpgradeCode:    " + kF});
    EXPECT_LINES(section(r, "Transforms:"),
                 {"Transforms:     \"" + version + "\"",
                  "  \"" + version + "\": file, held; trust (0) Success., publisher checks 0, -1; applied (error "
                  "conditions suppressed: 0x0001)",
                  "  the checks below read the package with these transforms applied"});
    std::vector<std::string> rows = section(r, "NVUpdate rows");
    ASSERT_FALSE(rows.empty()) << r.output;
    EXPECT_EQ("NVUpdate rows of the package's own upgrade code " + kF + ", package version \"8.0.0\" (8.0.0):",
              rows.front());

    Ran missing = nvcheck(L"\"" + ownPackage(L"rows") + L"\" \":embedded.mst;:missing.mst\"");
    EXPECT_EQ(10, missing.exitCode) << missing.output;
    EXPECT_LINES(section(missing, "Transforms:"),
                 {"Transforms:     \":embedded.mst;:missing.mst\"",
                  "  \":embedded.mst\": inside the package, covered by its signature; applied (error conditions "
                  "suppressed: 0x0000)",
                  "  \":missing.mst\": inside the package, covered by its signature; cannot be applied, *"});
}

TEST(Decisions, EveryFileTheInstallationReadsMustBeInsideTheSignedPackage)
{
    EXPECT_LINES(section(check(ownPackage(L"rows")), "Files:"),
                 {"Files:          inside the signed package: 1 file(s), each compressed, every cabinet stored in "
                  "the package"});
    Ran outside = check(ownPackage(L"outside"));
    EXPECT_EQ(10, outside.exitCode) << outside.output;
    EXPECT_LINES(section(outside, "Files:"),
                 {"Files:          refused: its files are not all inside the signed package (Media row 1 "
                  "\"payload.cab\" names a cabinet beside it)"});
    EXPECT_LINES(section(outside, "NVUpdate rows"),
                 {"NVUpdate rows:  not examined: the service refuses a package whose files are not all inside it"});
    EXPECT_EQ(28401, decisionOf(outside));

    Ran json = nvcheck(L"--json \"" + ownPackage(L"outside") + L"\"");
    EXPECT_TRUE(inOrderOf(json.output, {"\"transforms\":[]", "\"files\":{\"inside\":false,\"count\":1,\"wordCount\":2,"
                                        "\"outside\":\"external-cabinet\",\"where\":\"1 \\\"payload.cab\\\"\"}",
                                        "\"eligibility\":null,", "\"decision\":28401,"}))
        << json.output;
}

TEST(Decisions, AFileTheServiceCannotHoldIsRefusedUnread)
{
    Ran r = check(notCanonical());
    EXPECT_EQ(10, r.exitCode) << r.output;
    EXPECT_LINES(section(r, "Package:"), {"Package:        " + nvtest::narrow(notCanonical()),
                                          "ProductCode:    (not read)", "ProductVersion: (not read)",
                                          "UpgradeCode:    (not read)"});
    EXPECT_LINES(section(r, "File hold:"), {"File hold:      refused, (161) *", "Signature:      not checked"});
    EXPECT_LINES(section(r, "NVUpdate rows"),
                 {"NVUpdate rows:  not examined: the service refuses a file it cannot hold unchanged"});
    EXPECT_EQ(28401, decisionOf(r));
}

TEST(Rows, OwnRowsEachJudgedInOrderAndTheExaminationStopsAtTheEligibleOne)
{
    Ran r = check(ownPackage(L"rows"));
    EXPECT_EQ(0, r.exitCode) << r.output;
    EXPECT_LINES(section(r, "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code " + kF +
                      ", package version \"9.0.0\" (9.0.0):",
                  rowF(1, "VersionMin \"9.0.0\" (9.0.0), VersionMax \"0\" (no upper bound), Attributes 0"),
                  kInstalledF, "    outcome:   below or at the lower bound (9.0.0 is not above 9.0.0)",
                  rowF(2, "VersionMin \"0\" (no lower bound), VersionMax \"9.0.0\" (9.0.0), Attributes 0"),
                  kInstalledF, "    outcome:   at or above the upper bound (9.0.0 is not below 9.0.0)",
                  rowF(3, "VersionMin \"0\" (no lower bound), VersionMax \"0\" (no upper bound), Attributes 1 (bit 0: "
                          "upgrade only to a newer version)"),
                  kInstalledF,
                  "    outcome:   upgrade not needed: Attributes bit 0, and the installed version is not below the "
                  "package's (9.0.0 is not below 9.0.0)",
                  rowF(4, "VersionMin \"8.0.0\" (8.0.0), VersionMax \"10.0.0\" (10.0.0), Attributes null "
                          "(bit 0 clear)"),
                  kInstalledF, "    outcome:   eligible",
                  // The row of family H after them is never reached.
                  "Examination ends after the own rows: one is eligible, so rows of other upgrade codes are not "
                  "examined"});
    EXPECT_EQ("Decision:       0 go-ahead: the service would advertise the package and let the Setup Wrapper "
              "install it",
              r.lines.back());
}

TEST(Rows, OtherUpgradeCodesOnlyWhenNoOwnRowDecides)
{
    Ran other = check(ownPackage(L"other"));
    EXPECT_LINES(section(other, "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code *",
                  rowF(1, "VersionMin \"0\" (no lower bound), VersionMax \"1.0.0\" (1.0.0), Attributes 0"),
                  kInstalledF, "    outcome:   at or above the upper bound (9.0.0 is not below 1.0.0)",
                  "NVUpdate rows of other upgrade codes (their Attributes play no part):",
                  "  Row 1: UpgradeCode \"{6F1A0000-1111-4111-8111-00000000000B}\", VersionMin \"0\" (no lower bound), "
                  "VersionMax \"0\" (no upper bound)",
                  "    installed: none found, registry result (2) *",
                  "    outcome:   skipped: no installed product has this upgrade code",
                  "  Row 2: UpgradeCode \"{6F1A0000-1111-4111-8111-00000000000A}\", VersionMin \"9.9.0\" "
                  "(9.9.0), VersionMax \"0\" (no upper bound)",
                  "    installed: product {7A000000-0000-4000-8000-000000091000}, version \"9.10.0\" (9.10.0)",
                  "    outcome:   eligible", "Examination ends after every row"});

    // An own row that needs no upgrade ends the examination: the matching G row is not looked at.
    Ran notNeeded = check(ownPackage(L"not-needed"));
    std::vector<std::string> rows = section(notNeeded, "NVUpdate rows");
    ASSERT_EQ(5u, rows.size()) << notNeeded.output;
    EXPECT_EQ("Examination ends after the own rows: none is eligible but one needs no upgrade, so rows of other "
              "upgrade codes are not examined",
              rows.back());

    // Without a table the own query fails, and nothing else is tried.
    EXPECT_LINES(section(check(ownPackage(L"no-table")), "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code *", "  cannot be queried: installer result (1615) *",
                  "Examination ends at the own rows: they cannot be queried, so rows of other upgrade codes are not "
                  "examined either"});
}

// ---- JSON --------------------------------------------------------------------------------------

// A strict grammar check: one JSON value from `at`, strings of printable ASCII and valid escapes.
bool jsonString(const std::string &s, size_t &at)
{
    if (at >= s.size() || s[at++] != '"')
        return false;
    while (at < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[at++]);
        if (c == '"')
            return true;
        if (c < 0x20 || c >= 0x7F || (c == '\\' && at >= s.size()))
            return false;
        if (c != '\\')
            continue;
        char e = s[at++];
        if (e == 'u') {
            for (int i = 0; i < 4; ++i)
                if (at >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[at++])))
                    return false;
        } else if (e == '\0' || !std::strchr("\"\\/bfnrt", e)) {
            return false;
        }
    }
    return false;
}
void skipBlanks(const std::string &s, size_t &at)
{
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n'))
        ++at;
}
bool jsonValue(const std::string &s, size_t &at, int depth)
{
    skipBlanks(s, at);
    if (at >= s.size() || depth > 32)
        return false;
    const char open = s[at];
    if (open == '"')
        return jsonString(s, at);
    if (open == '{' || open == '[') {
        const char close = open == '{' ? '}' : ']';
        skipBlanks(s, ++at);
        if (at < s.size() && s[at] == close)
            return ++at, true;
        for (;;) {
            if (open == '{') {
                skipBlanks(s, at);
                if (!jsonString(s, at) || (skipBlanks(s, at), at >= s.size()) || s[at++] != ':')
                    return false;
            }
            if (!jsonValue(s, at, depth + 1))
                return false;
            skipBlanks(s, at);
            if (at < s.size() && s[at] == ',') {
                ++at;
                continue;
            }
            return at < s.size() && s[at++] == close;
        }
    }
    for (const char *word : {"true", "false", "null"})
        if (s.compare(at, std::strlen(word), word) == 0)
            return at += std::strlen(word), true;
    const size_t digits = at + (s[at] == '-' ? 1 : 0);
    at = digits;
    while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])))
        ++at;
    return at > digits;
}
bool oneJsonObject(const std::string &s)
{
    size_t at = 0;
    skipBlanks(s, at);
    if (at >= s.size() || s[at] != '{' || !jsonValue(s, at, 0))
        return false;
    skipBlanks(s, at);
    return at == s.size();
}

// True when the members appear in this order.
TEST(Json, OneAsciiObjectWithTheTextsFacts)
{
    // A folder name beyond ASCII, and a package whose VersionMin holds a double quote and a backslash.
    const std::wstring folder = nvtest::suiteDir() + L"\\Pr\u00FCfung \u041F\u0430\u043A\u0435\u0442";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(ownPackage(L"odd").c_str(), (folder + L"\\odd.msi").c_str(), FALSE));
    Ran odd = nvcheck(L"--json \"" + folder + L"\\odd.msi\"");
    EXPECT_EQ(11, odd.exitCode);
    EXPECT_TRUE(oneJsonObject(odd.output)) << odd.output;
    EXPECT_TRUE(inOrderOf(odd.output, {"{\"package\":\"",
                                     "\\\\Pr\\u00FCfung \\u041F\\u0430\\u043A\\u0435\\u0442\\\\odd.msi\",",
                                     "\"versionMin\":\"9\\\"\\\\.0\",\"minNumbers\":\"9.0.0\"",
                                     "\"outcome\":\"at-or-below-minimum\"", "\"decision\":28402,", "\"exitCode\":11}"}))
        << odd.output;

    Ran rows = nvcheck(L"--json \"" + ownPackage(L"rows") + L"\"");
    EXPECT_EQ(0, rows.exitCode);
    EXPECT_TRUE(oneJsonObject(rows.output)) << rows.output;
    EXPECT_TRUE(inOrderOf(rows.output, {"\"signatureAccepted\":true", "\"ownRows\":", "\"attributes\":0,",
                                      "\"outcome\":\"at-or-below-minimum\"", "\"outcome\":\"at-or-above-maximum\"",
                                      "\"attributes\":1,", "\"outcome\":\"upgrade-not-needed\"",
                                      "\"attributes\":null,", "\"outcome\":\"eligible\"", "\"otherRows\":null,",
                                      "\"stop\":\"own-row-eligible\"", "\"decision\":0,"}))
        << rows.output;

    Ran stray = nvcheck(L"--json \"" + kitPackage(L"signed-norvo-stray") + L"\"");
    EXPECT_EQ(10, stray.exitCode);
    EXPECT_TRUE(oneJsonObject(stray.output)) << stray.output;
    EXPECT_TRUE(inOrderOf(stray.output, {"\"trusted\":false", "\"name\":\"Norvo Technologies, Inc.\"",
                                       "\"matches\":true", "\"matches\":false", "\"eligibility\":null,",
                                       "\"decision\":28401,"}))
        << stray.output;
}

// ---- the tool and the service ------------------------------------------------------------------

TEST(Service, TheToolAndTheRunningServiceDecideAlike)
{
    const std::wstring packages[] = {kitPackage(L"unsigned"),   kitPackage(L"signed-other"),
                                     kitPackage(L"signed-norvo-stray"), ownPackage(L"none"),
                                     ownPackage(L"no-table"),   ownPackage(L"not-needed"),
                                     ownPackage(L"rows"),       ownPackage(L"other"),
                                     ownPackage(L"outside"),    notCanonical()};
    const std::wstring folder = nvtest::suiteDir() + L"\\packages\\";
    std::vector<std::pair<std::wstring, std::wstring>> requests;
    for (const std::wstring &package : packages)
        requests.push_back({package, L""});
    for (const std::wstring &transforms : {L":embedded.mst;" + folder + L"signed.mst", folder + L"unsigned.mst",
                                           std::wstring(L"relative.mst"), folder + L"version-norvo.mst",
                                           std::wstring(L":missing.mst")})
        requests.push_back({ownPackage(L"rows"), transforms});
    std::set<long> seen;
    for (const auto &request : requests) {
        const std::wstring &package = request.first;
        const std::wstring both = L"\"" + package + L"\"" + (request.second.empty() ? L"" : L" \"" + request.second + L"\"");
        SCOPED_TRACE(nvtest::narrow(both));
        Ran tool = nvcheck(both);
        // The reference client reports without installing after a go-ahead, so nothing is installed.
        Ran client = run(besideTest(NSWCLIENT_EXE_FROM_TEST), L"--result 0 " + both);
        long decision = -1;
        for (const std::string &line : client.lines)
            if (line.compare(0, 13, "< 220 RESULT ") == 0 && decision == -1)
                decision = std::strtol(line.c_str() + 13, nullptr, 10);
        EXPECT_EQ(decision, decisionOf(tool)) << client.output << tool.output;
        EXPECT_EQ(client.exitCode, tool.exitCode) << client.output << tool.output;
        seen.insert(decision);
    }
    EXPECT_EQ((std::set<long>{0, 28401, 28402, 28406}), seen);
}

TEST(Service, TheToolNeverAdvertisesNorLeavesAScript)
{
    // The prepare step selects the msi.dll double for the tool too: it would record any advertise call.
    const std::wstring calls = L"C:\\msidouble-calls.log";
    const std::string before = nvtest::readFile(calls);
    const std::wstring accepted = L"{7C000000-0000-4000-8000-000000000001}";   // rows.msi

    Ran r = check(ownPackage(L"rows"));
    ASSERT_EQ(0, r.exitCode) << r.output;
    EXPECT_EQ(before, nvtest::readFile(calls));
    const std::wstring advertisement = L"SOFTWARE\\Classes\\Installer\\Products\\" + nvupdater::PackGuid(accepted);
    norvo::tiny::UniqueKey products;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, advertisement.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                                           products.put()));
    for (const wchar_t *data : {L"C:\\ProgramData", L"C:\\users\\Public"}) {
        const std::wstring script = std::wstring(data) + L"\\Norvo\\Updater Service\\scripts\\" + accepted + L".aas";
        EXPECT_FALSE(nvtest::fileExists(script));
    }
}

TEST(Usage, OnePackageAndAtMostOneTransformsText)
{
    const std::wstring rows = L"\"" + ownPackage(L"rows") + L"\"";
    for (const std::wstring &arguments : {std::wstring(), rows + L" a.mst b.mst", L"--transforms x.mst " + rows,
                                          std::wstring(L"--json")}) {
        Ran r = nvcheck(arguments);
        EXPECT_EQ(1, r.exitCode) << nvtest::narrow(arguments);
        EXPECT_NE(std::string::npos, r.output.find("usage: nvcheck [--json] PACKAGE")) << r.output;
        EXPECT_EQ(std::string::npos, r.output.find("Decision:")) << r.output;
    }
}

} // namespace
