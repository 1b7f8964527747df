#include "mainloop.h"

#include "inspection/advertisement.h"
#include "brokercontext.h"
#include "inspection/eligibility.h"
#include "resource.h"
#include "servicenames.h"
#include "session.h"
#include "tiny/comapartment.h"
#include "tiny/errortext.h"
#include "tiny/textconversion.h"
#include "tiny/threads.h"
#include "tiny/unique.h"
#include "updaterlog.h"
#include "version.h"
#include "widetext.h"

#include <stdio.h>

namespace nvupdater {

namespace {

// The loop looks at the pipe and the session at least this often by the clock, and at once when a
// session ends.
const DWORD kPollMs = 250;
// Within a poll the stop request is looked at this often, so the stop is never late by a poll.
const DWORD kStopCheckMs = 25;
// How long the stop waits for the session to end: the time the service tells the SCM a stop takes.
// A session waiting on its client ends at once, one in any other step before its next step. One
// with an advertisement in place then gets up to kAdvertisementRemovalMs more to take it away while
// it still holds the package; any other session still running ends with the process.
const DWORD kSessionEndMs = norvo::tiny::kStopHintMs;
const DWORD kAdvertisementRemovalMs = 5000;

const char kStartingFormat[] = "MainLoop : Starting '%s' version %s.";
const wchar_t kCannotCreateThread[] = L"MainLoop : Cannot create communication thread: %ls";
const wchar_t kClosingThread[] = L"MainLoop : Closing communication thread.";
const wchar_t kFinished[] = L"MainLoop : Finished.";
const wchar_t kCleanupError[] = L"MainLoop : Checking old advertising script returns error: %d";
const wchar_t kStartingService[] = L"RunService : Starting service.";

norvo::tiny::ServiceDefinition g_definition = {};

// An advertisement that a stopped or crashed service left applied is taken away before any client
// can make use of it.
void RemoveStaleAdvertisements(const norvo::tiny::ServiceDefinition &definition, UpdaterLog &log)
{
    const norvo::tiny::ComApartment apartment;
    SetInstallerUiLevelNone();
    const LONG stale = CleanupStaleScripts([&definition] { return definition.stopRequested != 0; });
    if (stale != 0 && !definition.stopRequested)
        log.Write(FormatText(kCleanupError, static_cast<int>(stale)), LogError);
}

// One poll's pause, measured by the clock: a sleep of the system's timer may last longer than asked.
// Ended early by the stop request or by a session's end.
void PauseForPoll(const norvo::tiny::ServiceDefinition &definition, SessionGate &gate)
{
    const ULONGLONG deadline = GetTickCount64() + kPollMs;
    while (!definition.stopRequested) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return;
        const ULONGLONG left = deadline - now;
        if (gate.AwaitServedSession(left < kStopCheckMs ? static_cast<DWORD>(left) : kStopCheckMs))
            return;
    }
}

bool running(const norvo::tiny::UniqueHandle &thread)
{
    return thread && WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

} // namespace

norvo::tiny::ServiceDefinition &ServiceRecord() { return g_definition; }

void FillServiceDefinition(HINSTANCE instance)
{
    // Cleared field by field: the flags the threads share are atomics, which are not copied.
    g_definition.runAsService = false;
    g_definition.eventMessageFile = nullptr;
    g_definition.stopRequested = 0;
    g_definition.running = 0;
    g_definition.startFailed = 0;
    g_definition.failureText[0] = '\0';
    g_definition.instance = instance;
    g_definition.dialogId = IDD_STATUS;
    g_definition.iconId = IDI_SERVICE;
    g_definition.statusControlId = IDC_STATUS_TEXT;
    g_definition.windowClassName = NV_WINDOW_CLASS_NAME;
    g_definition.mainRoutine = MainLoop;
    g_definition.mainThreadName = "NorvoUpdaterServiceMainThread";
    g_definition.serviceName = NV_SERVICE_NAME;
    g_definition.instanceName = NV_INSTANCE_EVENT_NAME;
    g_definition.displayName = NV_SERVICE_DISPLAY_NAME;
    g_definition.version = NV_VERSION_TAGGED_TEXT;
    g_definition.platformFlags = 0;
}

int RunService(int showCommand)
{
    Log().Write(kStartingService, LogDebug);
    return norvo::tiny::serverMain(&g_definition, showCommand);
}

void MainLoop(norvo::tiny::ServiceDefinition &definition, int)
{
    UpdaterLog &log = Log();
    char starting[512];
    snprintf(starting, sizeof(starting), kStartingFormat, definition.displayName, definition.version);
    log.Write(norvo::tiny::fromAnsi(starting), LogInfo);

    // Lives until the process ends: a session still finishing a check at stop may point at it.
    BrokerContext *broker = new BrokerContext(log);
    PipeChannel &channel = broker->channel();
    SessionGate &gate = broker->gate();
    (void)channel.Initialize();   // a channel that is not ready makes CreatePipe fail and retry each poll
    RemoveStaleAdvertisements(definition, log);

    const norvo::tiny::ThreadAttributes attributes;
    norvo::tiny::UniqueHandle session;   // the most recent communication thread
    while (!definition.stopRequested) {
        if (!channel.IsOpen()) {
            (void)channel.CreatePipe();   // logged inside; IsOpen tells the next poll to try again
            definition.running = 1;
        } else if (!gate.SessionActive()) {
            if (!norvo::tiny::startThread(CommunicationThread, broker, &session, attributes)) {
                const std::wstring why = norvo::tiny::fromUtf8(norvo::tiny::lastErrorText(0));
                log.Write(FormatText(kCannotCreateThread, why.c_str()), LogError);
            }
        }
        PauseForPoll(definition, gate);
    }

    // A thread just started may not have claimed the session yet: it counts as the session.
    if (gate.SessionActive() || running(session)) {
        log.Write(kClosingThread, LogDebug);
        // Every wait of the session ends at the stop and no other step begins after it; the session
        // takes its advertisement away, lets go of the client and the package and ends. An
        // advertisement a session could not remove in time goes at the next start.
        gate.Stop(kSessionEndMs, kAdvertisementRemovalMs, session.get());
    }
    log.Write(kFinished, LogDebug);
}

} // namespace nvupdater
