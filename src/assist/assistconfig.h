// What a host program tells the crash-reporting library: identity, upload account, folders and
// switches. Filled by the caller and read only during MemDumps::init; the library copies what it
// keeps, so the texts may live on the caller's stack.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace norvo {
namespace assist {

// Receiver of reportMessage texts, called as callback("%s", text).
typedef void (*AssistLogCallback)(const char *format, ...);

struct AssistConfig {
    bool flagQ = false;                        // -q
    const char *productCode = nullptr;         // -P; first half of the known-process key
    const char *version = nullptr;             // -V
    const char *textR = nullptr;               // -r
    const char *uploadUrl = nullptr;           // -U
    const char *uploadUser = nullptr;          // -u
    const char *uploadPassword = nullptr;      // -p
    const char *textN = nullptr;               // -n
    const char *textE = nullptr;               // -e
    int32_t numberR = 0;                       // -R, when not negative
    int32_t numberD = 0;                       // -D, when not negative
    bool flagS = false;                        // -s
    const std::vector<std::string> *attachFiles = nullptr;  // -f
    const std::vector<std::string> *listG = nullptr;        // -g
    uint32_t minidumpType = 2;                 // MINIDUMP_TYPE flags; 2: full memory
    const char *dumpDirectory = nullptr;       // folder of the dump; -m
    const char *dumpName = nullptr;            // file name of the dump; -N
    const char *debugLibraryDirectory = nullptr;  // folder searched first for dbghelp.dll
    const char *processName = nullptr;         // -S; second half of the known-process key
    const char *reportToolDirectory = nullptr; // folder of the report tool
    bool checkKernelDumps = false;             // look for a new kernel dump at initialisation
    bool restrictDumpAccess = false;           // leave a written dump to Administrators and SYSTEM
    const std::vector<std::string> *watchedProcesses = nullptr;  // further known-process keys
    AssistLogCallback logCallback = nullptr;   // receiver of reportMessage texts
    bool deleteOldDumps = false;               // product layout: keep only the newest dump
    bool deleteAfterUpload = true;             // false: --nodelete
    bool scanProcessDumps = true;              // product layout: scan known processes' dumps
    bool productLayout = false;                // dump folder from the known-process table
    bool chainPreviousFilter = true;           // after dumping, call the filter installed before
};

} // namespace assist
} // namespace norvo
