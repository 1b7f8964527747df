#include "tiny/threads.h"

#include <errno.h>
#include <new>
#include <process.h>

namespace norvo {
namespace tiny {

namespace {

struct StartRecord {
    ThreadRoutine routine;
    int argument;
};

unsigned __stdcall threadEntry(void *parameter)
{
    StartRecord record = *static_cast<StartRecord *>(parameter);
    delete static_cast<StartRecord *>(parameter);
    record.routine(record.argument);
    return 0;
}

} // namespace

bool startThread(ThreadRoutine routine, int argument, HANDLE *handle, const ThreadAttributes &attributes)
{
    StartRecord *record = new (std::nothrow) StartRecord{routine, argument};
    if (!record) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // The C runtime's start keeps its per-thread data right for a routine that uses the runtime.
    uintptr_t started = _beginthreadex(nullptr, attributes.stackSize, threadEntry, record, 0, nullptr);
    if (started == 0) {
        DWORD error = GetLastError();
        delete record;
        SetLastError(error ? error : ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    HANDLE thread = reinterpret_cast<HANDLE>(started);
    if (handle)
        *handle = thread;
    else
        CloseHandle(thread);
    return true;
}

bool startThread(ThreadRoutine routine, int argument, UniqueHandle &thread, const ThreadAttributes &attributes)
{
    return startThread(routine, argument, thread.put(), attributes);
}

bool waitAndClose(HANDLE handle)
{
    if (!handle)
        return true;
    bool waited = WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
    bool closed = CloseHandle(handle) != FALSE;
    return waited && closed;
}

bool waitAndClose(UniqueHandle &thread) { return waitAndClose(thread.release()); }

} // namespace tiny
} // namespace norvo
