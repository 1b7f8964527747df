#include "service/sessionloop.h"

#include "tiny/errortext.h"
#include "tiny/textconversion.h"
#include "tiny/threads.h"
#include "tiny/unique.h"
#include "service/widetext.h"

namespace nvupdater {

namespace {

// The loop looks at the pipe and the session at least this often by the clock, and at once when a
// session that served a client ends.
const DWORD kPollMs = 250;
// Within a poll the stop request is looked at this often, so the stop is never late by a poll.
const DWORD kStopCheckMs = 25;
// How long the stop waits for the session to end: the time the service tells the SCM a stop takes.
// A session waiting on its client ends at once, one in any other step before its next step. One
// with an advertisement in place then gets up to kAdvertisementRemovalMs more to take it away while
// it still holds the package; any other session still running ends with the process.
const DWORD kSessionEndMs = norvo::tiny::kStopHintMs;
const DWORD kAdvertisementRemovalMs = 5000;

const wchar_t kCannotCreateThread[] = L"MainLoop : Cannot create communication thread: %ls";
const wchar_t kClosingThread[] = L"MainLoop : Closing communication thread.";

// One poll's pause, measured by the clock: a sleep of the system's timer may last longer than asked.
// Ended early by the stop request or by the end of a session that served a client. A thread whose
// wait for a client failed does not end it: a wait that keeps failing is tried once a poll.
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

void RunSessions(norvo::tiny::ServiceDefinition &definition, BrokerContext &broker, SessionRoutine session)
{
    PipeChannel &channel = broker.channel();
    SessionGate &gate = broker.gate();
    UpdaterLog &log = broker.log();
    const norvo::tiny::ThreadAttributes attributes;
    norvo::tiny::UniqueHandle thread;   // the most recent communication thread
    while (!definition.stopRequested) {
        if (!channel.IsOpen()) {
            (void)channel.CreatePipe();   // logged inside; IsOpen tells the next poll to try again
            definition.running = 1;
        } else if (!gate.SessionActive()) {
            if (!norvo::tiny::startThread(session, &broker, &thread, attributes)) {
                const std::wstring why = norvo::tiny::fromUtf8(norvo::tiny::lastErrorText(0));
                log.Write(FormatText(kCannotCreateThread, why.c_str()), LogError);
            }
        }
        PauseForPoll(definition, gate);
    }

    // A thread just started may not have claimed the session yet: it counts as the session.
    if (gate.SessionActive() || running(thread)) {
        log.Write(kClosingThread, LogDebug);
        // Every wait of the session ends at the stop and no other step begins after it; the session
        // takes its advertisement away, lets go of the client and the package and ends. An
        // advertisement a session could not remove in time goes at the next start.
        gate.Stop(kSessionEndMs, kAdvertisementRemovalMs, thread.get());
    }
}

} // namespace nvupdater
