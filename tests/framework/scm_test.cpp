// The framework driven by Wine's real service control manager: the states and checkpoints it
// reports, the stop, interrogation, a second instance, a failed start, and starts by hand while the
// service runs or starts. Wine refuses to send the shutdown control (ControlService gives 87, as
// Windows does), so the shutdown request is proven on the handler itself, in-process.
#include "frameworktest.h"
#include "testsupport.h"
#include "tiny/registry.h"
#include "tiny/serviceframework.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace fwtest;
using namespace norvo::tiny;

namespace {

const DWORD kStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

std::string arguments(const std::string &instance, const std::string &more, const std::string &trace)
{
    return "--instance " + instance + " " + more + " --trace \"" + trace + "\"";
}

std::vector<std::string> sessionEventsSince(size_t mark) { return eventTexts(nvtest::sessionStderr(), mark); }

// The start-pending reports that carry a checkpoint, in order.
std::vector<Status> startProgress(const std::vector<Status> &statuses)
{
    std::vector<Status> progress;
    for (const Status &s : statuses)
        if (s.state == SERVICE_START_PENDING && s.checkpoint > 0)
            progress.push_back(s);
    return progress;
}

void expectCheckpointsFromOne(const std::vector<Status> &statuses, size_t atLeast)
{
    // The first report carries checkpoint 1 and 3000 ms; each further one the next checkpoint and
    // 500 ms (a busy machine may hide one from the poll, never reorder them); no controls meanwhile.
    const std::vector<Status> progress = startProgress(statuses);
    ASSERT_GE(progress.size(), atLeast) << describe(statuses);
    EXPECT_EQ(1u, progress[0].checkpoint) << describe(statuses);
    EXPECT_EQ(3000u, progress[0].waitHint) << describe(statuses);
    for (size_t i = 0; i < progress.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(progress[i].checkpoint, progress[i - 1].checkpoint) << describe(statuses);
            EXPECT_EQ(500u, progress[i].waitHint) << describe(statuses);
        }
        EXPECT_EQ(0u, progress[i].controls) << describe(statuses);
    }
}

} // namespace

TEST(ScmRun, StartsWithCheckpointsRunsAnswersInterrogationAndStopsCleanly)
{
    const std::string trace = freshTracePath("lifecycle");
    const size_t mark = fileSize(nvtest::sessionStderr());
    InstalledService service("fwlifecycle", arguments("FwLifecycle", "--delay 1200 --linger 300", trace));
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start()) << GetLastError();

    const std::vector<Status> starting = service.record(isRunning, 15000);
    expectCheckpointsFromOne(starting, 4);
    const Status running = starting.back();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.state) << describe(starting);
    EXPECT_EQ(kStopAndShutdown, running.controls);
    EXPECT_EQ(0u, running.checkpoint);
    EXPECT_EQ(0u, running.waitHint);

    Status answer;
    ASSERT_EQ(0u, service.control(SERVICE_CONTROL_INTERROGATE, &answer));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), answer.state);
    EXPECT_EQ(kStopAndShutdown, answer.controls);
    EXPECT_EQ(0u, answer.checkpoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.query().state);

    ASSERT_EQ(0u, service.control(SERVICE_CONTROL_STOP, &answer));
    const std::vector<Status> stopping = service.record(isStopped, 15000);
    ASSERT_TRUE(isStopped(stopping.back())) << describe(stopping);
    for (size_t i = 0; i + 1 < stopping.size(); ++i) {
        // One stop-pending report only: checkpoint 1, hint 4000, controls 5.
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), stopping[i].state) << describe(stopping);
        EXPECT_EQ(1u, stopping[i].checkpoint);
        EXPECT_EQ(4000u, stopping[i].waitHint);
        EXPECT_EQ(kStopAndShutdown, stopping[i].controls);
    }
    EXPECT_EQ(0u, stopping.back().win32ExitCode);
    EXPECT_EQ(0u, stopping.back().specificExitCode);

    // The main routine ran as a service, saw stop request 1 while the SCM already showed
    // stop-pending, returned, and only then did the dispatcher end with 0.
    ASSERT_TRUE(nvtest::waitFor([&] { return traceHas(trace, "serverMain 0"); }, 5000));
    const std::vector<std::string> expected = {"main 1", "running", "stop 1 state 3 checkpoint 1 hint 4000",
                                               "returned", "serverMain 0"};
    EXPECT_EQ(expected, traceLines(trace));

    const std::vector<std::string> events = sessionEventsSince(mark);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("Starting server" + eventSuffix("fwlifecycle"), events[0]);

    // The event source is registered with the program itself as its message file.
    const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Norvo Framework Test";
    DWORD types = 0;
    char messageFile[2048];
    EXPECT_TRUE(norvo::tiny::readRegistryValue(HKEY_LOCAL_MACHINE, kSourceKey, "TypesSupported", 4, &types));
    EXPECT_EQ(7u, types);
    ASSERT_TRUE(norvo::tiny::readRegistryValue(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile",
                                               sizeof(messageFile), messageFile));
    EXPECT_EQ(0, lstrcmpiA(nvtest::narrow(testServicePath()).c_str(), messageFile)) << messageFile;
}

TEST(ScmRun, SecondInstanceIsRefusedWithServiceSpecificCode2)
{
    UniqueHandle holder(CreateEventA(nullptr, FALSE, FALSE, "Global\\FwSecond"));
    ASSERT_TRUE(holder.valid());
    const std::string trace = freshTracePath("second");
    const size_t mark = fileSize(nvtest::sessionStderr());
    InstalledService service("fwsecond", arguments("FwSecond", "", trace));
    ASSERT_TRUE(service.start()) << "StartService: " << GetLastError();

    const std::vector<Status> statuses = service.record(isStopped, 15000);
    const Status stopped = statuses.back();
    ASSERT_TRUE(isStopped(stopped)) << describe(statuses);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), stopped.win32ExitCode);
    EXPECT_EQ(2u, stopped.specificExitCode);
    EXPECT_EQ(kStopAndShutdown, stopped.controls);

    ASSERT_TRUE(nvtest::waitFor([&] { return traceHas(trace, "serverMain 0"); }, 5000));
    EXPECT_EQ(std::vector<std::string>{"serverMain 0"}, traceLines(trace)); // the main routine never ran
    const std::vector<std::string> events = sessionEventsSince(mark);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("Starting server" + eventSuffix("fwsecond"), events[0]);
    EXPECT_EQ("Service is already running" + eventSuffix("fwsecond"), events[1]);
}

TEST(ScmRun, StartFailureReportsItsTextAndStopsWithServiceSpecificCode1)
{
    const std::string trace = freshTracePath("failure");
    const size_t mark = fileSize(nvtest::sessionStderr());
    InstalledService service("fwfailure", arguments("FwFailure", "--mode fail --delay 700", trace));
    ASSERT_TRUE(service.start());

    const std::vector<Status> statuses = service.record(isStopped, 15000);
    expectCheckpointsFromOne(statuses, 3);
    const Status stopped = statuses.back();
    ASSERT_TRUE(isStopped(stopped)) << describe(statuses);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), stopped.win32ExitCode);
    EXPECT_EQ(1u, stopped.specificExitCode);

    ASSERT_TRUE(nvtest::waitFor([&] { return traceHas(trace, "serverMain 0"); }, 5000));
    const std::vector<std::string> events = sessionEventsSince(mark);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("Test engine failed to start: the test asked for it" + eventSuffix("fwfailure"), events[1]);
}

TEST(ScmRun, StartsByHandGoInteractiveAndMeetTheRunningOrStartingService)
{
    // Started by hand while the service runs: it is not start-pending, so the interactive path
    // runs, finds the instance taken, shows no window and ends with 2.
    const std::string serviceTrace = freshTracePath("hand-service");
    InstalledService service("fwhand", arguments("FwHand", "", serviceTrace));
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(isRunning(service.record(isRunning, 15000).back()));

    const std::wstring testStderr = nvtest::suiteDir() + L"\\test.err";
    size_t mark = fileSize(testStderr);
    const std::string handTrace = freshTracePath("hand");
    const std::wstring command = L"\"" + testServicePath() + L"\" --service fwhand " +
                                 nvtest::widen(arguments("FwHand", "", handTrace));
    nvtest::ProcessResult byHand = nvtest::runProcess(command, 15000);
    EXPECT_EQ(2, byHand.exitCode);
    EXPECT_EQ(std::vector<std::string>{"serverMain 2"}, traceLines(handTrace));
    std::vector<std::string> events = eventTexts(testStderr, mark);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("Service is already running" + eventSuffix("fwhand"), events[1]);
    EXPECT_TRUE(isRunning(service.query())); // the service itself is untouched

    // Started by hand while the SCM is still starting the service: it takes itself for the service,
    // and the dispatcher, which only the SCM can start, fails: 3. (Wine takes about ten seconds to
    // give up on the dispatcher's connection here.)
    InstalledService slow("fwslow", arguments("FwSlow", "--delay 2500", freshTracePath("slow-service")));
    ASSERT_TRUE(slow.start());
    mark = fileSize(testStderr);
    const std::string slowTrace = freshTracePath("slow-hand");
    byHand = nvtest::runProcess(L"\"" + testServicePath() + L"\" --service fwslow " +
                                    nvtest::widen(arguments("FwSlow", "", slowTrace)),
                                15000);
    EXPECT_EQ(3, byHand.exitCode);
    events = eventTexts(testStderr, mark);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0u, events[1].find("Cannot start service dispatcher: (1063) ")) << events[1];
    EXPECT_NE(std::string::npos, events[1].find(eventSuffix("fwslow")));
    EXPECT_TRUE(isRunning(slow.record(isRunning, 15000).back())); // and the real start goes on
}

TEST(ScmRun, ControlHandlerAsksStopWith1AndShutdownWith2)
{
    // Outside a service the status report has no handle and fails quietly; the request still comes.
    static ServiceDefinition record;
    framework::definition = &record;
    framework::controlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(2, record.stopRequested.load());
    framework::controlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(1, record.stopRequested.load());
    framework::controlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(1, record.stopRequested.load());
    framework::definition = nullptr;
}
