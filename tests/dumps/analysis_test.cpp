// Kernel dump analysis through the debugger engine test double (tests/doubles/dbgeng): Wine's own
// engine cannot open dump files, so this suite's prepare step puts the double in the prefix's
// system folder, selected for this executable only. The double replays a transcript of engine
// output, in the shapes the engine prints, and records every call it receives.
#include "analysistest.h"
#include "testsupport.h"

#include "assist/dumpanalyzer.h"
#include "assist/dumpchecker.h"
#include "assist/outputcallbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using namespace norvo::assist;
using namespace analysistest;
using nvtest::countOf;

namespace {

const uint64_t kNetBegin = 0x8f8e2000, kNetEnd = 0x8f8f9000;
const uint64_t kWideBegin = 0xfffff88004a00000ULL, kWideEnd = 0xfffff88004a1e000ULL;

// A 32-bit session with norvonet loaded and nothing of ours on the stack or in the arguments.
Session narrow()
{
    Session s;
    s.modules = {{"norvonet", kNetBegin, kNetEnd}};
    s.arguments = {0xd1, 2, 0, 0x82a4f3f3};
    s.stack = 0x8d5d3b7c;
    s.words = {0x8d5d3b98, 0x82a4f3f3, 0, 1};
    return s;
}

Session wide()
{
    Session s;
    s.wide = true;
    s.modules = {{"norvoflt", kWideBegin, kWideEnd}};
    s.arguments = {0xc0000005, 0xfffff80216c1d3a0ULL, 0xfffff88002f8e0f0ULL, 0};
    s.stack = 0xfffff88002f8e9c8ULL;
    s.words = {0xfffff80216c1d3a0ULL, 0, 1, 2};
    return s;
}

class Analysis : public EngineTest {};

TEST_F(Analysis, UserModeDumpEndsOnceItsKindIsKnown)
{
    useTranscript(committedTranscript("usermode.txt"));
    EXPECT_FALSE(analyzeKernelDump(dumpFile()));
    EXPECT_EQ((std::vector<std::string>{
                  "DebugCreate IDebugClient",
                  "QueryInterface IDebugControl",
                  "SetOutputCallbacks set",
                  "OpenDumpFile " + dumpFile(),
                  "Execute 0x0 0x1 .sympath + \\",
                  "WaitForEvent 0x0 0x493e0",
                  "SetOutputCallbacks null",
                  "EndSession 0x2",
                  "Release IDebugControl 1",
                  "Release IDebugClient 0",
              }),
              calls());
    std::string log = dumptest::errorLog();
    EXPECT_EQ(1u, countOf(log, "norvo::assist::DumpAnalyzer::performAnalyzeInternal(): this is not a kernel mode dump file\n"));
    EXPECT_EQ(1u, countOf(log, "DumpChecker: could not analyze file " + dumpFile() + ".\n"));
}

TEST_F(Analysis, RecordedSessionsArePositiveFromTheirStackIn32And64Bits)
{
    struct Case {
        const char *transcript, *stackCommands[2], *range, *stackAddress, *module;
        size_t stackWords;
    } cases[] = {
        {"kernel32.txt", {"r ebp", "dd 000000008d5d3b7c L00000040"}, "BEGIN ADDRESS: 0x8f8e2000h\n",
         "STACK ADDRESS [EBP]: 0x8d5d3b7ch\n", "norvonet", 4},
        {"kernel64.txt", {"r rsp", "dq fffff88002f8e9c8 L00000040"}, "BEGIN ADDRESS: 0xfffff88004a00000h\n",
         "STACK ADDRESS [RSP]: 0xfffff88002f8e9c8h\n", "norvoflt", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.transcript);
        dumptest::clearErrorLog();
        clearCalls();
        useTranscript(committedTranscript(c.transcript));
        EXPECT_TRUE(analyzeKernelDump(dumpFile()));
        EXPECT_EQ((std::vector<std::string>{".sympath + \\", "lmv mnorvonet", "lmv mnorvoflt", "lmv mnorvoqos",
                                            "lmv mnorvotap", ".bugcheck", c.stackCommands[0], c.stackCommands[1]}),
                  executed());
        std::string log = dumptest::errorLog();
        EXPECT_EQ(1u, countOf(log, c.range));
        EXPECT_EQ(1u, countOf(log, c.stackAddress));
        EXPECT_EQ(4u, countOf(log, "BUG CHECK ARGUMENT: "));
        EXPECT_EQ(c.stackWords, countOf(log, "STACK: "));
        EXPECT_EQ(1u, countOf(log, "Positive kernel dump has been found. <" + std::string(c.module) + ">\n"));
    }
}

TEST_F(Analysis, BugCheckArgumentMustLieStrictlyInsideAWatchedModule)
{
    struct Case {
        const char *what;
        Session session;
        uint64_t argument;
        bool positive;
        const char *module;
    } cases[] = {
        {"begin", narrow(), kNetBegin, false, nullptr},
        {"end", narrow(), kNetEnd, false, nullptr},
        {"inside", narrow(), kNetBegin + 0x2a2c, true, "norvonet"},
        {"just below the end", narrow(), kNetEnd - 1, true, "norvonet"},
        {"wide, inside, fourth argument", wide(), kWideEnd - 0x10, true, "norvoflt"},
        {"wide, end", wide(), kWideEnd, false, nullptr},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.session.arguments[3] = c.argument;
        dumptest::clearErrorLog();
        clearCalls();
        useTranscript(writeTranscript(c.session));
        EXPECT_EQ(c.positive, analyzeKernelDump(dumpFile()));
        std::vector<std::string> commands = executed();
        const std::string stackCommand = c.session.wide ? "r rsp" : "r ebp";
        // A positive argument settles it: the stack is not looked at.
        EXPECT_EQ(c.positive ? 0u : 1u, static_cast<size_t>(std::count(commands.begin(), commands.end(), stackCommand)));
        EXPECT_EQ(c.positive ? 1u : 0u,
                  countOf(dumptest::errorLog(), "norvo::assist::DumpAnalyzer::performAnalyzeInternal(): skipping next tests...\n"));
        if (c.module) {
            EXPECT_EQ(1u, countOf(dumptest::errorLog(), "Positive kernel dump has been found. <" + std::string(c.module) + ">\n"));
        }
    }
}

TEST_F(Analysis, StackWordMayLieOnTheEdgeOfAModuleWithAKnownRange)
{
    struct Case {
        const char *what;
        uint64_t word;
        bool positive;
    } cases[] = {
        {"begin", kNetBegin, true},
        {"end", kNetEnd, true},
        {"just past the end", kNetEnd + 1, false},
        {"zero, the range of a module that is not loaded", 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Session s = narrow();
        s.modules.push_back({"norvoqos", 0, 0, false});  // "lmv m" names no range for it
        s.words = {0x8d5d3b98, 0x82a4f3f3, 0, 7, 0x11, c.word};
        dumptest::clearErrorLog();
        clearCalls();
        useTranscript(writeTranscript(s));
        EXPECT_EQ(c.positive, analyzeKernelDump(dumpFile()));
        std::vector<std::string> commands = executed();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ("dd 000000008d5d3b7c L00000040", commands.back());
    }
}

TEST_F(Analysis, AtMostFourArgumentsAndSixtyFourStackWordsAreRead)
{
    struct Case {
        const char *what;
        bool wide;
        size_t insideArgument;   // 0: none
        size_t insideWord;       // 0: none
        bool positive;
    } cases[] = {
        {"fifth argument", false, 5, 0, false},
        {"sixty-fourth word", false, 0, 64, true},
        {"sixty-fifth word", false, 0, 65, false},
        {"wide fifth argument", true, 5, 0, false},
        {"wide sixty-fourth word", true, 0, 64, true},
        {"wide sixty-fifth word", true, 0, 65, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Session s = c.wide ? wide() : narrow();
        const uint64_t inside = c.wide ? kWideBegin + 8 : kNetBegin + 8;
        s.arguments.resize(5, 0x10);
        s.words.assign(80, 0x10);
        if (c.insideArgument)
            s.arguments[c.insideArgument - 1] = inside;
        if (c.insideWord)
            s.words[c.insideWord - 1] = inside;
        dumptest::clearErrorLog();
        clearCalls();
        useTranscript(writeTranscript(s));
        EXPECT_EQ(c.positive, analyzeKernelDump(dumpFile()));
        std::string log = dumptest::errorLog();
        EXPECT_EQ(4u, countOf(log, "BUG CHECK ARGUMENT: "));
        EXPECT_EQ(c.positive ? c.insideWord : 64u, countOf(log, "STACK: "));
    }
}

TEST_F(Analysis, FailingCommandLosesOnlyItsOwnEvidence)
{
    const std::string prefix = "norvo::assist::DumpAnalyzer::performAnalyzeInternal(): ";
    struct Case {
        const char *failing;
        bool positive;
        std::string message;
    } cases[] = {
        // The stack word would be positive, but the module's range was never read.
        {"lmv mnorvonet", false, prefix + "Execute(\"lmv mnorvonet\") has failed. <0x80004005h>\n"},
        {".sympath + \\", true, prefix + "Execution(\".sympath + \\\") has failed. <0x80004005h>\n"},
        // No arguments read: the stack decides.
        {".bugcheck", true, prefix + "Execute(\".bugcheck\") failed. <0x80004005h>\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing);
        dumptest::clearErrorLog();
        clearCalls();
        Session s = narrow();
        s.failing = c.failing;
        s.words[2] = kNetBegin + 4;
        useTranscript(writeTranscript(s));
        EXPECT_EQ(c.positive, analyzeKernelDump(dumpFile()));
        std::vector<std::string> commands = executed();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ("dd 000000008d5d3b7c L00000040", commands.back());
        EXPECT_EQ(1u, countOf(dumptest::errorLog(), c.message)) << dumptest::errorLog();
    }
}

TEST(ModuleList, IndexOutsideTheListIsAnErrorThatOutputLogsAndSurvives)
{
    const char *names[] = {"norvonet", "a-name-longer-than-sixty-three-characters-is-cut-to-sixty-three-xyz"};
    ModuleInfoList list(names, 2);
    EXPECT_EQ(63u, strlen(list[1].name));
    for (int index : {-1, 2}) {
        try {
            list[index];
            ADD_FAILURE() << "no error for index " << index;
        } catch (const std::invalid_argument &error) {
            EXPECT_STREQ("Invalid index in ModuleInfoList[]", error.what());
        }
    }

    dumptest::clearErrorLog();
    StdioOutputCallbacks callbacks(nullptr, kWatchedStackWords);
    EXPECT_EQ(S_OK, callbacks.Output(DEBUG_OUTPUT_NORMAL, ".bugcheck\nBugcheck code 000000D1\nArguments 00000000\n"));
    EXPECT_EQ(1u, countOf(dumptest::errorLog(), "### Exception in norvo::assist::StdioOutputCallbacks::Output() "
                                                "(Invalid index in ModuleInfoList[]) ###\n"));
    EXPECT_FALSE(callbacks.positive());
}

class EngineFailure : public EngineTest {};

TEST_F(EngineFailure, MissingEngineOrEntryPointFailsTheInitialisation)
{
    const std::string missing = dumptest::freshFolder("no-engine") + "\\absent";
    DumpAnalyzer none(missing);
    EXPECT_FALSE(none.init(kWatchedKernelModules, 4, kWatchedStackWords));
    EXPECT_EQ(1u, countOf(dumptest::errorLog(), "norvo::assist::DumpAnalyzer::loadDbgEng(): dllOpen(" + missing +
                                                    "\\dbgeng.dll) has failed. \n"));

    dumptest::clearErrorLog();
    DumpAnalyzer bare(bareEngineFolder());
    EXPECT_FALSE(bare.init(kWatchedKernelModules, 4, kWatchedStackWords));
    std::string log = dumptest::errorLog();
    EXPECT_EQ(1u, countOf(log, "norvo::assist::DumpAnalyzer::loadDbgEng(): dllSym(\"DebugCreate\", "));
    EXPECT_EQ(1u, countOf(log, "norvo::assist::DumpAnalyzer::unloadDbgEng(): unloading library " + bareEngineFolder() + " ...\n"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(EngineFailure, EngineRefusalsAreLoggedWithTheirResult)
{
    struct Case {
        const char *what;
        std::string transcript;
        bool initialises;
        std::string message;
        std::vector<std::string> lastCalls;
    } cases[] = {
        {"client refused", "@create\n@result 0x80004005\n", false,
         "norvo::assist::DumpAnalyzer::createInterfaces(): DebugCreate() has failed. <0x80004005h>\n",
         {"DebugCreate IDebugClient"}},
        {"control refused", "@query\n@result 0x80004002\n", false,
         "norvo::assist::DumpAnalyzer::createInterfaces(): QueryInterface() has failed. <0x80004002h>\n",
         {"QueryInterface IDebugControl", "Release IDebugClient 0"}},
        {"dump does not open", "@open\nLoading Dump File [x]\n@result 0x80070002\n", true,
         "norvo::assist::DumpAnalyzer::analyzeFile(): OpenDumpFile() has failed. <0x80070002h>\n",
         {"SetOutputCallbacks null", "Release IDebugControl 1", "Release IDebugClient 0"}},
        {"callbacks refused", "@callbacks\n@result 0x80004001\n", true,
         "norvo::assist::DumpAnalyzer::analyzeFile(): SetOutputCallbacks() has failed. <0x80004001h>\n",
         {"EndSession 0x2", "Release IDebugControl 1", "Release IDebugClient 0"}},
        {"dump never loads", "@wait\n@result 0x00000001\n", true,
         "norvo::assist::DumpAnalyzer::performAnalyzeInternal(): WaitForEvent() has failed. <0x00000001h>\n",
         {"SetOutputCallbacks null", "EndSession 0x2", "Release IDebugControl 1", "Release IDebugClient 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        dumptest::clearErrorLog();
        clearCalls();
        useTranscript(writeTranscriptText(c.transcript));
        {
            DumpAnalyzer analyzer("");
            ASSERT_EQ(c.initialises, analyzer.init(kWatchedKernelModules, 4, kWatchedStackWords));
            bool positive = true;
            EXPECT_FALSE(analyzer.analyzeFile(dumpFile(), positive));
            EXPECT_FALSE(positive);
        }
        EXPECT_EQ(1u, countOf(dumptest::errorLog(), c.message)) << dumptest::errorLog();
        std::vector<std::string> all = calls();
        ASSERT_GE(all.size(), c.lastCalls.size());
        EXPECT_EQ(c.lastCalls, std::vector<std::string>(all.end() - static_cast<long>(c.lastCalls.size()), all.end()));
        EXPECT_EQ(0u, static_cast<size_t>(std::count(all.begin(), all.end(), "Execute 0x0 0x1 lmv mnorvonet")));
    }
}

} // namespace
