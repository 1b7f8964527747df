#include "tiny/threads.h"

#include <errno.h>
#include <new>
#include <process.h>
#include <utility>

namespace norvo {
namespace tiny {

namespace {

struct StartRecord {
    ThreadRoutine routine;
    void *context;
};

unsigned __stdcall threadEntry(void *parameter)
{
    StartRecord record = *static_cast<StartRecord *>(parameter);
    delete static_cast<StartRecord *>(parameter);
    record.routine(record.context);
    return 0;
}

} // namespace

bool startThread(ThreadRoutine routine, void *context, UniqueHandle *thread, const ThreadAttributes &attributes)
{
    StartRecord *record = new (std::nothrow) StartRecord{routine, context};
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
    UniqueHandle owned(reinterpret_cast<HANDLE>(started));
    if (thread)
        *thread = std::move(owned);
    return true;
}

bool waitAndClose(UniqueHandle &thread)
{
    if (!thread)
        return true;
    const bool waited = WaitForSingleObject(thread.get(), INFINITE) == WAIT_OBJECT_0;
    thread.reset();
    return waited;
}

} // namespace tiny
} // namespace norvo
