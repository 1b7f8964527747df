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

// What a thread needs reaches it through `context`, never through a global.
typedef void (*ThreadRoutine)(void *context);

// Starts a thread that runs routine(context) and ends with exit code 0. With `thread` given, the
// thread's handle goes into it (whatever it held is closed first); without, the handle is closed at
// once. Returns false, with the system's last error left in place, when no thread was created.
[[nodiscard]] bool startThread(ThreadRoutine routine, void *context, UniqueHandle *thread,
                               const ThreadAttributes &attributes);

// Waits without a time limit for the thread and closes its handle; `thread` is empty afterwards.
// An empty owner gives true at once.
[[nodiscard]] bool waitAndClose(UniqueHandle &thread);

} // namespace tiny
} // namespace norvo
