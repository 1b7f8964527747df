// Starting worker threads and waiting for them.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace norvo {
namespace tiny {

struct ThreadAttributes {
    unsigned stackSize = 0;   // 0: the system default
    std::string name;         // informational; empty in this program
};

typedef void (*ThreadRoutine)(int argument);

// Starts a thread that runs routine(argument) and ends with exit code 0. With `handle` given, the
// caller receives the thread handle and must close it; without, the handle is closed at once.
// Returns false, with the system's last error left in place, when no thread was created.
bool startThread(ThreadRoutine routine, int argument, HANDLE *handle, const ThreadAttributes &attributes);
// The same, with the thread handle going straight into `thread` (whatever it held is closed first).
bool startThread(ThreadRoutine routine, int argument, UniqueHandle &thread, const ThreadAttributes &attributes);

// Waits without a time limit for `handle` and closes it. A null handle gives true at once.
bool waitAndClose(HANDLE handle);
// The same for an owned thread handle; `thread` is empty afterwards.
bool waitAndClose(UniqueHandle &thread);

} // namespace tiny
} // namespace norvo
