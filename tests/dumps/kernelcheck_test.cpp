// The kernel-dump check of the library's initialisation, end to end: the kernel dump's path from
// the registry, its age against the product's last handled one, the analysis through the engine
// double and the report tool (the stand-in, which records its command line) started with the
// kernel argument list.
#include "analysistest.h"

#include "assist/memdumphandler.h"
#include "assist/memdumps.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

using namespace norvo::assist;
using namespace analysistest;

namespace {

const char kCrashControl[] = "SYSTEM\\ControlSet001\\Control\\CrashControl";
const char kProductKey[] = "Software\\Norvo\\Updater Service";

// The stand-in's build output; each test runs a copy in a folder of its own, where it leaves its
// record of calls.
std::string builtReportTool()
{
    return dumptest::buildRoot() + "\\tools\\nassist\\nassist.exe";
}

class KernelCheck : public EngineTest {
protected:
    std::string toolFolder, toolLog, dumpFolder;

    void SetUp() override
    {
        EngineTest::SetUp();
        static int run = 0;
        toolFolder = dumptest::freshFolder("report-tool-" + std::to_string(++run));
        ASSERT_TRUE(CopyFileA(builtReportTool().c_str(), (toolFolder + "\\nassist.exe").c_str(), FALSE));
        toolLog = toolFolder + "\\nassist-calls.txt";
        ASSERT_TRUE(dumptest::setMachineText(kCrashControl, "DumpFile", REG_SZ, dumpFile()));
        dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");
        dumpFolder = dumptest::freshFolder("kernel-check-dumps");
    }
    void TearDown() override
    {
        dumptest::deleteMachineKey(kCrashControl);
        dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");
        EngineTest::TearDown();
    }

    // Initialises the library as a host with the kernel check switched on would.
    int initialise(std::shared_ptr<DefaultMemDumpHandler> handler = std::make_shared<DefaultMemDumpHandler>())
    {
        AssistConfig config;
        config.productCode = "NUS";
        config.processName = "nvupdaterservice";
        config.version = "2.0.0-T0-1171";
        config.numberD = 1;
        config.dumpDirectory = dumpFolder.c_str();
        config.dumpName = "nvupdaterservice.dmp";
        config.reportToolDirectory = toolFolder.c_str();
        config.checkKernelDumps = true;
        MemDumps &dumps = MemDumps::instance();
        dumps.setHandler(handler);
        return dumps.internalInit(config);
    }

    std::string toolCalls() const { return dumptest::readText(toolLog); }
};

TEST_F(KernelCheck, NewPositiveDumpStartsTheReportToolOnceWithTheKernelArguments)
{
    useTranscript(committedTranscript("kernel32.txt"));
    auto handler = std::make_shared<DefaultMemDumpHandler>();
    ASSERT_EQ(0, initialise(handler));
    // The library starts the tool before its initialisation returns, and logs each start: once the
    // tool it started has ended, its record is complete, and the log counts the starts.
    ASSERT_TRUE(handler->childProcess.valid()) << "the report tool was not started";
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handler->childProcess.get(), 30000));

    const MemDumps &dumps = MemDumps::instance();
    std::string expected = "\"" + dumps.reportToolPath() + "\"";
    for (const std::string &argument : dumps.kernelCommandArgs())
        expected += " " + argument;
    EXPECT_EQ(expected + "\r\n", toolCalls());
    ASSERT_FALSE(dumps.kernelCommandArgs().empty());
    EXPECT_EQ("-k", dumps.kernelCommandArgs().front());
    // The folder's backslash doubled before the closing quote, so that the tool's parsing keeps it.
    EXPECT_NE(std::string::npos, expected.find(" -P \"NUS\" -V \"2.0.0-T0-1171\" -m \"" + dumpFolder + "\\\\\""));
    EXPECT_EQ(toolFolder + "\\nassist.exe", dumps.reportToolPath());

    std::string log = dumptest::errorLog();
    EXPECT_EQ(1u, nvtest::countOf(log, "DumpChecker: analyzing kernel memory dump " + dumpFile() + ".\n"));
    EXPECT_EQ(1u, nvtest::countOf(log, " DumpChecker: kernel memory dump " + dumpFile() + " found and analyzed.\n"));
    EXPECT_EQ(1u, nvtest::countOf(log, "norvo::assist::DefaultMemDumpHandler::kernelPostAction: executing process "));
}

TEST_F(KernelCheck, DumpThatIsNotPositiveOrNotNewStartsNothing)
{
    struct Case {
        const char *what;
        std::string transcript;
        bool handledBefore;   // LastKernelDumpTime equals the dump's time
        std::string logged;
        bool onDisk;
    } cases[] = {
        {"not positive", "", false, "DumpChecker: analyzing kernel memory dump", true},
        {"user-mode dump", committedTranscript("usermode.txt"), false, "this is not a kernel mode dump file", true},
        {"positive but handled before", committedTranscript("kernel32.txt"), true, "is older than last dump.", true},
        {"no kernel dump on disk", committedTranscript("kernel32.txt"), false, "kernel dump path is ", false},
    };
    Session quiet;
    quiet.modules = {{"norvonet", 0x8f8e2000, 0x8f8f9000}};
    quiet.arguments = {1, 2, 3, 4};
    quiet.stack = 0x8d5d3b7c;
    quiet.words = {5, 6, 7, 8};
    cases[0].transcript = writeTranscript(quiet);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        dumptest::clearErrorLog();
        DeleteFileA(toolLog.c_str());
        if (c.handledBefore) {
            ASSERT_TRUE(dumptest::setMachineQword(kProductKey, "LastKernelDumpTime", dumptest::modificationTime(dumpFile())));
        } else {
            dumptest::deleteMachineValue(kProductKey, "LastKernelDumpTime");
        }
        useTranscript(c.transcript);
        clearCalls();
        ASSERT_TRUE(dumptest::setMachineText(kCrashControl, "DumpFile", REG_SZ,
                                             c.onDisk ? dumpFile() : dumpFolder + "\\absent.dmp"));
        ASSERT_EQ(0, initialise());
        EXPECT_FALSE(nvtest::waitFor([&] { return dumptest::exists(toolLog); }, 1500)) << "the report tool was started";
        std::string log = dumptest::errorLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        EXPECT_EQ(0u, nvtest::countOf(log, "found and analyzed"));
        EXPECT_EQ(0u, nvtest::countOf(log, "executing process"));
        EXPECT_EQ(c.onDisk && !c.handledBefore, !calls().empty()) << "the engine is asked only about a new dump";
    }
}

} // namespace
