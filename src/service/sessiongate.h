// Who may serve the next client, and the service's stop: the claim by which the main loop and the
// communication threads agree that one session at a time holds the pipe, the stop that every wait
// of that session ends at, the bracket around an advertisement that the stop waits for, and the
// event that tells the main loop a session has served its client.
#pragma once

#include "tiny/nmutex.h"
#include "tiny/unique.h"

#include <windows.h>

#include <atomic>

namespace nvupdater {

class SessionGate {
public:
    SessionGate();
    SessionGate(const SessionGate &) = delete;
    SessionGate &operator=(const SessionGate &) = delete;

    // False when the gate's events could not be made: no session can then be waited for.
    bool Ready() const;

    // The session claim: true for the one thread that may serve the next client; false for every
    // thread once the stop has come.
    [[nodiscard]] bool ClaimSession();
    // Ends the claim. `served`: the session had a client; only then is AwaitServedSession woken,
    // so that a wait for a client that keeps failing is retried at the main loop's pace.
    void ReleaseSession(bool served);
    // True while a thread holds the claim.
    bool SessionActive() const { return active_ != 0; }
    // True when a session that served a client let go of the pipe within `timeoutMs` (each end is
    // told once).
    bool AwaitServedSession(DWORD timeoutMs);

    // The service's stop: every wait of the session ends at once, no new one begins, and every
    // other step of the session looks at the stop before it begins. Returns once no session holds
    // the pipe and `thread` (when given) has ended, or after `waitMs`; when the session has an
    // advertisement in place then, after at most `removalMs` more, the time it has to take it away.
    void Stop(DWORD waitMs, DWORD removalMs = 0, HANDLE thread = nullptr);
    bool Stopping() const;
    // Set once, by the stop: what the pipe's waits end at.
    HANDLE StopEvent() const { return stop_.get(); }

    // Brackets an advertisement, from before it is made until it is taken away. False, and nothing
    // to end, once the stop has come: no advertisement is made after it.
    [[nodiscard]] bool BeginAdvertisement();
    void EndAdvertisement();

private:
    void SetActive(bool active);

    norvo::tiny::NMutex lock_;             // the claim's test-and-set, the stop, the bracket's start
    norvo::tiny::UniqueHandle stop_;       // set once, by the service's stop
    norvo::tiny::UniqueHandle idle_;       // set while no session holds the pipe
    norvo::tiny::UniqueHandle served_;     // auto-reset: a session that had a client let go
    std::atomic<LONG> active_{0};          // written under the lock, read without it
    std::atomic<LONG> advertising_{0};     // between BeginAdvertisement and EndAdvertisement
};

} // namespace nvupdater
