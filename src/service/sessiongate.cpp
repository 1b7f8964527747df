#include "service/sessiongate.h"

namespace nvupdater {

SessionGate::SessionGate()
    : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), idle_(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      served_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

bool SessionGate::Ready() const { return stop_ && idle_ && served_; }

bool SessionGate::ClaimSession()
{
    norvo::tiny::NMutexLock claim(lock_);
    // After the stop no session begins: the stop has already looked for one to wait for.
    if (active_ || Stopping())
        return false;
    SetActive(true);
    return true;
}

void SessionGate::ReleaseSession(bool served)
{
    {
        norvo::tiny::NMutexLock claim(lock_);
        SetActive(false);
    }
    if (served)
        SetEvent(served_.get());
}

void SessionGate::SetActive(bool active)
{
    // Idle is signalled before the flag clears and reset once it is set: a session that claims the
    // pipe after this one has let go is always waited for by a later stop.
    if (active) {
        active_ = 1;
        ResetEvent(idle_.get());
    } else {
        SetEvent(idle_.get());
        active_ = 0;
    }
}

bool SessionGate::AwaitServedSession(DWORD timeoutMs)
{
    return WaitForSingleObject(served_.get(), timeoutMs) == WAIT_OBJECT_0;
}

void SessionGate::Stop(DWORD waitMs, DWORD removalMs, HANDLE thread)
{
    {
        // Under the lock: an advertisement or a claim made before the stop is seen below, none after.
        norvo::tiny::NMutexLock claim(lock_);
        SetEvent(stop_.get());
    }
    const HANDLE ends[] = {idle_.get(), thread};
    const DWORD count = thread ? 2 : 1;
    if (WaitForMultipleObjects(count, ends, TRUE, waitMs) == WAIT_TIMEOUT && advertising_)
        WaitForMultipleObjects(count, ends, TRUE, removalMs);
}

bool SessionGate::Stopping() const { return WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0; }

bool SessionGate::BeginAdvertisement()
{
    norvo::tiny::NMutexLock claim(lock_);
    if (Stopping())
        return false;
    advertising_ = 1;
    return true;
}

void SessionGate::EndAdvertisement() { advertising_ = 0; }

} // namespace nvupdater
