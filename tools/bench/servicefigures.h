// What the benchmark watches of the running service: its process id, handle count and private
// bytes, as the system's queries and its process list give them.
#pragma once

#include <windows.h>

namespace nvbench {

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    bool known = false;
    // The same figures from the system's process list, which some platforms fill where the
    // per-process queries answer 0 for another process.
    ULONG listedHandles = 0;
    SIZE_T listedPrivate = 0;
};

// The running service's process id, or 0.
DWORD ServicePid();

ProcessFigures Measure(DWORD pid);

} // namespace nvbench
