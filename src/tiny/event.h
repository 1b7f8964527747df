// An unnamed auto-reset event: what makes later crashing threads wait for the one writing a dump.
#pragma once

#include "tiny/unique.h"

namespace norvo {
namespace tiny {

class Event {
public:
    // Auto-reset, not signalled, no name, default security. False when the system refused.
    bool create();
    bool set();
    // Waits without a time limit; the result of WaitForSingleObject.
    DWORD wait();
    // Waits at most `milliseconds`.
    DWORD wait(DWORD milliseconds);
    void close() { handle_.reset(); }
    HANDLE get() const { return handle_.get(); }

private:
    UniqueHandle handle_;
};

} // namespace tiny
} // namespace norvo
