// The report tool's argument lists and known-process lookups, and the dump folders crash reporting
// makes, in-process against the real platform.
#include "assist/assistpaths.h"
#include "assist/norvoprocesses.h"
#include "assist/reportarguments.h"
#include "crashtest.h"
#include "testsupport.h"
#include "tiny/security.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <map>
#include <set>

namespace tiny = norvo::tiny;
namespace assist = norvo::assist;
using crashtest::narrow;

namespace {

std::wstring testFolder()
{
    return crashtest::freshFolder(nvtest::widen(::testing::UnitTest::GetInstance()->current_test_info()->name()));
}

// ---- the report tool's arguments -----------------------------------------------------------------

std::string joined(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

// The words the platform's own parsing (CommandLineToArgvW, as the C runtime) makes of a line of
// arguments, after a program name.
std::vector<std::string> parsedWords(const std::string &arguments)
{
    std::vector<std::string> words;
    int count = 0;
    LPWSTR *parsed = CommandLineToArgvW(nvtest::widen("program.exe " + arguments).c_str(), &count);
    for (int i = 1; parsed && i < count; ++i)
        words.push_back(narrow(parsed[i]));
    LocalFree(parsed);
    return words;
}

TEST(ReportArguments, EveryOptionInItsPlaceAndForm)
{
    const std::vector<std::string> items = {"x", "y"};
    struct Case {
        const char *name;
        void (*configure)(assist::AssistConfig &, const std::vector<std::string> &);
        const char *crash;
    };
    const Case cases[] = {
        {"record defaults", [](assist::AssistConfig &, const std::vector<std::string> &) {},
         "-c -D 0 -R 0 -m \"C:\\dumps\\\\\""},
        {"negative numbers leave their options out",
         [](assist::AssistConfig &c, const std::vector<std::string> &) { c.numberD = -1, c.numberR = -5; },
         "-c -m \"C:\\dumps\\\\\""},
        {"texts trimmed and quoted",
         [](assist::AssistConfig &c, const std::vector<std::string> &) {
             c.productCode = " \tNUS\r\n", c.version = "2.0.0-T0-1171 ", c.uploadUrl = "\nftp://h.example.com/";
         },
         "-c -U \"ftp://h.example.com/\" -D 0 -R 0 -P \"NUS\" -V \"2.0.0-T0-1171\" -m \"C:\\dumps\\\\\""},
        {"quotes escaped, and the backslashes before them doubled",
         [](assist::AssistConfig &c, const std::vector<std::string> &) { c.textE = "say \"hi\\\" \\ ok\\"; },
         "-c -D 0 -R 0 -e \"say \\\"hi\\\\\\\" \\ ok\\\\\" -m \"C:\\dumps\\\\\""},
        {"every option, in order",
         [](assist::AssistConfig &c, const std::vector<std::string> &list) {
             c.flagQ = true, c.uploadUrl = "U", c.uploadUser = "u", c.uploadPassword = "p", c.numberD = 1;
             c.numberR = 2, c.productCode = "P", c.version = "V", c.deleteAfterUpload = false, c.textE = "e";
             c.textN = "n", c.textR = "r", c.flagS = true, c.listG = &list, c.dumpName = "N", c.processName = "S";
             c.attachFiles = &list;
         },
         "-c -q -U \"U\" -u \"u\" -p \"p\" -D 1 -R 2 -P \"P\" -V \"V\" --nodelete -e \"e\" -n \"n\" -r \"r\" -s "
         "-g \"x;y\" -m \"C:\\dumps\\\\\" -N \"N\" -S \"S\" -f \"x;y\""},
        {"empty lists leave their options out",
         [](assist::AssistConfig &c, const std::vector<std::string> &) {
             static const std::vector<std::string> none;
             c.listG = &none, c.attachFiles = &none;
         },
         "-c -D 0 -R 0 -m \"C:\\dumps\\\\\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        assist::AssistConfig config;
        c.configure(config, items);
        std::string folder = "C:\\dumps\\";
        assist::ReportArguments lists = assist::buildReportArguments(config, folder);
        EXPECT_EQ(c.crash, joined(lists.crash));
        // The platform's parsing gives back one word per element, the folder as it was.
        std::vector<std::string> words = parsedWords(joined(lists.crash));
        EXPECT_EQ(lists.crash.size(), words.size());
        EXPECT_EQ(folder, crashtest::wordAfter(words, "-m"));
        // The kernel list differs only in its first word.
        ASSERT_FALSE(lists.kernel.empty());
        EXPECT_EQ("-k", lists.kernel[0]);
        EXPECT_TRUE(std::equal(lists.kernel.begin() + 1, lists.kernel.end(), lists.crash.begin() + 1,
                               lists.crash.end()));
    }
}

TEST(ReportArguments, AnEmptyDumpFolderBecomesTheProgramDirectory)
{
    assist::AssistConfig config;
    std::string folder;
    assist::ReportArguments lists = assist::buildReportArguments(config, folder);
    std::string program = narrow(nvtest::buildDir()) + "\\";
    EXPECT_EQ(program, folder);
    EXPECT_EQ("\"" + program + "\\\"", lists.crash.back());
}

// ---- paths -------------------------------------------------------------------------------------

TEST(Paths, SeparatorsFoldedNetworkPrefixKeptOnRequest)
{
    struct Case {
        const char *path;
        bool network, trailing;
        const char *expected;
    };
    const Case cases[] = {
        {"C:/a//b/", true, false, "C:\\a\\b"},
        {"C:/a//b/", true, true, "C:\\a\\b\\"},
        {"C:\\a\\\\/b", false, true, "C:\\a\\b\\"},
        {"//server//share/x", true, false, "\\\\server\\share\\x"},
        {"//server//share/x", false, false, "\\server\\share\\x"},
        {"", true, true, "\\"},
        {"", true, false, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, assist::normalizePath(c.path, c.network, c.trailing)) << c.path;
}

// ---- known processes -----------------------------------------------------------------------------

TEST(NorvoProcesses, LookupPrefersTheProcessRowThenTheProductRow)
{
    const assist::NorvoProcesses &table = assist::NorvoProcesses::instance();
    const assist::NorvoProcess *own = table.find("NUS", "unknown");
    ASSERT_NE(nullptr, own);
    EXPECT_EQ("NUS", own->key);
    EXPECT_EQ("nvupdaterservice.exe", table.executableName("NUS", "unknown"));

    // A product with a helper process: the helper's own row, else the product's.
    const assist::NorvoProcess *helper = table.find("NST", "render");
    ASSERT_NE(nullptr, helper);
    EXPECT_EQ("NST&render", helper->key);
    EXPECT_EQ(1, table.priority("NST", "render"));
    EXPECT_EQ("NST", table.find("NST", "other")->key);
    EXPECT_EQ(0, table.priority("NST", "other"));

    EXPECT_FALSE(table.contains("ZZZ", "unknown"));
    EXPECT_EQ(0, table.priority("ZZZ", "unknown"));
    EXPECT_EQ("", table.productFolder("ZZZ", "unknown"));
    EXPECT_EQ("", table.processTag("ZZZ", "unknown"));
    EXPECT_EQ("", table.executableName("ZZZ", "unknown"));
}

TEST(NorvoProcesses, EveryKeyIsFoundAsItselfAndHelpersBelongToAProduct)
{
    const std::vector<assist::NorvoProcess> &rows = assist::NorvoProcesses::instance().rows();
    std::map<int, int> perPriority;
    std::set<std::string> keys, codes;
    for (const assist::NorvoProcess &row : rows) {
        EXPECT_TRUE(keys.insert(row.key).second) << "duplicate key " << row.key;
        ++perPriority[row.priority];
        if (row.key.find('&') == std::string::npos)
            codes.insert(row.key);
    }
    EXPECT_EQ(43u, rows.size());
    EXPECT_EQ((std::map<int, int>{{0, 35}, {1, 1}, {2, 7}}), perPriority);
    for (const assist::NorvoProcess &row : rows) {
        size_t amp = row.key.find('&');
        std::string code = row.key.substr(0, amp);
        std::string process = amp == std::string::npos ? "unknown" : row.key.substr(amp + 1);
        EXPECT_EQ(&row, assist::NorvoProcesses::instance().find(code, process)) << row.key;
        EXPECT_EQ(1u, codes.count(code)) << row.key << " has no product row";
        EXPECT_EQ(row.priority == 0, amp == std::string::npos) << row.key;
    }
}

// ---- file security -------------------------------------------------------------------------------

// Whether the folder's DACL lets ordinary users (Everyone, Users, Authenticated Users) read it.
bool usersMayRead(const std::wstring &folder)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    bool may = dacl == nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount && !may; ++i) {
        void *entry = nullptr;
        GetAce(dacl, i, &entry);
        const ACCESS_ALLOWED_ACE *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        const DWORD reading = FILE_LIST_DIRECTORY | GENERIC_READ | GENERIC_ALL;
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || !(allowed->Mask & reading))
            continue;
        for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
            BYTE sid[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(sid);
            if (CreateWellKnownSid(type, nullptr, sid, &size) && EqualSid(const_cast<DWORD *>(&allowed->SidStart), sid))
                may = true;
        }
    }
    LocalFree(descriptor);
    return may;
}

// A dump folder made where ordinary users can create entries is theirs neither to read nor to
// change, from its creation on; elsewhere a new folder keeps what it inherits. (Wine keeps no
// descriptor: it shows one made from the Unix mode, so the folder users can write is made with
// mode 0777 and the protected folder shows as mode 0750, the plain one as 0755.)
TEST(FileSecurity, DumpFoldersUnderAFolderUsersCanWriteAreProtectedFromTheirCreation)
{
    const std::wstring folder = testFolder(), open = folder + L"\\open", closed = folder + L"\\closed";
    ASSERT_TRUE(CreateDirectoryW(open.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(closed.c_str(), nullptr));
    ASSERT_TRUE(nvtest::startUnixProgram(L"Z:\\bin\\chmod 777 \"" + nvtest::widen(nvtest::unixPath(open)) + L"\""));
    ASSERT_TRUE(nvtest::waitFor([&] { return tiny::usersCanCreateIn(narrow(open).c_str()); }, 10000, 50));
    EXPECT_FALSE(tiny::usersCanCreateIn(narrow(closed).c_str()));

    assist::createFolderWithParents(narrow(open) + "\\dumps\\deeper");
    assist::createFolderWithParents(narrow(closed) + "\\dumps");
    EXPECT_TRUE(nvtest::fileExists(open + L"\\dumps\\deeper"));
    EXPECT_FALSE(usersMayRead(open + L"\\dumps"));
    EXPECT_TRUE(usersMayRead(closed + L"\\dumps"));
}

} // namespace
