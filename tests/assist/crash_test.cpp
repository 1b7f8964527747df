// Real crashes of a small program that uses the crash-reporting library: the dump it leaves, the
// report tool it starts, the lines of assist.err, and how the process ends.
#include "crashtest.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using crashtest::compareLines;
using crashtest::narrow;

namespace {

const long kAccessViolation = static_cast<long>(0xC0000005);
const DWORD kCrashTimeout = 60000;
const char kFilter[] = "norvo::assist::MemDumps::generateCrashDump: ";
const char kDumper[] = "MemoryDumper::dumpProcessState: ";
const char kPostAction[] = "norvo::assist::DefaultMemDumpHandler::crashPostAction: executing process ";
const char kAlreadyDumped[] = "norvo::assist::MemDumps::generateCrashDump: someone has already dumped the process. "
                              "Another thread has probably crashed too.";

std::wstring systemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

std::wstring forwardSlashes(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// One test's world: the program in bin\ (so that its assist.err is the test's own), the report
// tool's stand-in in tool\, and a file that the program's own earlier filter writes to.
class Crash : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = crashtest::freshFolder(nvtest::widen(info->name()));
        bin = root + L"\\bin";
        tool = root + L"\\tool";
        CreateDirectoryW(bin.c_str(), nullptr);
        CreateDirectoryW(tool.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((nvtest::buildDir() + L"\\assist_crashprogram.exe").c_str(), program().c_str(), FALSE));
        ASSERT_TRUE(crashtest::placeReportTool(tool));
        previousLog = root + L"\\previous.txt";
    }

    std::wstring program() const { return bin + L"\\assist_crashprogram.exe"; }
    std::wstring errorLog() const { return bin + L"\\/assist.err"; }
    std::string toolPath() const { return narrow(tool) + "\\nassist.exe"; }

    crashtest::Run crash(const std::wstring &arguments, const std::wstring &exe = std::wstring())
    {
        std::wstring all = arguments + L" --tool \"" + tool + L"\" --previous \"" + previousLog + L"\"";
        return crashtest::runProgram(exe.empty() ? program() : exe, all, kCrashTimeout);
    }

    // The report tool's arguments for the program's configuration and this dump folder (which ends
    // in a backslash: doubled before the closing quote).
    static std::string crashArguments(const std::string &dumpFolder, const std::string &dumpName)
    {
        std::string line = "-c -U \"ftp://upload.example.org/incoming/\" -u \"tester\" -p \"secret\" -D 1 -R 0 "
                           "-P \"TST\" -V \"1.2.3-T9-42\" -m \"" +
                           dumpFolder + "\\\"";
        if (!dumpName.empty())
            line += " -N \"" + dumpName + "\"";
        return line + " -S \"crashprogram\"";
    }

    size_t previousFilterCalls() const { return nvtest::countOf(nvtest::readFile(previousLog), "previous filter"); }

    std::wstring root, bin, tool, previousLog;
};

TEST_F(Crash, WorkerThreadCrashLeavesOneDumpAndStartsTheReportToolOnce)
{
    // A folder given with forward slashes and doubled separators, missing with its parent.
    std::wstring given = forwardSlashes(root) + L"//dumps///deeper/";
    std::string folder = narrow(root) + "\\dumps\\deeper\\";
    std::string dump = folder + "crash.dmp";
    crashtest::Run run = crash(L"--dumps \"" + given + L"\" --name crash.dmp --debuglib \"" + systemFolder() + L"\"");

    // The default filter result: the platform ends the process with the exception's code.
    EXPECT_EQ(kAccessViolation, run.exitCode);
    std::vector<std::string> summary = crashtest::dumpSummary(nvtest::widen(dump));
    ASSERT_FALSE(summary.empty()) << "no readable dump at " << dump;
    EXPECT_EQ("1", crashtest::summaryValue(summary, "comment streams"));
    EXPECT_EQ("NORVO_ASSIST_DUMP", crashtest::summaryValue(summary, "comment"));
    EXPECT_EQ(0u, crashtest::summaryValue(summary, "exception").find("code 0xC0000005 thread "))
        << crashtest::summaryValue(summary, "exception");

    std::string arguments = crashArguments(folder, "crash.dmp");
    std::vector<std::string> calls = crashtest::reportToolCalls(tool);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("\"" + toolPath() + "\" " + arguments, calls[0]);
    // What the tool's own argument parsing makes of it: the folder with its one backslash, and the
    // options after it.
    std::vector<std::vector<std::string>> words = crashtest::reportToolWords(tool);
    ASSERT_EQ(1u, words.size());
    EXPECT_EQ(folder, crashtest::wordAfter(words[0], "-m"));
    EXPECT_EQ("crash.dmp", crashtest::wordAfter(words[0], "-N"));
    EXPECT_EQ("crashprogram", crashtest::wordAfter(words[0], "-S"));

    EXPECT_EQ("", compareLines(crashtest::errorLogLines(errorLog(), run.processId),
                               {"Error log has been truncated",
                                std::string(kDumper) + "Create file " + dump + " finished with error code 0",
                                std::string(kDumper) + "dump of process " + std::to_string(run.processId) +
                                    " has been successful",
                                std::string(kFilter) + "dump name: " + dump,
                                std::string(kPostAction) + toolPath() + " with command line " + arguments}));
    // Chained after the report tool was started (the platform reports Windows 7).
    EXPECT_EQ(1u, previousFilterCalls());
}

TEST_F(Crash, ThreadsCrashingTogetherWriteOneDumpAndWaitForIt)
{
    std::wstring dumps = root + L"\\dumps";
    crashtest::Run run = crash(L"--threads 3 --no-chain --restrict --dumps \"" + dumps + L"\" --debuglib \"" +
                               systemFolder() + L"\"");

    EXPECT_EQ(kAccessViolation, run.exitCode);
    // No dump name configured: the file is named after the process id.
    std::string dump = narrow(dumps) + "\\user_" + std::to_string(run.processId) + ".dmp";
    WIN32_FIND_DATAW found = {};
    size_t dumpFiles = 0;
    HANDLE search = FindFirstFileW((dumps + L"\\*.dmp").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        ++dumpFiles;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    EXPECT_EQ(1u, dumpFiles);
    EXPECT_TRUE(nvtest::fileExists(nvtest::widen(dump)));
    EXPECT_EQ(1u, crashtest::reportToolCalls(tool).size());

    std::vector<std::string> lines = crashtest::errorLogLines(errorLog(), run.processId);
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), kAlreadyDumped));
    lines.erase(std::remove(lines.begin(), lines.end(), kAlreadyDumped), lines.end());
    // The dump's access is restricted before its name is logged (Wine stores no ACL: only the order
    // shows).
    EXPECT_EQ("", compareLines(lines, {"Error log has been truncated", std::string(kDumper) + "Create file *",
                                       std::string(kDumper) + "dump of process *",
                                       std::string(kFilter) + "access rights for dumpFile has been restricted",
                                       std::string(kFilter) + "dump name: " + dump, std::string(kPostAction) + "*"}));
    EXPECT_EQ(0u, previousFilterCalls()) << "chaining was switched off";
}

TEST_F(Crash, CancelledOrDisabledDumpingWritesNothingAndStillChains)
{
    struct Case {
        const wchar_t *option;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        // A host's handler that refuses: no dump, no report tool.
        {L"--cancel", {std::string(kFilter) + "dump process has been canceled by user"}},
        {L"--disable", {"Error log has been truncated", std::string(kFilter) + "crashdumps are not enabled"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(narrow(c.option));
        DeleteFileW(errorLog().c_str());
        DeleteFileW(previousLog.c_str());
        std::wstring dumps = root + L"\\dumps";
        crashtest::Run run = crash(std::wstring(c.option) + L" --name crash.dmp --dumps \"" + dumps + L"\"");
        EXPECT_EQ(kAccessViolation, run.exitCode);
        EXPECT_FALSE(nvtest::fileExists(dumps + L"\\crash.dmp"));
        EXPECT_TRUE(crashtest::reportToolCalls(tool, 0).empty());
        EXPECT_EQ("", compareLines(crashtest::errorLogLines(errorLog(), run.processId), c.lines));
        EXPECT_EQ(1u, previousFilterCalls());
    }
}

TEST_F(Crash, SecondInitialisationOnlyTruncatesTheErrorLog)
{
    crashtest::Run run = crashtest::runProgram(
        program(), L"--reinit --dumps \"" + root + L"\\dumps\" --tool \"" + tool + L"\"", kCrashTimeout);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("Error log has been truncated\r\n", nvtest::readFile(errorLog()));
}

TEST_F(Crash, DebugLibraryFromTheSystemFolderOrNone)
{
    std::wstring empty = root + L"\\nodebuglib";
    CreateDirectoryW(empty.c_str(), nullptr);
    std::string systemCopy = narrow(systemFolder()) + "\\dbghelp.dll";
    std::string configured = narrow(empty) + "\\dbghelp.dll";
    // A copy of the program for which Wine refuses the library wherever it is loaded from.
    std::wstring refused = bin + L"\\assist_nodebuglib.exe";
    ASSERT_TRUE(CopyFileW(program().c_str(), refused.c_str(), FALSE));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER,
                                             L"Software\\Wine\\AppDefaults\\assist_nodebuglib.exe\\DllOverrides",
                                             L"dbghelp", REG_SZ, L"", sizeof(wchar_t)));
    struct Case {
        std::wstring exe;
        bool dumped;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {program(),
         true,
         {"Error log has been truncated", std::string(kDumper) + "Loading of library " + configured + " has failed, error: *",
          std::string(kDumper) + "WARNING: Alternative debugging library has been loaded: " + systemCopy,
          std::string(kDumper) + "Create file *", std::string(kDumper) + "dump of process *",
          std::string(kFilter) + "dump name: *", std::string(kPostAction) + "*"}},
        // The library cannot be loaded at all: no dump, the report tool is still started.
        {refused,
         false,
         {"Error log has been truncated", std::string(kDumper) + "Loading of library " + configured + " has failed, error: *",
          std::string(kDumper) + "Alternative loading of library " + systemCopy + " has failed, error: *",
          std::string(kPostAction) + "*"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(narrow(c.exe));
        std::wstring dumps = root + L"\\dumps";
        DeleteFileW((dumps + L"\\crash.dmp").c_str());
        DeleteFileW((tool + L"\\nassist-calls.txt").c_str());
        crashtest::Run run = crash(L"--name crash.dmp --dumps \"" + dumps + L"\" --debuglib \"" + empty + L"\"", c.exe);
        EXPECT_EQ(kAccessViolation, run.exitCode);
        EXPECT_EQ(c.dumped, nvtest::fileExists(dumps + L"\\crash.dmp"));
        EXPECT_EQ(1u, crashtest::reportToolCalls(tool).size());
        EXPECT_EQ("", compareLines(crashtest::errorLogLines(errorLog(), run.processId), c.lines));
    }
}

TEST_F(Crash, ReportToolFromTheProgramsFolderAndAPreviousFilterThatContinues)
{
    ASSERT_TRUE(crashtest::placeReportTool(bin));
    const std::wstring dumps = root + L"\\dumps";
    struct Case {
        const char *what;
        std::wstring options, toolFolder;
    };
    const Case cases[] = {
        // No report tool folder: the one beside the program, never one the platform searches for.
        {"without --tool", L"", bin},
        // The earlier filter asks to go on: the fault comes again on the dumping thread, and the
        // process ends then instead of dumping or waiting again.
        {"previous filter continues", L" --continue --tool \"" + tool + L"\"", tool},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((dumps + L"\\crash.dmp").c_str());
        DeleteFileW(previousLog.c_str());
        crashtest::Run run = crashtest::runProgram(
            program(), L"--name crash.dmp --dumps \"" + dumps + L"\" --previous \"" + previousLog + L"\"" + c.options,
            kCrashTimeout);
        EXPECT_EQ(kAccessViolation, run.exitCode) << "-2: it hung";
        EXPECT_TRUE(nvtest::fileExists(dumps + L"\\crash.dmp"));
        ASSERT_EQ(1u, crashtest::reportToolCalls(c.toolFolder).size());
        std::vector<std::vector<std::string>> words = crashtest::reportToolWords(c.toolFolder);
        ASSERT_EQ(1u, words.size());
        EXPECT_EQ(narrow(c.toolFolder) + "\\nassist.exe", words[0][0]);
        EXPECT_EQ(1u, previousFilterCalls());
        std::vector<std::string> lines = crashtest::errorLogLines(errorLog(), run.processId);
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                                std::string(kFilter) + "dump name: " + narrow(dumps) + "\\crash.dmp"));
        DeleteFileW((c.toolFolder + L"\\nassist-calls.txt").c_str());
        DeleteFileW((c.toolFolder + L"\\nassist-words.txt").c_str());
    }
}

// A link planted under the dump's name (a Unix symbolic link, which Wine follows as Windows would
// follow a symbolic link): neither removed through nor written through; the dump is not written,
// the report tool still starts.
TEST_F(Crash, ALinkUnderTheDumpsNameIsNeitherFollowedNorRemoved)
{
    const std::wstring dumps = root + L"\\dumps", target = root + L"\\precious.txt";
    CreateDirectoryW(dumps.c_str(), nullptr);
    ASSERT_TRUE(nvtest::writeFile(target, "not a dump"));
    ASSERT_TRUE(nvtest::plantUnixLink(target, dumps + L"\\crash.dmp"));
    crashtest::Run run =
        crash(L"--name crash.dmp --dumps \"" + dumps + L"\" --debuglib \"" + systemFolder() + L"\"");

    EXPECT_EQ(kAccessViolation, run.exitCode);
    EXPECT_EQ("not a dump", nvtest::readFile(target));
    EXPECT_EQ(1u, crashtest::reportToolCalls(tool).size());
    const std::string dump = narrow(dumps) + "\\crash.dmp";
    EXPECT_EQ("", compareLines(crashtest::errorLogLines(errorLog(), run.processId),
                               {"Error log has been truncated",
                                std::string(kDumper) + "Create file " + dump + " finished with error code 80",
                                std::string(kDumper) + "Create file " + dump + " error code 80",
                                std::string(kPostAction) + "*"}));
}

} // namespace
