// The platform-library operations that crash reporting stands on, and the report tool's argument
// lists and known-process lookups, in-process against the real platform.
#include "assist/assistpaths.h"
#include "assist/norvoprocesses.h"
#include "assist/reportarguments.h"
#include "crashtest.h"
#include "testsupport.h"
#include "tiny/dir.h"
#include "tiny/format.h"
#include "tiny/process.h"
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

// ---- starting the report tool ------------------------------------------------------------------

TEST(StartProcess, QuotesAProgramPathWithBlanksAndHandsOverTheHandle)
{
    std::wstring folder = testFolder() + L"\\with blank";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(crashtest::placeReportTool(folder));
    std::string program = narrow(folder) + "\\nassist.exe";

    tiny::UniqueHandle process;
    int id = tiny::startProcess(program, "-a -b \"quoted value\\\"", &process);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(static_cast<DWORD>(id), GetProcessId(process.get()));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 15000));
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(0u, code);

    // Without a place for the handle the process still starts; the caller gets its id only.
    EXPECT_GT(tiny::startProcess(program, "second", nullptr), 0);
    std::vector<std::string> calls = crashtest::reportToolCalls(folder, 2);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("\"" + program + "\" -a -b \"quoted value\\\"", calls[0]);
    EXPECT_EQ("\"" + program + "\" second", calls[1]);

    tiny::UniqueHandle none;
    EXPECT_EQ(-1, tiny::startProcess(narrow(folder) + "\\missing.exe", "-a", &none));
    EXPECT_FALSE(none.valid());
}

// ---- formatting ----------------------------------------------------------------------------------

TEST(AppendFormatted, AppendsTextsOfEveryLengthWhole)
{
    for (size_t length : {0u, 4094u, 4095u, 4096u, 4097u, 100000u}) {
        SCOPED_TRACE(length);
        std::string text = "head:";
        std::string long_(length, 'x');
        tiny::appendFormatted(text, "%s|%d", long_.c_str(), 42);
        EXPECT_EQ("head:" + long_ + "|42", text);
    }
}

// ---- folder listing ------------------------------------------------------------------------------

TEST(Directory, ListsEveryEntryWithItsTypeAndStaysAtTheEnd)
{
    std::wstring folder = testFolder();
    ASSERT_TRUE(nvtest::writeFile(folder + L"\\a.txt", "a"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\sub").c_str(), nullptr));

    tiny::UniqueDir dir(tiny::openDir(narrow(folder).c_str()));
    ASSERT_TRUE(dir);
    std::map<std::string, int> seen;
    for (int i = 0; i < 10; ++i) {
        tiny::DirectoryEntry *entry = tiny::readDir(dir.get());
        if (!entry)
            break;
        seen[entry->name] = entry->type;
    }
    EXPECT_EQ((std::map<std::string, int>{{".", 4}, {"..", 4}, {"a.txt", 8}, {"sub", 4}}), seen);
    EXPECT_EQ(nullptr, tiny::readDir(dir.get()));
    EXPECT_EQ(nullptr, tiny::readDir(dir.get()));

    // Nothing to list: a plain file, a missing path, a path too long for the search pattern.
    EXPECT_EQ(nullptr, tiny::openDir(narrow(folder + L"\\a.txt").c_str()));
    EXPECT_EQ(nullptr, tiny::openDir(narrow(folder + L"\\missing").c_str()));
    std::string deep = "C:\\" + std::string(600, 'd');
    EXPECT_EQ(nullptr, tiny::openDir(deep.c_str()));
    EXPECT_EQ(nullptr, tiny::readDir(nullptr));
    EXPECT_EQ(0, tiny::closeDir(nullptr));
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

// ---- privileges ----------------------------------------------------------------------------------

// The process token's attributes of one privilege, read through a handle of the test's own.
DWORD attributesOf(const char *name)
{
    tiny::UniqueHandle token;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return 0xFFFFFFFF;
    token.reset(raw);
    LUID privilege = {};
    LookupPrivilegeValueA(nullptr, name, &privilege);
    DWORD attributes = 0xFFFFFFFF;
    return tiny::getPrivilegeAttributes(token.get(), attributes, privilege) ? attributes : 0xFFFFFFFF;
}

TEST(Privileges, StatesSavedTwiceComeBackInReverseOrder)
{
    const char kName[] = "SeShutdownPrivilege";
    DWORD original = attributesOf(kName);
    ASSERT_NE(0xFFFFFFFFu, original);
    const tiny::PrivilegeSet::Request request[] = {{kName, true}};
    {
        tiny::PrivilegeSet set(nullptr, request, 1, false);
        ASSERT_TRUE(set.allEnabled());
        HANDLE token = set.token();
        EXPECT_EQ(original | SE_PRIVILEGE_ENABLED, attributesOf(kName));
        ASSERT_TRUE(tiny::enablePrivilege(set, kName, false, true));
        EXPECT_EQ(original & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED), attributesOf(kName));
        EXPECT_EQ(2u, tiny::savedPrivilegeStates(token, kName));

        EXPECT_TRUE(tiny::restorePrivilege(token, kName, false));
        EXPECT_EQ(original | SE_PRIVILEGE_ENABLED, attributesOf(kName));
        EXPECT_TRUE(tiny::restorePrivilege(token, kName, false));
        EXPECT_EQ(original, attributesOf(kName));
        EXPECT_EQ(0u, tiny::savedPrivilegeStates(token, kName));
        // Nothing left to bring back: false, and nothing changes.
        EXPECT_FALSE(tiny::restorePrivilege(token, kName, false));
        EXPECT_EQ(original, attributesOf(kName));
    }
    EXPECT_EQ(original, attributesOf(kName));
}

TEST(Privileges, APrivilegeTheTokenLacksStopsTheSetAndTheEarlierOnesAreRestored)
{
    const char kFirst[] = "SeUndockPrivilege";
    const char kLacking[] = "SeCreateTokenPrivilege";  // never held by the platform's user
    const char kAfter[] = "SeSystemtimePrivilege";
    ASSERT_EQ(0xFFFFFFFFu, attributesOf(kLacking));
    DWORD first = attributesOf(kFirst), after = attributesOf(kAfter);
    const tiny::PrivilegeSet::Request requests[] = {{kFirst, true}, {kLacking, true}, {kAfter, true}};
    {
        tiny::PrivilegeSet set(nullptr, requests, 3, false);
        EXPECT_FALSE(set.allEnabled());
        EXPECT_EQ(first | SE_PRIVILEGE_ENABLED, attributesOf(kFirst));
        EXPECT_EQ(after, attributesOf(kAfter)) << "the walk goes on after a failure";
        EXPECT_EQ(0u, tiny::savedPrivilegeStates(set.token(), kLacking));
    }
    EXPECT_EQ(first, attributesOf(kFirst));
}

// ---- file security -------------------------------------------------------------------------------

TEST(FileSecurity, EntryShapesForEachFlagSet)
{
    tiny::UniqueSid users;
    ASSERT_EQ(0u, tiny::createWellKnownSid(tiny::kSidUsers, users));
    struct Shape {
        DWORD rights;
        DWORD inheritance;
    };
    struct Case {
        unsigned flags;
        std::vector<Shape> entries;
    };
    const Case cases[] = {
        {tiny::kAccessRead, {{0x120089, 3}, {0x1200A9, 2}}},
        {tiny::kAccessRead | tiny::kAccessExecute, {{0x1200A9, 3}}},
        {tiny::kAccessExecute, {{0x1200A9, 3}}},  // execute brings read along
        {tiny::kAccessWrite, {{0x17019F, 3}, {0x1701FF, 2}}},
        {tiny::kAccessRead | tiny::kAccessWrite | tiny::kAccessExecute, {{0x1701FF, 3}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        EXPLICIT_ACCESS_A entries[2] = {};
        int count = tiny::flagEntries(users.get(), c.flags, entries);
        ASSERT_EQ(c.entries.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(c.entries[i].rights, entries[i].grfAccessPermissions) << i;
            EXPECT_EQ(c.entries[i].inheritance, entries[i].grfInheritance) << i;
            EXPECT_EQ(SET_ACCESS, entries[i].grfAccessMode);
            EXPECT_EQ(TRUSTEE_IS_GROUP, entries[i].Trustee.TrusteeType);
            EXPECT_EQ(users.get(), static_cast<PSID>(entries[i].Trustee.ptstrName));
        }
    }
    EXPECT_EQ(0x1F01FFu, tiny::accessRights(7, true));
    EXPECT_EQ(0x1200A9u, tiny::accessRights(5, false));
}

TEST(FileSecurity, AclOwnershipAndRestrictionOnRealFiles)
{
    std::wstring folder = testFolder();
    std::string file = narrow(folder) + "\\dump.dmp";
    ASSERT_TRUE(nvtest::writeFile(nvtest::widen(file), "dump"));
    const int adminsAndSystem[] = {tiny::kSidAdministrators, tiny::kSidLocalSystem};
    const int users[] = {tiny::kSidUsers};
    const int undefined[] = {tiny::kSidAdministrators, 9};

    EXPECT_EQ(0u, tiny::setFileAcl(file.c_str(), 2, adminsAndSystem, true, -1));
    EXPECT_EQ(0u, tiny::setFileAcl(file.c_str(), 1, users, false, tiny::kAccessRead));
    EXPECT_EQ(0u, tiny::takeFileOwnership(file.c_str(), tiny::kSidAdministrators));
    EXPECT_TRUE(tiny::restrictFileAccess(file.c_str(), false));
    EXPECT_TRUE(tiny::restrictFileAccess(file.c_str(), true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), tiny::setFileAcl(file.c_str(), 2, undefined, true, -1));

    std::string missing = narrow(folder) + "\\missing.dmp";
    EXPECT_NE(0u, tiny::setFileAcl(missing.c_str(), 1, users, false, tiny::kAccessRead));
    EXPECT_NE(0u, tiny::setFileAcl(missing.c_str(), 1, users, true, tiny::kAccessRead));
    EXPECT_FALSE(tiny::restrictFileAccess(missing.c_str(), false));
    // A link under the name is refused, never followed to its target.
    std::string link = narrow(folder) + "\\link.dmp";
    ASSERT_TRUE(nvtest::plantUnixLink(nvtest::widen(file), nvtest::widen(link)));
    EXPECT_FALSE(tiny::restrictFileAccess(link.c_str(), false));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME), tiny::setFileAcl(link.c_str(), 2, adminsAndSystem, true, -1));

    // A path of 259 characters is used as it is; one character more is refused, not cut down to
    // some other file's name.
    std::string exact = narrow(folder) + "\\";
    exact += std::string(tiny::kLongestSecurityPath - exact.size(), 'p');
    ASSERT_EQ(259u, exact.size());
    ASSERT_TRUE(nvtest::writeFile(nvtest::widen(exact), "x"));
    EXPECT_EQ(0u, tiny::setFileAcl(exact.c_str(), 1, users, true, tiny::kAccessRead));
    std::string longer = exact + "q";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), tiny::setFileAcl(longer.c_str(), 1, users, true, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), tiny::takeFileOwnership(longer.c_str(), 0));
    EXPECT_FALSE(tiny::restrictFileAccess(longer.c_str(), false));
}

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
