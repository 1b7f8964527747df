#include "tiny/nmutex.h"

#include <stdexcept>

namespace norvo {
namespace tiny {

namespace {

const DWORD kNoMemory = 0xC0000017; // STATUS_NO_MEMORY

// Structured exceptions and C++ objects cannot share one function under MSVC, so the raw
// initialisation lives apart. MinGW has no __try; there the call cannot raise on supported systems.
bool initializeSection(CRITICAL_SECTION *section)
{
#if defined(_MSC_VER)
    __try {
        InitializeCriticalSection(section);
    } __except (GetExceptionCode() == kNoMemory ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
        return false;
    }
    return true;
#else
    // The spin-count form reports the old out-of-memory case by its result, not by an exception.
    return InitializeCriticalSectionAndSpinCount(section, 0) != FALSE;
#endif
}

} // namespace

NMutex::NMutex()
{
    if (!initializeSection(&section_))
        throw std::runtime_error("Insufficient memory exists to initialize the mutex.");
}

NMutex::~NMutex() { DeleteCriticalSection(&section_); }

void NMutex::lock() { EnterCriticalSection(&section_); }

bool NMutex::tryLock() { return TryEnterCriticalSection(&section_) != FALSE; }

void NMutex::unlock() { LeaveCriticalSection(&section_); }

} // namespace tiny
} // namespace norvo
