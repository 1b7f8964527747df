// NMutex: the library's lock, one critical section behind a small virtual interface.
#pragma once

#include <windows.h>

namespace norvo {
namespace tiny {

class NMutex {
public:
    // Throws std::runtime_error("Insufficient memory exists to initialize the mutex.") when the
    // system has no memory for the critical section: the one exception the library lets out.
    NMutex();
    virtual ~NMutex();
    NMutex(const NMutex &) = delete;
    NMutex &operator=(const NMutex &) = delete;

    virtual void lock();
    virtual bool tryLock();
    virtual void unlock();

    // Names other lock users know the same operations by.
    virtual void acquire() { lock(); }
    virtual void enter() { lock(); }
    virtual bool tryAcquire() { return tryLock(); }
    virtual bool tryEnter() { return tryLock(); }
    virtual void wait() { lock(); }
    virtual void release() { unlock(); }

private:
    CRITICAL_SECTION section_;
};

// Holds an NMutex for one scope.
class NMutexLock {
public:
    explicit NMutexLock(NMutex &mutex) : mutex_(mutex) { mutex_.lock(); }
    ~NMutexLock() { mutex_.unlock(); }
    NMutexLock(const NMutexLock &) = delete;
    NMutexLock &operator=(const NMutexLock &) = delete;

private:
    NMutex &mutex_;
};

} // namespace tiny
} // namespace norvo
