// The session's time limits and the service's stop, in-process against the real pipe: the real
// communication thread serves a client played by the test, with limits of a few hundred
// milliseconds instead of the service's 10 seconds, so every silent step can be tried quickly.
#include "brokerharness.h"
#include "conversation.h"
#include "inprocessservice.h"
#include "inspection/eligibility.h"
#include "inspection/servicefolders.h"
#include "service/pipechannel.h"
#include "service/session.h"
#include "service/sessiongate.h"
#include "service/sessionloop.h"
#include "service/updaterlog.h"
#include "testsupport.h"

#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <cwchar>

#include <functional>
#include <utility>

using namespace nvupdater;
using brokertest::LogWatch;
using brokertest::PipeClient;
using norvo::tiny::UniqueHandle;

namespace {

const DWORD kLimitMs = 400;
const DWORD kStopWaitMs = 3000;
const DWORD kStopCaseLimitMs = 10000;

class FileLog : public UpdaterLog {
public:
    explicit FileLog(const std::wstring &path) { SetPathTo(path); }
};

class InProcessService : public brokertest::InProcessService {
public:
    explicit InProcessService(const wchar_t *name) : brokertest::InProcessService(name, kLimitMs) {}
    static SessionLimits limits() { return brokertest::InProcessService::limits(kLimitMs); }
};

std::wstring missingPackage() { return nvtest::suiteDir() + L"\\no such package.msi"; }

// What the client does before it falls silent, and what the session logs up to that point.
struct Step {
    const char *name;
    std::function<void(PipeClient &)> act;
    std::vector<std::string> linesBefore;   // the session's lines while it waits at this step
    std::vector<std::string> linesAfterLimit;
};

std::vector<Step> silentSteps()
{
    const std::string refusal[] = {"Debug - Result of locking file: 2",
                                   "Error - Package refused: the file can't be held unchanged.",
                                   "Debug - Result of unlocking file: 87"};
    std::vector<std::string> received = brokertest::received(nvtest::narrow(missingPackage()));
    received.insert(received.end(), std::begin(refusal), std::end(refusal));
    return {
        {"greeting", [](PipeClient &) {}, {"Comm - Pipe connected."},
         {"Error - Recieving fails with error: 1460", "Comm - Recieving init command fails.", "Comm - Pipe closed."}},
        {"package command", [](PipeClient &client) { client.write(protocol::kClientGreeting); },
         brokertest::greeted(),
         {"Error - Recieving fails with error: 1460", "Comm - Recieving package fails.", "Comm - Pipe closed."}},
        // The client sends its command but never reads the refusal: the flush before hanging up waits
        // for it no longer than a send may take.
        {"unread refusal",
         [](PipeClient &client) {
             client.write(protocol::kClientGreeting);
             client.write(L"210 PACKAGE \"" + missingPackage() + L"\"");
         },
         received, {"Comm - Pipe closed."}},
    };
}

bool startsWith(const std::vector<std::string> &lines, const std::vector<std::string> &first)
{
    return lines.size() >= first.size() && std::equal(first.begin(), first.end(), lines.begin());
}

TEST(SessionLimits, SilentClientsAreDroppedAfterTheirLimitAtEveryStep)
{
    for (const Step &step : silentSteps()) {
        SCOPED_TRACE(step.name);
        InProcessService service(L"limits");
        LogWatch log = service.watch();
        PipeClient client;
        // The session's wait begins after the client acted and before its lines are seen.
        const ULONGLONG acting = GetTickCount64();
        ASSERT_EQ(0u, client.openWithin(3000));
        step.act(client);
        ASSERT_TRUE(nvtest::waitFor([&] { return startsWith(log.lines(), step.linesBefore); }, 3000, 5));
        const ULONGLONG silent = GetTickCount64();
        // Acting and seeing the session's lines are this machine's round trip just now.
        const ULONGLONG bound = nvtest::withinPace(kLimitMs, silent - acting);

        ASSERT_TRUE(service.ended(static_cast<DWORD>(bound))) << "the session outlived its limit";
        const ULONGLONG ended = GetTickCount64();
        EXPECT_GE(ended - acting, kLimitMs);
        EXPECT_LE(ended - silent, bound);
        std::vector<std::string> expected = step.linesBefore;
        expected.insert(expected.end(), step.linesAfterLimit.begin(), step.linesAfterLimit.end());
        EXPECT_LINES(log.lines(), expected);
        EXPECT_FALSE(service.sessionActive());
        EXPECT_TRUE(client.disconnectedWithin(1000)) << "the client was not hung up on";
    }
}

// A session's first start in a process loads the installer library and COM, which takes Wine a few
// hundred milliseconds under load: loaded here, the stop meets the session in its wait for a client
// whichever case ran before.
void loadWhatASessionLoadsFirst()
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetInstallerUiLevelNone();
    if (SUCCEEDED(com))
        CoUninitialize();
}

TEST(SessionStop, StopEndsEveryWaitAtOnceWithoutALineOfItsOwn)
{
    loadWhatASessionLoadsFirst();
    std::vector<Step> steps = silentSteps();
    steps.insert(steps.begin(), {"client", nullptr, {}, {}});
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        // A limit far beyond the stop's own wait: a session that ends inside that wait, without a
        // line, was ended by the stop and not by its limit, however slow the machine.
        brokertest::InProcessService service(L"stop", kStopCaseLimitMs);
        LogWatch log = service.watch();
        PipeClient client;
        if (step.act) {
            ASSERT_EQ(0u, client.openWithin(3000));
            step.act(client);
        }
        ASSERT_TRUE(nvtest::waitFor([&] { return startsWith(log.lines(), step.linesBefore); }, 3000, 5));
        Sleep(50);   // well inside the wait

        // The stop waits as long as the session's own limit; a wait that runs out lasts all of it,
        // so a shorter one was ended by the session's end.
        const ULONGLONG requested = GetTickCount64();
        service.broker().gate().Stop(kStopCaseLimitMs);
        const ULONGLONG took = GetTickCount64() - requested;
        EXPECT_LT(took, kStopCaseLimitMs) << "the session outlived the stop's wait";
        std::printf("%s: the session ended %u ms after the stop\n", step.name, static_cast<unsigned>(took));
        EXPECT_TRUE(service.ended(1000));
        EXPECT_LINES(log.lines(), step.linesBefore);   // nothing after the stop
        EXPECT_FALSE(service.sessionActive());
        EXPECT_TRUE(service.logStillWritable());
        if (step.act) {
            EXPECT_TRUE(client.disconnectedWithin(1000)) << "the client was not let go";
        }
    }
}

// Stale advertise scripts, as a crashed service leaves them, of products installed since: the
// clean-up only deletes them, one after another. (Scripts of products that are not installed
// would stay: without the msi.dll test double the installer under Wine removes no advertisement.)
class StaleScripts {
public:
    explicit StaleScripts(unsigned count)
    {
        CreateServiceFolders();
        for (unsigned i = 0; i < count; ++i) {
            wchar_t code[64];
            std::swprintf(code, 64, L"{7C000000-0000-4000-8000-%012u}", i);
            paths_.push_back(GetScriptsFolder() + code + L".aas");
            EXPECT_TRUE(nvtest::writeFile(paths_.back(), "stale\r\n"));
            products_.push_back(kUninstall + std::wstring(code));
            norvo::tiny::UniqueKey key;
            EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, products_.back().c_str(), 0, nullptr, 0,
                                                     KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr));
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"DisplayVersion", 0, REG_SZ,
                                                    reinterpret_cast<const BYTE *>(L"1.0"), 4 * sizeof(wchar_t)));
        }
    }
    ~StaleScripts()
    {
        for (const std::wstring &path : paths_)
            DeleteFileW(path.c_str());
        for (const std::wstring &product : products_)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, product.c_str(), KEY_WOW64_32KEY, 0);
    }
    // One listing of the folder: cheap enough to watch the clean-up at work.
    size_t left() const
    {
        WIN32_FIND_DATAW entry = {};
        norvo::tiny::UniqueFind listing(FindFirstFileW((GetScriptsFolder() + L"{7C000000-*.aas").c_str(), &entry));
        size_t count = 0;
        if (listing) {
            do
                ++count;
            while (FindNextFileW(listing.get(), &entry));
        }
        return count;
    }

private:
    const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    std::vector<std::wstring> paths_;
    std::vector<std::wstring> products_;
};

TEST(SessionStop, AStopDuringTheCleanUpEndsTheSessionBeforeTheStopReturns)
{
    // Enough scripts that their removal takes the session seconds: it is under way at the stop.
    const unsigned kScripts = 2000;
    StaleScripts stale(kScripts);
    brokertest::InProcessService service(L"cleanup", kStopCaseLimitMs);
    LogWatch log = service.watch();
    PipeClient client;
    ASSERT_EQ(0u, client.openWithin(3000));
    ASSERT_TRUE(nvtest::waitFor([&] { return stale.left() < kScripts; }, 10000, 5)) << "the clean-up did not begin";

    service.stop(kStopWaitMs);
    // Before the stop returned the session thread was over; the scripts it had not reached are left.
    EXPECT_TRUE(service.ended(0)) << "the session outlived the stop";
    const size_t left = stale.left();
    EXPECT_GT(left, 0u) << "the clean-up ended by itself before the stop: too few scripts to show anything";
    EXPECT_LINES(log.lines(), {"Comm - Pipe connected."});
    EXPECT_FALSE(service.sessionActive());
    EXPECT_TRUE(client.disconnectedWithin(1000)) << "the client was not let go";
    std::printf("the stop came with %u of %u scripts left\n", static_cast<unsigned>(left), kScripts);
}

TEST(SessionLimits, AReceiveThatOutlivesItsLimitIsTakenBackAndTheNextReadGetsTheNextMessage)
{
    // A time-out must not leave a read pending that would swallow the client's next message.
    FileLog log(nvtest::suiteDir() + L"\\receive.log");
    SessionGate gate;
    PipeChannel comm(log, gate.StopEvent(), InProcessService::limits());
    ASSERT_EQ(0, comm.Initialize());
    ASSERT_EQ(0, comm.CreatePipe());
    PipeClient client;
    ASSERT_EQ(0u, client.open());
    ASSERT_EQ(0u, comm.WaitForClient());
    std::wstring message;
    EXPECT_EQ(-1, comm.Receive(message, 200));
    ASSERT_EQ(0u, client.write(L"220 RESULT 0"));
    EXPECT_EQ(0, comm.Receive(message, 1000));
    EXPECT_EQ(L"220 RESULT 0", message);
    LogWatch all(nvtest::suiteDir() + L"\\receive.log");
    all.markStart();
    EXPECT_LINES(all.lines(), {"Debug - Initializing communication module.", "Comm - Pipe created.",
                               "Error - Recieving fails with error: 1460"});
}

// A communication thread whose wait for a client failed, as CommunicationThread ends then: it
// claims the gate and lets go without having served anyone. (A real wait fails only on faults the
// test cannot cause from outside the channel.) The main loop's attempts are counted.
std::atomic<long> g_attempts{0};

void failedWait(void *context)
{
    BrokerContext &broker = *static_cast<BrokerContext *>(context);
    if (!broker.gate().ClaimSession())
        return;
    ++g_attempts;
    broker.gate().ReleaseSession(false);
}

DWORD WINAPI runLoop(void *context)
{
    auto &parts = *static_cast<std::pair<norvo::tiny::ServiceDefinition *, BrokerContext *> *>(context);
    RunSessions(*parts.first, *parts.second, failedWait);
    return 0;
}

TEST(MainLoopPace, AThreadThatServedNoClientLeavesTheNextAttemptToThePoll)
{
    FileLog log(nvtest::suiteDir() + L"\\pace.log");
    BrokerContext broker(log, InProcessService::limits());
    ASSERT_EQ(0, broker.channel().Initialize());
    norvo::tiny::ServiceDefinition definition = {};
    std::pair<norvo::tiny::ServiceDefinition *, BrokerContext *> parts(&definition, &broker);
    g_attempts = 0;
    const ULONGLONG began = GetTickCount64();
    UniqueHandle loop(CreateThread(nullptr, 0, runLoop, &parts, 0, nullptr));
    ASSERT_TRUE(loop.valid());
    EXPECT_TRUE(nvtest::waitFor([] { return g_attempts >= 5; }, 20000, 5));
    definition.stopRequested = 1;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loop.get(), 10000));
    const ULONGLONG took = GetTickCount64() - began;
    // The first attempt comes with the first poll after the pipe, each further one a whole poll
    // after the one before: without the pause they would follow one another at once.
    const long attempts = g_attempts;
    EXPECT_GE(attempts, 2);
    EXPECT_GE(took, static_cast<ULONGLONG>(attempts - 1) * 250u)
        << attempts << " attempts in " << took << " ms: an attempt came sooner than the poll";
    std::printf("%ld attempts in %u ms\n", attempts, static_cast<unsigned>(took));
}

} // namespace
