// Opens a kernel memory dump with the debugger engine (dbgeng.dll, loaded at run time), runs a few
// commands and decides from their output whether the dump implicates one of the watched modules.
#pragma once

#include "assist/outputcallbacks.h"
#include "tiny/dynamiclibrary.h"
#include "tiny/unique.h"

#include <windows.h>
#include <dbgeng.h>

#include <memory>
#include <string>

namespace norvo {
namespace assist {

class DumpAnalyzer {
public:
    // The engine's folder; empty: the system folder's engine.
    explicit DumpAnalyzer(const std::string &engineFolder);
    virtual ~DumpAnalyzer();
    DumpAnalyzer(const DumpAnalyzer &) = delete;
    DumpAnalyzer &operator=(const DumpAnalyzer &) = delete;

    // Loads the engine and creates its interfaces; false when already initialised or on failure.
    bool init(const char *const *moduleNames, int count, int stackWords);
    // Analyses one dump; false when the analysis could not run. `positive` receives the verdict.
    bool analyzeFile(const std::string &dumpPath, bool &positive);

    bool loadDbgEng();
    bool createInterfaces();
    bool performAnalyzeInternal();
    ULONG deleteInterfaces();
    void unloadDbgEng();

    // How long the engine may take to load a dump before the analysis gives up.
    static const ULONG kLoadTimeoutMs = 5 * 60 * 1000;

private:
    void execute(const char *command, bool bugCheckWording = false);

    std::string engineFolder_;
    tiny::UniqueCom<IDebugClient> client_;
    tiny::UniqueCom<IDebugControl> control_;
    tiny::DynamicLibrary engine_;
    bool initialised_ = false;
    std::unique_ptr<ModuleInfoList> modules_;
    std::unique_ptr<StdioOutputCallbacks> callbacks_;
};

} // namespace assist
} // namespace norvo
