// Dump discovery on real files with chosen times, the kernel dump's path and age from the real
// registry, and the expansion of registry texts.
#include "dumptest.h"
#include "testsupport.h"

#include "assist/assistlog.h"
#include "assist/mdfinder.h"
#include "assist/registrytext.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

using namespace norvo::assist;
using nvtest::countOf;

namespace {

const int64_t kTime = 1600000000;
const char kCrashControl[] = "SYSTEM\\ControlSet001\\Control\\CrashControl";
const char kProductKey[] = "Software\\Norvo\\Updater Service";
const ProcessKey kService("NUS", "nvupdaterservice");
const ProcessKey kNobody("XYZ", "unknown");

std::string testName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// The folder's entries in the order the platform lists them, without "." and "..".
std::vector<std::string> listingOrder(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

class Finder : public ::testing::Test {
protected:
    std::string folder;
    void SetUp() override
    {
        folder = dumptest::freshFolder(testName());
        dumptest::clearErrorLog();
        dumptest::reports().clear();
        setReportCallback(&dumptest::reportReceiver);
    }
    void TearDown() override { setReportCallback(nullptr); }
    std::string at(const std::string &name) const { return folder + "\\" + name; }
    void file(const std::string &name, int64_t seconds) { ASSERT_TRUE(dumptest::makeFile(at(name), "MDMP", seconds)); }
};

TEST_F(Finder, NewestDumpWinsAndTheOlderIsDeletedWithItsMessage)
{
    file("a.dmp", kTime);
    file("b.dmp", kTime + 60);
    file("notes.txt", kTime + 120);  // newer, but not a dump
    MDFinder finder(kNobody, false, true);
    std::string dump;
    EXPECT_EQ(MDFinder::kGenericOnly, finder.findMemoryDump(dump, folder));
    EXPECT_EQ(at("b.dmp"), dump);
    EXPECT_FALSE(dumptest::exists(at("a.dmp")));
    EXPECT_TRUE(dumptest::exists(at("b.dmp")));
    EXPECT_TRUE(dumptest::exists(at("notes.txt")));
    EXPECT_EQ(std::vector<std::string>{"Old core file " + folder + "/a.dmp has been deleted."}, dumptest::reports());
    EXPECT_NE(std::string::npos,
              dumptest::errorLog().find("norvo::assist::MDFinder::checkDumpExistence: found dump: " + at("b.dmp") + "\n"));

    // Without deleteOldDumps nothing goes.
    file("a.dmp", kTime);
    MDFinder keeping(kNobody, false, false);
    dump.clear();
    EXPECT_EQ(MDFinder::kGenericOnly, keeping.findMemoryDump(dump, folder));
    EXPECT_EQ(at("b.dmp"), dump);
    EXPECT_TRUE(dumptest::exists(at("a.dmp")));
}

// A link among the dumps (a Unix symbolic link, which Wine follows as Windows follows a symbolic
// link) is older than the newest dump, but it is refused, not deleted, and its target stays.
TEST_F(Finder, ALinkAmongTheOlderDumpsStaysAndSoDoesItsTarget)
{
    const std::string elsewhere = dumptest::freshFolder(testName() + "-elsewhere") + "\\precious.dmp";
    ASSERT_TRUE(dumptest::makeFile(elsewhere, "not ours", kTime));
    ASSERT_TRUE(nvtest::plantUnixLink(nvtest::widen(elsewhere), nvtest::widen(at("old.dmp"))));
    file("new.dmp", kTime + 60);
    MDFinder finder(kNobody, false, true);
    std::string dump;
    EXPECT_EQ(MDFinder::kGenericOnly, finder.findMemoryDump(dump, folder));
    EXPECT_EQ(at("new.dmp"), dump);
    EXPECT_EQ("not ours", dumptest::readText(elsewhere));
    EXPECT_TRUE(dumptest::exists(at("old.dmp")));
    EXPECT_EQ(std::vector<std::string>{"WRN: Cannot delete core file: " + folder + "/old.dmp."}, dumptest::reports());
}

TEST_F(Finder, TieGoesToTheFirstListedAndNeitherIsDeleted)
{
    file("one.dmp", kTime);
    file("two.dmp", kTime);
    std::vector<std::string> order = listingOrder(folder);
    ASSERT_EQ(2u, order.size());
    MDFinder finder(kNobody, false, true);
    std::string dump;
    EXPECT_EQ(MDFinder::kGenericOnly, finder.findMemoryDump(dump, folder));
    EXPECT_EQ(at(order[0]), dump);
    EXPECT_TRUE(dumptest::exists(at("one.dmp")));
    EXPECT_TRUE(dumptest::exists(at("two.dmp")));
    EXPECT_TRUE(dumptest::reports().empty());
}

TEST_F(Finder, ExistingNamedDumpIsReturnedWithoutListingTheFolder)
{
    file("named.dmp", kTime);
    file("newer.dmp", kTime + 100);
    MDFinder finder(kService, false, true);
    std::string dump = at("named.dmp");
    EXPECT_EQ(MDFinder::kFound, finder.findMemoryDump(dump, folder));
    EXPECT_EQ(at("named.dmp"), dump);
    // A listing with deleteOldDumps would have removed the older file.
    EXPECT_TRUE(dumptest::exists(at("named.dmp")));
    EXPECT_TRUE(dumptest::reports().empty());
    EXPECT_EQ(1u, countOf(dumptest::errorLog(), "found dump: " + at("named.dmp") + "\n"));
    EXPECT_EQ(0u, countOf(dumptest::errorLog(), "not found"));
}

TEST_F(Finder, ResultCodeSaysWhichPatternFoundTheDump)
{
    struct Case {
        const char *what;
        std::vector<std::string> files;
        ProcessKey key;
        std::string named;
        int result;
        std::string found;
    } cases[] = {
        {"named dump missing, process dump present", {"nvupdaterservice_1.dmp", "other.dmp"}, kService, "x.dmp",
         MDFinder::kNameMissing, "nvupdaterservice_1.dmp"},
        {"named dump present in the dump folder", {"x.dmp", "nvupdaterservice_1.dmp"}, kService, "x.dmp",
         MDFinder::kFound, "x.dmp"},
        {"no name, process dump", {"nvupdaterservice_7.dmp"}, kService, "", MDFinder::kFound, "nvupdaterservice_7.dmp"},
        {"only another process's dump", {"other.dmp"}, kNobody, "", MDFinder::kGenericOnly, "other.dmp"},
        {"default name in capitals", {"USER.DMP", "zzz.dmp"}, kNobody, "", MDFinder::kFound, "USER.DMP"},
        {"name missing, default name present", {"user.dmp"}, kNobody, "gone.dmp", MDFinder::kNameMissing, "user.dmp"},
        {"no dump at all", {"readme.txt"}, kService, "", MDFinder::kNotFound, ""},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dir = dumptest::freshFolder(testName() + std::to_string(++n));
        int64_t seconds = kTime;
        for (const std::string &name : c.files)
            // Later files are newer: the pattern, not the age, must decide.
            ASSERT_TRUE(dumptest::makeFile(dir + "\\" + name, "MDMP", seconds -= 10));
        MDFinder finder(c.key, false, false);
        std::string dump = c.named;
        EXPECT_EQ(c.result, finder.findMemoryDump(dump, dir)) << c.what;
        EXPECT_EQ(c.found.empty() ? c.named : dir + "\\" + c.found, dump) << c.what;
    }
}

TEST_F(Finder, EachPassLooksAtNoMoreThanTheFirstHundredEntries)
{
    for (int i = 0; i < 150; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "f%03d.dmp", i);
        file(name, kTime);
    }
    std::vector<std::string> order = listingOrder(folder);
    ASSERT_EQ(150u, order.size());
    file(order[49], kTime + 50);
    file(order[119], kTime + 100);  // newest of all, but beyond the first hundred
    ASSERT_EQ(order, listingOrder(folder));

    MDFinder finder(kNobody, false, true);
    std::string dump;
    EXPECT_EQ(MDFinder::kGenericOnly, finder.findMemoryDump(dump, folder));
    EXPECT_EQ(at(order[49]), dump);
    EXPECT_EQ(99u, dumptest::reports().size());
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(i == 49 || i >= 100, dumptest::exists(at(order[i]))) << order[i] << " at " << i;
}

class KernelDump : public ::testing::Test {
protected:
    std::string folder;
    void SetUp() override
    {
        folder = dumptest::freshFolder(testName());
        dumptest::clearErrorLog();
        dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");
    }
};

TEST_F(KernelDump, PathComesFromTheCrashControlValueOrTheWindowsFolder)
{
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string fallback = std::string(windows) + "\\memory.dmp";
    char root[MAX_PATH] = {};
    GetEnvironmentVariableA("SystemRoot", root, MAX_PATH);
    ASSERT_NE('\0', root[0]);
    struct Case {
        const char *what;
        bool key, value;
        DWORD type;
        std::string data, path, message;
    } cases[] = {
        {"text", true, true, REG_SZ, "D:\\Dumps\\KERNEL.DMP", "D:\\Dumps\\KERNEL.DMP",
         "kernel dump path is D:\\Dumps\\KERNEL.DMP\n"},
        {"expandable", true, true, REG_EXPAND_SZ, "%SystemRoot%\\MEMORY.DMP", std::string(root) + "\\MEMORY.DMP",
         "kernel dump path is " + std::string(root) + "\\MEMORY.DMP\n"},
        {"missing value", true, false, REG_SZ, "", "", "kernel dump path is \n"},
        {"not a text", true, true, REG_BINARY, "xx", fallback, "kernel dump path is " + fallback + ".\n"},
        {"missing key", false, false, REG_SZ, "", fallback, "kernel dump path is " + fallback + ".\n"},
    };
    MDFinder finder(kService, false, false);
    for (const Case &c : cases) {
        dumptest::deleteMachineValue(kCrashControl, "DumpFile");
        dumptest::deleteMachineKey(kCrashControl);
        if (c.key) {
            ASSERT_TRUE(dumptest::setMachineText(kCrashControl, "Overwrite", REG_SZ, "1"));
        }
        if (c.value) {
            ASSERT_TRUE(dumptest::setMachineText(kCrashControl, "dumpfile", c.type, c.data));  // any letter case
        }
        dumptest::clearErrorLog();
        EXPECT_EQ(c.path, finder.getKernelCrashDumpPath()) << c.what;
        EXPECT_NE(std::string::npos,
                  dumptest::errorLog().find("norvo::assist::MDFinder::getKernelCrashDumpPath: " + c.message))
            << c.what << "\n" << dumptest::errorLog();
    }
    dumptest::deleteMachineKey(kCrashControl);
}

TEST_F(KernelDump, OnlyADumpNewerThanTheLastHandledOneIsNew)
{
    const std::string dump = folder + "\\MEMORY.DMP";
    ASSERT_TRUE(dumptest::makeFile(dump, "PAGEDU64", kTime));
    const int64_t written = dumptest::modificationTime(dump);
    ASSERT_EQ(kTime, written);
    MDFinder finder(kService, false, false);
    struct Case {
        const char *what;
        bool set;
        int64_t last;
        bool isNew;
    } cases[] = {
        {"no value", false, 0, true},
        {"older", true, written - 1, true},
        {"zero counts as none", true, 0, true},
        {"equal", true, written, false},
        {"newer", true, written + 3600, false},
    };
    for (const Case &c : cases) {
        dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");
        if (c.set) {
            ASSERT_TRUE(dumptest::setMachineQword(kProductKey, "LastKernelDumpTime", c.last));
        }
        dumptest::clearErrorLog();
        EXPECT_EQ(c.isNew, finder.isItNewKrnDump(dump)) << c.what;
        EXPECT_EQ(c.isNew ? 0u : 1u,
                  countOf(dumptest::errorLog(),
                          "norvo::assist::MDFinder::isItNewKrnDump: dump " + dump + " is older than last dump.\n"))
            << c.what;
    }
    dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");

    dumptest::clearErrorLog();
    EXPECT_FALSE(finder.isItNewKrnDump(folder + "\\absent.dmp"));
    EXPECT_NE(std::string::npos, dumptest::errorLog().find("could not get status informations of kernel dump file " +
                                                             folder + "\\absent.dmp.\n"));
}

// Runs the expansion on a thread of its own, so that a loop shows as a time-out, not a hung suite.
struct Expansion {
    std::string input, output;
    static DWORD WINAPI run(void *self)
    {
        Expansion *e = static_cast<Expansion *>(self);
        e->output = expandEnvironmentText(e->input);
        return 0;
    }
};

bool expandWithin(Expansion &expansion, DWORD ms)
{
    HANDLE thread = CreateThread(nullptr, 0, &Expansion::run, &expansion, 0, nullptr);
    if (!thread)
        return false;
    bool done = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    if (!done)
        TerminateThread(thread, 1);  // the suite fails; the looping thread must not spin on
    CloseHandle(thread);
    return done;
}

TEST(RegistryText, VariablesAreExpandedOnceEvenWhenTheyNameThemselves)
{
    SetEnvironmentVariableA("NV_SELF", "<%NV_SELF%>");
    SetEnvironmentVariableA("NV_PING", "%NV_PONG%");
    SetEnvironmentVariableA("NV_PONG", "%NV_PING%");
    SetEnvironmentVariableA("NV_PLAIN", "plain");
    SetEnvironmentVariableA("NV_UNSET", nullptr);
    struct Case {
        std::string input, output;
    } cases[] = {
        {"a%NV_SELF%b", "a<%NV_SELF%>b"},
        {"%NV_PING%", "%NV_PONG%"},
        {"x%NV_UNSET%y%NV_PLAIN%", "xyplain"},
        {"100% sure", "100% sure"},
        {"%NV_PLAIN%%NV_PLAIN%", "plainplain"},
    };
    for (const Case &c : cases) {
        Expansion expansion{c.input, ""};
        ASSERT_TRUE(expandWithin(expansion, 5000)) << "expansion of " << c.input << " did not end";
        EXPECT_EQ(c.output, expansion.output) << c.input;
    }

    // The same through the registry, as the kernel dump's path is read.
    const std::string key = "SYSTEM\\NorvoTest\\Expansion";
    ASSERT_TRUE(dumptest::setMachineText(key, "Path", REG_EXPAND_SZ, "%NV_SELF%\\MEMORY.DMP"));
    std::string text;
    EXPECT_EQ(kRegistryTextRead, readMachineRegistryText(key, "path", text));
    EXPECT_EQ("<%NV_SELF%>\\MEMORY.DMP", text);
    std::string untouched = "before";
    EXPECT_EQ(kRegistryTextRead, readMachineRegistryText(key, "Missing", untouched));
    EXPECT_EQ("before", untouched);
    EXPECT_EQ(kRegistryTextNoKey, readMachineRegistryText(key + "\\Absent", "Path", untouched));
    dumptest::deleteMachineKey(key);
}

} // namespace
