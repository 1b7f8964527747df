// The platform library's operations beneath crash reporting, in-process against the real platform:
// starting a program, formatting, folder listing, privileges and file security.
#include "crashtest.h"
#include "testsupport.h"
#include "tiny/dir.h"
#include "tiny/format.h"
#include "tiny/process.h"
#include "tiny/security.h"

#include <gtest/gtest.h>

#include <map>

namespace tiny = norvo::tiny;
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

} // namespace
