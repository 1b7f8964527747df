// The real service, installed under the service control manager, crashes inside a session: the
// msi.dll test double faults when the session opens the named package.
#include "brokerharness.h"
#include "conversation.h"
#include "crashtest.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <wctype.h>

#include <cstddef>
#include <string>
#include <vector>

using crashtest::narrow;

namespace {

const long kAccessViolation = static_cast<long>(0xC0000005);
// A full-memory dump is slow under Wine (tens of seconds for some 80 MB, over two minutes on a
// loaded machine; the service started by hand has some 300 MB).
const DWORD kCrashTimeout = 300000;

// The service's current directory: the system folder on Windows, C:\windows under Wine.
std::string serviceCurrentDirectory()
{
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return narrow(folder);
}

TEST(ServiceCrash, ADumpWithTheMarkersAndTheReportToolStartedThenTheProcessEnds)
{
    const std::string folder = serviceCurrentDirectory();
    const std::wstring wideFolder = nvtest::widen(folder);
    const std::string dump = folder + "\\nvupdaterservice.dmp";
    const std::string toolPath = folder + "\\nassist.exe";
    DeleteFileW(nvtest::widen(dump).c_str());
    DeleteFileW((wideFolder + L"\\nassist-calls.txt").c_str());
    DeleteFileW((wideFolder + L"\\nassist-words.txt").c_str());
    ASSERT_TRUE(crashtest::placeReportTool(wideFolder));

    // The session holds the named file, opens its database and makes the installer session over it,
    // where the double faults: a real package, read no further than that.
    const std::wstring package = nvtest::suiteDir() + L"\\package.msi";
    ASSERT_TRUE(CopyFileW((nvtest::runDir() + L"\\testkit\\packages\\unsigned.msi").c_str(), package.c_str(), FALSE));
    ASSERT_TRUE(brokertest::installService());
    // A log of an earlier run: the start keeps it as assist.err.1 before it truncates assist.err.
    const std::wstring errorLog = brokertest::serviceFolder() + L"\\/assist.err";
    ASSERT_TRUE(nvtest::writeFile(errorLog, "lines of the run before\r\n"));
    ASSERT_TRUE(brokertest::startService());
    DWORD pid = brokertest::serviceProcessId();
    norvo::tiny::UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    ASSERT_TRUE(process.valid());

    ULONGLONG begin = 0;
    {
        brokertest::Conversation session;
        ASSERT_EQ(0u, session.greeting().find("200 NUS ")) << session.greeting();
        session.send(L"200 NSW 1");
        begin = GetTickCount64();
        session.send(L"210 PACKAGE \"" + package + L"\"");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), kCrashTimeout)) << "the service did not end";
    }
    ULONGLONG took = GetTickCount64() - begin;
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(kAccessViolation, static_cast<long>(code));

    std::vector<std::string> summary = crashtest::dumpSummary(nvtest::widen(dump), 120000);
    ASSERT_FALSE(summary.empty()) << "no readable dump at " << dump;
    printf("service crash: dump %s, process ended %.1f s after the package command\n",
           crashtest::summaryValue(summary, "size").c_str(), took / 1000.0);
    EXPECT_EQ("1", crashtest::summaryValue(summary, "comment streams"));
    EXPECT_EQ("NORVO_ASSIST_DUMP", crashtest::summaryValue(summary, "comment"));
    EXPECT_EQ(0u, crashtest::summaryValue(summary, "exception").find("code 0xC0000005 thread "));
    EXPECT_EQ(1u, crashtest::summaryCount(summary, "stream 0"));
    EXPECT_NE(std::string::npos, crashtest::summaryValue(summary, "stream 0").find("(")) << "streams listed";
    EXPECT_EQ(0u, crashtest::summaryValue(summary, "marker server-os").find("***Server OS: Windows"))
        << crashtest::summaryValue(summary, "marker server-os");
    EXPECT_EQ("***Coredump version 2.0.0.1171***", crashtest::summaryValue(summary, "marker coredump-version"));

    const std::string arguments = "-c -U \"ftp://crashreports.example.com/incoming/nus/\" -u \"nus-reporter\" "
                                  "-p \"nus-upload\" -D 1 -R 0 -P \"NUS\" -V \"2.0.0-T0-1171\" -m \"" +
                                  folder + "\\\\\" -N \"nvupdaterservice.dmp\" -S \"nvupdaterservice\"";
    std::vector<std::string> calls = crashtest::reportToolCalls(wideFolder);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("\"" + toolPath + "\" " + arguments, calls[0]);
    // The tool's own parsing gets every option: the folder with one backslash, the name, the service.
    std::vector<std::vector<std::string>> words = crashtest::reportToolWords(wideFolder);
    ASSERT_EQ(1u, words.size());
    EXPECT_EQ(folder + "\\", crashtest::wordAfter(words[0], "-m"));
    EXPECT_EQ("nvupdaterservice.dmp", crashtest::wordAfter(words[0], "-N"));
    EXPECT_EQ("nvupdaterservice", crashtest::wordAfter(words[0], "-S"));

    // The debug help library is looked for in the current directory first. The dump is left to
    // Administrators and SYSTEM before its name is logged (Wine stores no access lists: only the
    // restriction's outcome shows, not the protection).
    const char kDumper[] = "MemoryDumper::dumpProcessState: ";
    EXPECT_EQ("lines of the run before\r\n", nvtest::readFile(errorLog + L".1"));
    EXPECT_EQ("", crashtest::compareLines(
                      crashtest::errorLogLines(errorLog, pid),
                      {"Error log has been truncated",
                       std::string(kDumper) + "Loading of library " + folder + "\\dbghelp.dll has failed, error: *",
                       std::string(kDumper) + "WARNING: Alternative debugging library has been loaded: *",
                       std::string(kDumper) + "Create file " + dump + " finished with error code *",
                       std::string(kDumper) + "dump of process " + std::to_string(pid) + " has been successful",
                       "norvo::assist::MemDumps::generateCrashDump: access rights for dumpFile has been restricted",
                       "norvo::assist::MemDumps::generateCrashDump: dump name: " + dump,
                       "norvo::assist::DefaultMemDumpHandler::crashPostAction: executing process " + toolPath +
                           " with command line " + arguments}));
    EXPECT_NE(std::string::npos, nvtest::readFile(nvtest::suiteDir() + L"\\msidouble-calls.txt").find("94 fault"));
    brokertest::deleteService();
}

std::wstring lower(std::wstring text)
{
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// Where a name really leads, as the file system resolved it for this process; empty when unknown.
std::wstring finalPath(const std::wstring &name)
{
    norvo::tiny::UniqueFile file(CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = file ? GetFinalPathNameByHandleW(file.get(), path, MAX_PATH + 8, 0) : 0;
    return length == 0 || length >= MAX_PATH + 8 ? std::wstring() : std::wstring(path, length);
}

// The service's current directory on Windows is the system folder, which the file system takes a
// 32-bit process on 64-bit Windows to SysWOW64. Under Wine's service control manager a service runs
// in C:\windows, so the service is started by hand here, in the system folder, with the same
// crash reporting; the session crashes as above. An older dump is there already: it is replaced,
// and the new one restricted.
TEST(ServiceCrash, InTheRedirectedSystemFolderTheOldDumpIsReplacedAndRestricted)
{
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    const std::wstring folder = system;
    const std::wstring dump = folder + L"\\nvupdaterservice.dmp";
    ASSERT_TRUE(crashtest::placeReportTool(folder));
    DeleteFileW((folder + L"\\nassist-calls.txt").c_str());
    ASSERT_TRUE(nvtest::writeFile(dump, "the dump of an earlier crash"));

    // What a 32-bit process names as system32 is SysWOW64 on a 64-bit system; a 64-bit one (or one
    // on a 32-bit system) gets what it names.
    const std::wstring leadsTo = finalPath(dump);
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    if (wow64) {
        EXPECT_NE(std::wstring::npos, lower(leadsTo).find(L"\\syswow64\\")) << narrow(leadsTo);
    } else {
        printf("no file system redirection for this %s process: the dump is where it is named (%s)\n",
               sizeof(void *) == 8 ? "64-bit" : "32-bit", narrow(leadsTo).c_str());
        EXPECT_NE(std::wstring::npos, lower(leadsTo).find(L"\\system32\\")) << narrow(leadsTo);
    }

    const std::wstring package = nvtest::suiteDir() + L"\\redirected.msi";
    ASSERT_TRUE(CopyFileW((nvtest::runDir() + L"\\testkit\\packages\\unsigned.msi").c_str(), package.c_str(), FALSE));
    ASSERT_TRUE(brokertest::installService());   // the executable in place; started by hand below
    const std::wstring errorLog = brokertest::serviceFolder() + L"\\/assist.err";
    std::wstring line = L"\"" + brokertest::serviceExe() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                               &started))
        << GetLastError();
    norvo::tiny::UniqueHandle process(started.hProcess);
    norvo::tiny::UniqueHandle thread(started.hThread);
    {
        brokertest::Conversation session;
        ASSERT_EQ(0u, session.greeting().find("200 NUS ")) << session.greeting();
        session.send(L"200 NSW 1");
        session.send(L"210 PACKAGE \"" + package + L"\"");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), kCrashTimeout)) << "the service did not end";
    }

    // The new dump under the old one's name, where the name really leads.
    std::vector<std::string> summary = crashtest::dumpSummary(finalPath(dump), 120000);
    ASSERT_FALSE(summary.empty()) << "no readable dump at " << narrow(finalPath(dump));
    EXPECT_EQ("NORVO_ASSIST_DUMP", crashtest::summaryValue(summary, "comment"));
    EXPECT_EQ(0u, crashtest::summaryValue(summary, "exception").find("code 0xC0000005 thread "));

    // From the dump file's creation on (how the debug help library was found comes before).
    const std::string named = narrow(dump);
    const char kDumper[] = "MemoryDumper::dumpProcessState: ";
    std::vector<std::string> lines = crashtest::errorLogLines(errorLog, started.dwProcessId);
    const std::string creation = std::string(kDumper) + "Create file " + named + " finished with error code ";
    size_t first = 0;
    while (first < lines.size() && lines[first].compare(0, creation.size(), creation) != 0)
        ++first;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(first));
    EXPECT_EQ("", crashtest::compareLines(
                      lines, {creation + "0",
                       std::string(kDumper) + "dump of process " + std::to_string(started.dwProcessId) +
                           " has been successful",
                       "norvo::assist::MemDumps::generateCrashDump: access rights for dumpFile has been restricted",
                       "norvo::assist::MemDumps::generateCrashDump: dump name: " + named,
                       "norvo::assist::DefaultMemDumpHandler::crashPostAction: executing process *"}));
    EXPECT_EQ(1u, crashtest::reportToolCalls(folder).size());
    brokertest::deleteService();
}

} // namespace
