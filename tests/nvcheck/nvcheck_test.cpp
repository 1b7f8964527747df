// The package check tool on real packages: the test kit's PKI trusted in the prefix, family F
// installed at 9.0.0 and G at 9.10.0 by the installer, and this suite's signed packages (see
// prepare-nvcheck.sh). No test changes what is installed, so each stands alone. The service runs
// under the real service control manager for the comparison with its own answers.
#include "conversation.h"
#include "inspection/inspection.h"
#include "minijson.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

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
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        r.lines.push_back(line);
    }
    return r;
}

Ran nvcheck(const std::wstring &arguments) { return run(besideTest(NVCHECK_EXE_FROM_TEST), arguments); }
Ran check(const std::wstring &package) { return nvcheck(L"\"" + package + L"\""); }

// The report's lines from the first one starting with `from` up to the next empty line.
std::vector<std::string> section(const Ran &r, const std::string &from)
{
    std::vector<std::string> lines;
    bool in = false;
    for (const std::string &line : r.lines) {
        if (!in && line.compare(0, from.size(), from) == 0)
            in = true;
        if (in && line.empty())
            break;
        if (in)
            lines.push_back(line);
    }
    return lines;
}

std::string lastLine(const Ran &r)
{
    for (auto line = r.lines.rbegin(); line != r.lines.rend(); ++line)
        if (!line->empty())
            return *line;
    return std::string();
}

// The decision number of the last line, or -1.
long decisionOf(const Ran &r)
{
    const std::string last = lastLine(r);
    const std::string head = "Decision:       ";
    if (last.compare(0, head.size(), head) != 0)
        return -1;
    return std::strtol(last.c_str() + head.size(), nullptr, 10);
}

const std::string kF = "{6F1A0000-1111-4111-8111-00000000000F}";
const std::string kInstalledF =
    "    installed: product {7A000000-0000-4000-8000-000000090000}, version \"9.0.0\" (09.00.000000)";

TEST(Decisions, EachDecisionWithTheCheckThatMadeIt)
{
    const std::vector<std::string> kNorvoAccepted = {
        "Trust check:    trusted, (0) *", "First signer:   \"Norvo Technologies, Inc.\"",
        "Publisher:      matches the accepted publisher \"Norvo Technologies, Inc.\" (checks: 0, -1)",
        "Signature:      accepted"};
    struct Case {
        std::wstring package;
        long exitCode;
        long decision;
        std::vector<std::string> checks;   // the signature section; '*' at the end: the platform's text follows
    } cases[] = {
        {kitPackage(L"unsigned"), 10, 28401,
         {"Trust check:    not trusted, 0x800B0100 *", "First signer:   none read, 0x80092009 *",
          "Publisher:      matches neither accepted publisher, \"Norvo Technologies, Inc.\" nor \"Varda Software "
          "Development Ltd.\" *",
          "Signature:      refused"}},
        {kitPackage(L"signed-norvo-stray"), 10, 28401,
         {"Trust check:    not trusted, 0x800B0109 *", "First signer:   \"Norvo Technologies, Inc.\"",
          "Publisher:      matches the accepted publisher \"Norvo Technologies, Inc.\" (checks: 0, -1)",
          "Signature:      refused"}},
        {kitPackage(L"signed-other"), 10, 28401,
         {"Trust check:    trusted, (0) *", "First signer:   \"Someone Else Ltd.\"",
          "Publisher:      matches neither accepted publisher, \"Norvo Technologies, Inc.\" nor \"Varda Software "
          "Development Ltd.\" (checks: -1, -1)", "Signature:      refused"}},
        {ownPackage(L"none"), 11, 28402, kNorvoAccepted},
        {ownPackage(L"not-needed"), 13, 28406, kNorvoAccepted},
        {ownPackage(L"other"), 0, 0,
         {"Trust check:    trusted, (0) *", "First signer:   \"Varda Software Development Ltd.\"",
          "Publisher:      matches the accepted publisher \"Varda Software Development Ltd.\" (checks: -1, 0)",
          "Signature:      accepted"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.package));
        Ran r = check(c.package);
        EXPECT_EQ(c.exitCode, r.exitCode) << r.output;
        EXPECT_EQ(c.decision, decisionOf(r)) << r.output;
        EXPECT_LINES(section(r, "Package:"),
                     {"Package:        " + nvtest::narrow(c.package), "ProductCode:    {7*", "ProductVersion: *",
                      "UpgradeCode:    " + kF});
        EXPECT_LINES(section(r, "Trust check:"), c.checks);
        if (c.decision == 28401) {
            EXPECT_LINES(section(r, "NVUpdate rows"),
                         {"NVUpdate rows:  not examined: the service refuses the package at the signature check"});
        }
    }
}

TEST(Rows, OwnRowsEachJudgedInOrderAndTheExaminationStopsAtTheEligibleOne)
{
    Ran r = check(ownPackage(L"rows"));
    EXPECT_EQ(0, r.exitCode) << r.output;
    EXPECT_LINES(section(r, "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code " + kF +
                      ", package version \"9.0.0\" (09.00.000000):",
                  "  Row 1: UpgradeCode \"" + kF +
                      "\", VersionMin \"9.0.0\" (09.00.000000), VersionMax \"0\" (no upper bound), Attributes 0",
                  kInstalledF, "    outcome:   below or at the lower bound (09.00.000000 is not above 09.00.000000)",
                  "  Row 2: UpgradeCode \"" + kF +
                      "\", VersionMin \"0\" (no lower bound), VersionMax \"9.0.0\" (09.00.000000), Attributes 0",
                  kInstalledF, "    outcome:   at or above the upper bound (09.00.000000 is not below 09.00.000000)",
                  "  Row 3: UpgradeCode \"" + kF +
                      "\", VersionMin \"0\" (no lower bound), VersionMax \"0\" (no upper bound), Attributes 1 (bit 0: "
                      "upgrade only to a newer version)",
                  kInstalledF,
                  "    outcome:   upgrade not needed: Attributes bit 0, and the installed version is not below the "
                  "package's (09.00.000000 is not below 09.00.000000)",
                  "  Row 4: UpgradeCode \"" + kF +
                      "\", VersionMin \"8.0.0\" (08.00.000000), VersionMax \"10.0.0\" (10.00.000000), Attributes null "
                      "(bit 0 clear)",
                  kInstalledF, "    outcome:   eligible",
                  // The row of family H after them is never reached.
                  "Examination ends after the own rows: one is eligible, so rows of other upgrade codes are not "
                  "examined"});
    EXPECT_EQ("Decision:       0 go-ahead: the service would advertise the package and let the Setup Wrapper "
              "install it",
              lastLine(r));
}

TEST(Rows, OtherUpgradeCodesOnlyWhenNoOwnRowDecides)
{
    Ran other = check(ownPackage(L"other"));
    EXPECT_LINES(section(other, "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code *",
                  "  Row 1: UpgradeCode \"" + kF +
                      "\", VersionMin \"0\" (no lower bound), VersionMax \"1.0.0\" (01.00.000000), Attributes 0",
                  kInstalledF, "    outcome:   at or above the upper bound (09.00.000000 is not below 01.00.000000)",
                  "NVUpdate rows of other upgrade codes (their Attributes play no part):",
                  "  Row 1: UpgradeCode \"{6F1A0000-1111-4111-8111-00000000000B}\", VersionMin \"0\" (no lower bound), "
                  "VersionMax \"0\" (no upper bound)",
                  "    installed: none found, registry result (2) *",
                  "    outcome:   skipped: no installed product has this upgrade code",
                  "  Row 2: UpgradeCode \"{6F1A0000-1111-4111-8111-00000000000A}\", VersionMin \"9.9.0\" "
                  "(09.09.000000), VersionMax \"0\" (no upper bound)",
                  "    installed: product {7A000000-0000-4000-8000-000000091000}, version \"9.10.0\" (09.10.000000)",
                  "    outcome:   eligible", "Examination ends after every row"});

    // An own row that needs no upgrade ends the examination: the matching G row is not looked at.
    Ran notNeeded = check(ownPackage(L"not-needed"));
    std::vector<std::string> rows = section(notNeeded, "NVUpdate rows");
    ASSERT_EQ(5u, rows.size()) << notNeeded.output;
    EXPECT_EQ("Examination ends after the own rows: none is eligible but one needs no upgrade, so rows of other "
              "upgrade codes are not examined",
              rows.back());

    // Without a table the own query fails, and nothing else is tried.
    Ran noTable = check(ownPackage(L"no-table"));
    EXPECT_EQ(11, noTable.exitCode);
    EXPECT_LINES(section(noTable, "NVUpdate rows"),
                 {"NVUpdate rows of the package's own upgrade code *", "  cannot be queried: installer result (1615) *",
                  "Examination ends at the own rows: they cannot be queried, so rows of other upgrade codes are not "
                  "examined either"});
}

// ---- JSON --------------------------------------------------------------------------------------

minijson::Value parsed(const Ran &r)
{
    minijson::Value value;
    std::string error;
    EXPECT_TRUE(minijson::parse(r.output, value, error)) << error << "\n" << r.output;
    EXPECT_EQ(minijson::Value::Object, value.kind);
    return value;
}

TEST(Json, OneAsciiObjectWhateverThePathAndTheFieldsHold)
{
    // A folder name beyond ASCII, and a package whose VersionMin holds a double quote and a backslash.
    const std::wstring folder = nvtest::suiteDir() + L"\\Pr\u00FCfung \u041F\u0430\u043A\u0435\u0442";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring package = folder + L"\\odd.msi";
    ASSERT_TRUE(CopyFileW(ownPackage(L"odd").c_str(), package.c_str(), FALSE));

    Ran r = nvcheck(L"--json \"" + package + L"\"");
    EXPECT_EQ(11, r.exitCode);
    for (char c : r.output)
        ASSERT_TRUE(static_cast<unsigned char>(c) < 0x80) << r.output;
    minijson::Value json = parsed(r);
    EXPECT_EQ(package, json["package"].text);
    EXPECT_EQ(L"9.0.0", json["productVersion"].text);
    EXPECT_TRUE(json["signatureAccepted"].boolean);
    const minijson::Value &row = json["eligibility"]["ownRows"]["rows"][0];
    EXPECT_EQ(L"9\"\\.0", row["versionMin"].text);
    EXPECT_EQ(L"09.00.000000", row["normalizedMin"].text);
    EXPECT_EQ(L"at-or-below-minimum", row["outcome"].text);
    EXPECT_EQ(28402, json["decision"].number);
    EXPECT_EQ(11, json["exitCode"].number);
}

TEST(Json, RowsAndRefusalsCarryTheSameFactsAsTheText)
{
    Ran rows = nvcheck(L"--json \"" + ownPackage(L"rows") + L"\"");
    EXPECT_EQ(0, rows.exitCode);
    minijson::Value json = parsed(rows);
    const minijson::Value &own = json["eligibility"]["ownRows"]["rows"];
    ASSERT_EQ(4u, own.elements.size()) << rows.output;
    const wchar_t *outcomes[] = {L"at-or-below-minimum", L"at-or-above-maximum", L"upgrade-not-needed", L"eligible"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(outcomes[i], own[i]["outcome"].text) << i;
        EXPECT_EQ(L"{7A000000-0000-4000-8000-000000090000}", own[i]["installed"]["productCode"].text) << i;
    }
    EXPECT_EQ(1, own[2]["attributes"].number);
    EXPECT_EQ(minijson::Value::Null, own[3]["attributes"].kind);   // empty Attributes
    EXPECT_EQ(minijson::Value::Null, json["eligibility"]["otherRows"].kind);
    EXPECT_EQ(L"own-row-eligible", json["eligibility"]["stop"].text);
    EXPECT_EQ(0, json["decision"].number);

    Ran stray = nvcheck(L"--json \"" + kitPackage(L"signed-norvo-stray") + L"\"");
    EXPECT_EQ(10, stray.exitCode);
    json = parsed(stray);
    EXPECT_FALSE(json["trust"]["trusted"].boolean);
    EXPECT_EQ(L"Norvo Technologies, Inc.", json["signer"]["name"].text);
    EXPECT_TRUE(json["publishers"][0]["matches"].boolean);
    EXPECT_FALSE(json["publishers"][1]["matches"].boolean);
    EXPECT_EQ(minijson::Value::Null, json["eligibility"].kind);
    EXPECT_EQ(28401, json["decision"].number);
}

// ---- the tool and the service ------------------------------------------------------------------

// The service's answer through the reference client, which reports (without installing) after a
// go-ahead and so leaves the product as it was.
struct ServiceAnswer {
    long exitCode;
    long decision;
    std::string output;
};
ServiceAnswer askService(const std::wstring &package)
{
    Ran r = run(besideTest(NSWCLIENT_EXE_FROM_TEST), L"--result 0 \"" + package + L"\"");
    long decision = -1;
    for (const std::string &line : r.lines)
        if (line.compare(0, 13, "< 220 RESULT ") == 0 && decision == -1)
            decision = std::strtol(line.c_str() + 13, nullptr, 10);
    return {r.exitCode, decision, r.output};
}

bool advertised(const std::wstring &productCode)
{
    std::wstring key = L"SOFTWARE\\Classes\\Installer\\Products\\" + nvupdater::PackGuid(productCode);
    norvo::tiny::UniqueKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, opened.put()) == ERROR_SUCCESS;
}

TEST(Service, TheToolAndTheRunningServiceDecideAlike)
{
    const std::wstring packages[] = {kitPackage(L"unsigned"), kitPackage(L"signed-other"),
                                     kitPackage(L"signed-norvo-stray"), ownPackage(L"none"),
                                     ownPackage(L"no-table"), ownPackage(L"not-needed"),
                                     ownPackage(L"rows"), ownPackage(L"other")};
    std::set<long> seen;
    for (const std::wstring &package : packages) {
        SCOPED_TRACE(nvtest::narrow(package));
        Ran tool = check(package);
        ServiceAnswer service = askService(package);
        EXPECT_NE(-1, service.decision) << service.output;
        EXPECT_EQ(service.decision, decisionOf(tool)) << service.output << tool.output;
        EXPECT_EQ(service.exitCode, tool.exitCode) << service.output << tool.output;
        seen.insert(service.decision);
    }
    EXPECT_EQ((std::set<long>{0, 28401, 28402, 28406}), seen);
}

TEST(Service, TheToolNeverAdvertisesNorLeavesAScript)
{
    // The prepare step selects the msi.dll double for the tool too: any advertise call of the tool
    // would be recorded in its call log.
    const std::wstring calls = L"C:\\msidouble-calls.log";
    const std::string before = nvtest::readFile(calls);
    const std::wstring accepted = L"{7C000000-0000-4000-8000-000000000001}";   // rows.msi

    Ran r = check(ownPackage(L"rows"));
    ASSERT_EQ(0, r.exitCode) << r.output;
    EXPECT_EQ(before, nvtest::readFile(calls));
    EXPECT_FALSE(advertised(accepted));
    for (const wchar_t *data : {L"C:\\ProgramData", L"C:\\users\\Public"})
        EXPECT_FALSE(
            nvtest::fileExists(std::wstring(data) + L"\\Norvo\\Updater Service\\scripts\\" + accepted + L".aas"));
}

TEST(Usage, OnlyOnePackageAndNoTransforms)
{
    for (const std::wstring &arguments :
         {std::wstring(), L"\"" + ownPackage(L"rows") + L"\" transforms.mst", std::wstring(L"--transforms x.mst"),
          std::wstring(L"--json")}) {
        Ran r = nvcheck(arguments);
        EXPECT_EQ(1, r.exitCode) << nvtest::narrow(arguments);
        EXPECT_NE(std::string::npos, r.output.find("usage: nvcheck [--json] PACKAGE")) << r.output;
        EXPECT_EQ(std::string::npos, r.output.find("Decision:")) << r.output;
    }
}

} // namespace
