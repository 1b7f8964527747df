// Writing a minidump of a process with the debug help library, loaded at run time.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>

namespace norvo {
namespace assist {

// The one comment stream every dump of ours carries.
extern const char kDumpComment[];

class MemoryDumper {
public:
    // Results of dumpProcessState.
    static const int kWritten = 0;
    static const int kNoDebugLibrary = 1;   // neither the library nor its MiniDumpWriteDump
    static const int kFileNotCreated = 2;
    static const int kWriteFailed = 3;

    // Writes a dump of `process` to `dumpFilePath`. The debug library is taken from
    // `debugLibraryDirectory` (the program directory when empty), else from the system folder.
    static int dumpProcessState(EXCEPTION_POINTERS *exception, HANDLE process, DWORD processId, uint32_t dumpType,
                                const std::string &dumpFilePath, const std::string &debugLibraryDirectory);
};

// dumpProcessState for the calling process, with the calling thread's exception.
int dumpCurrentProcess(EXCEPTION_POINTERS *exception, uint32_t dumpType, const std::string &dumpFilePath,
                       const std::string &debugLibraryDirectory);

} // namespace assist
} // namespace norvo
