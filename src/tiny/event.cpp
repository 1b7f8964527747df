#include "tiny/event.h"

namespace norvo {
namespace tiny {

bool Event::create()
{
    handle_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    return handle_.valid();
}

bool Event::set()
{
    return handle_.valid() && SetEvent(handle_.get()) != FALSE;
}

DWORD Event::wait()
{
    return wait(INFINITE);
}

DWORD Event::wait(DWORD milliseconds)
{
    if (!handle_.valid())
        return WAIT_FAILED;
    return WaitForSingleObject(handle_.get(), milliseconds);
}

} // namespace tiny
} // namespace norvo
