#include <windows.h>
#include <initguid.h>  // the engine's interface identifiers are defined in this file

#include "assist/dumpanalyzer.h"

#include "assist/assistlog.h"
#include "assist/assistpaths.h"

#include <stdio.h>

#include <exception>
#include <new>

namespace norvo {
namespace assist {

namespace {

const char kLoadRoutine[] = "norvo::assist::DumpAnalyzer::loadDbgEng";
const char kCreateRoutine[] = "norvo::assist::DumpAnalyzer::createInterfaces";
const char kAnalyzeRoutine[] = "norvo::assist::DumpAnalyzer::analyzeFile";
const char kPerformRoutine[] = "norvo::assist::DumpAnalyzer::performAnalyzeInternal";
const char kDeleteRoutine[] = "norvo::assist::DumpAnalyzer::deleteInterfaces";
const char kUnloadRoutine[] = "norvo::assist::DumpAnalyzer::unloadDbgEng";

const char kLoading[] = "%s(): loading library %s ...\n";
const char kLoadFailed[] = "%s(): dllOpen(%s) has failed. \n";
const char kNoEntry[] = "%s(): dllSym(\"DebugCreate\", %p) has failed.\n";
const char kLoadException[] = "%s():### Exception (%s) caught ###\n";
const char kObtainingClient[] = "%s(): obtaining IDebugClient interface ...\n";
const char kCreateFailed[] = "%s(): DebugCreate() has failed. <0x%08xh>\n";
const char kObtainingControl[] = "%s(): Obtaining IDebugControl interface ...\n";
const char kQueryFailed[] = "%s(): QueryInterface() has failed. <0x%08xh>\n";
const char kCaught[] = "%s(): ### Exception (%s) caught ###\n";
const char kInvalidArguments[] = "%s(): Invalid arguments or interfaces have been passed to the function.\n";
const char kCallbacksFailed[] = "%s(): SetOutputCallbacks() has failed. <0x%08xh>\n";
const char kOpenFailed[] = "%s(): OpenDumpFile() has failed. <0x%08xh>\n";
const char kAnalyzeException[] = "%s(): ### Exception (%s) ###\n";
const char kSympathFailed[] = "%s(): Execution(\".sympath + \\\") has failed. <0x%08xh>\n";
const char kWaitFailed[] = "%s(): WaitForEvent() has failed. <0x%08xh>\n";
const char kNotKernel[] = "%s(): this is not a kernel mode dump file\n";
const char kExecuteFailed[] = "%s(): Execute(\"%s\") has failed. <0x%08xh>\n";
const char kBugCheckFailed[] = "%s(): Execute(\".bugcheck\") failed. <0x%08xh>\n";
const char kSkipping[] = "%s(): skipping next tests...\n";
const char kReleasingControl[] = "%s(): releasing IDebugControl interface ...\n";
const char kReleasingClient[] = "%s(): releasing IDebugClient interface ...\n";
const char kUnloading[] = "%s(): unloading library %s ...\n";

const char kEngineFile[] = "dbgeng.dll";
const char kEntryPoint[] = "DebugCreate";
const char kSympath[] = ".sympath + \\";
const char kModuleCommand[] = "lmv m%s";
const char kBugCheck[] = ".bugcheck";
const char kStackPointer64[] = "r rsp";
const char kFramePointer32[] = "r ebp";
const char kStackDump64[] = "dq %08x%08x L%08x";
const char kStackDump32[] = "dd %08x%08x L%08x";

using DebugCreateEntry = HRESULT(STDAPICALLTYPE *)(REFIID, PVOID *);
DebugCreateEntry g_debugCreate = nullptr;

unsigned int code(HRESULT result) { return static_cast<unsigned int>(result); }

} // namespace

DumpAnalyzer::DumpAnalyzer(const std::string &engineFolder) : engineFolder_(engineFolder) {}

DumpAnalyzer::~DumpAnalyzer()
{
    deleteInterfaces();
    unloadDbgEng();
    callbacks_.reset();
    modules_.reset();
}

bool DumpAnalyzer::init(const char *const *moduleNames, int count, int stackWords)
{
    if (initialised_ || !moduleNames || count <= 0)
        return false;
    if (!loadDbgEng() || !createInterfaces())
        return false;
    try {
        modules_.reset(new ModuleInfoList(moduleNames, count));
        callbacks_.reset(new StdioOutputCallbacks(modules_.get(), stackWords));
    } catch (const std::bad_alloc &) {
        return false;
    }
    callbacks_->reset();
    initialised_ = true;
    return true;
}

bool DumpAnalyzer::loadDbgEng()
{
    if (engine_.loaded() && g_debugCreate)
        return true;
    try {
        // Never the platform's search order: that would look in folders ordinary users may write.
        std::string path =
            (engineFolder_.empty() ? tiny::systemFolder() + "\\" : normalizePath(engineFolder_, true, true)) + kEngineFile;
        assistLog(kLoading, kLoadRoutine, path.c_str());
        if (!engine_.load(path)) {
            assistLog(kLoadFailed, kLoadRoutine, path.c_str());
            return false;
        }
        FARPROC entry = engine_.symbol(kEntryPoint);
        if (!tiny::DynamicLibrary::hasSymbol(entry)) {
            assistLog(kNoEntry, kLoadRoutine, static_cast<void *>(nullptr));
            unloadDbgEng();
            return false;
        }
        g_debugCreate = reinterpret_cast<DebugCreateEntry>(reinterpret_cast<void *>(entry));
        return true;
    } catch (const std::exception &error) {
        assistLog(kLoadException, kLoadRoutine, error.what());
        unloadDbgEng();
        return false;
    }
}

bool DumpAnalyzer::createInterfaces()
{
    if (client_ || control_ || !g_debugCreate)
        return false;
    try {
        assistLog(kObtainingClient, kCreateRoutine);
        HRESULT result = g_debugCreate(IID_IDebugClient, reinterpret_cast<void **>(client_.put()));
        if (FAILED(result) || !client_) {
            client_.release();   // a failed create hands out no reference, whatever it left there
            assistLog(kCreateFailed, kCreateRoutine, code(result));
            return false;
        }
        assistLog(kObtainingControl, kCreateRoutine);
        result = client_.get()->QueryInterface(IID_IDebugControl, reinterpret_cast<void **>(control_.put()));
        if (FAILED(result) || !control_) {
            control_.release();   // as above: nothing to release after a failed query
            assistLog(kQueryFailed, kCreateRoutine, code(result));
            deleteInterfaces();
            return false;
        }
        return true;
    } catch (const std::exception &error) {
        assistLog(kCaught, kCreateRoutine, error.what());
        deleteInterfaces();
        return false;
    }
}

bool DumpAnalyzer::analyzeFile(const std::string &dumpPath, bool &positive)
{
    positive = false;
    if (!initialised_)
        return false;
    callbacks_->reset();
    if (!client_ || !control_ || dumpPath.empty()) {
        assistLog(kInvalidArguments, kAnalyzeRoutine);
        return false;
    }
    HRESULT result = client_.get()->SetOutputCallbacks(callbacks_.get());
    if (FAILED(result)) {
        assistLog(kCallbacksFailed, kAnalyzeRoutine, code(result));
        client_.get()->EndSession(DEBUG_END_ACTIVE_DETACH);
        return false;
    }
    result = client_.get()->OpenDumpFile(dumpPath.c_str());
    if (FAILED(result)) {
        assistLog(kOpenFailed, kAnalyzeRoutine, code(result));
        client_.get()->SetOutputCallbacks(nullptr);
        return false;
    }
    bool analysed = false;
    try {
        analysed = performAnalyzeInternal();
    } catch (const std::exception &error) {
        assistLog(kAnalyzeException, kAnalyzeRoutine, error.what());
        analysed = false;
    }
    client_.get()->SetOutputCallbacks(nullptr);
    client_.get()->EndSession(DEBUG_END_ACTIVE_DETACH);
    positive = callbacks_->positive();
    return analysed;
}

void DumpAnalyzer::execute(const char *command, bool bugCheckWording)
{
    HRESULT result = control_.get()->Execute(DEBUG_OUTCTL_THIS_CLIENT, command, DEBUG_EXECUTE_ECHO);
    if (FAILED(result)) {
        if (bugCheckWording)
            assistLog(kBugCheckFailed, kPerformRoutine, code(result));
        else
            assistLog(kExecuteFailed, kPerformRoutine, command, code(result));
    }
}

bool DumpAnalyzer::performAnalyzeInternal()
{
    HRESULT result = control_.get()->Execute(DEBUG_OUTCTL_THIS_CLIENT, kSympath, DEBUG_EXECUTE_ECHO);
    if (FAILED(result))
        assistLog(kSympathFailed, kPerformRoutine, code(result));
    // The engine answers S_FALSE when the time limit passes before the dump has loaded.
    result = control_.get()->WaitForEvent(DEBUG_WAIT_DEFAULT, kLoadTimeoutMs);
    if (result != S_OK) {
        assistLog(kWaitFailed, kPerformRoutine, code(result));
        return false;
    }
    if (!callbacks_->kernelDump()) {
        assistLog(kNotKernel, kPerformRoutine);
        return false;
    }
    for (int i = 0; i < modules_->count(); ++i) {
        char command[96];
        _snprintf(command, sizeof(command) - 1, kModuleCommand, (*modules_)[i].name);
        command[sizeof(command) - 1] = '\0';
        execute(command);
    }
    execute(kBugCheck, true);
    if (callbacks_->positive()) {
        assistLog(kSkipping, kPerformRoutine);
        return true;
    }
    const bool wide = callbacks_->is64Bit();
    execute(wide ? kStackPointer64 : kFramePointer32);
    const uint64_t stack = callbacks_->stackAddress();
    char dump[64];
    _snprintf(dump, sizeof(dump) - 1, wide ? kStackDump64 : kStackDump32, static_cast<unsigned int>(stack >> 32),
              static_cast<unsigned int>(stack), static_cast<unsigned int>(callbacks_->stackWords()));
    dump[sizeof(dump) - 1] = '\0';
    execute(dump);
    return true;
}

ULONG DumpAnalyzer::deleteInterfaces()
{
    ULONG last = 0;
    try {
        if (control_) {
            assistLog(kReleasingControl, kDeleteRoutine);
            last = control_.release()->Release();
        }
        if (client_) {
            assistLog(kReleasingClient, kDeleteRoutine);
            last = client_.release()->Release();
        }
    } catch (const std::exception &error) {
        assistLog(kCaught, kDeleteRoutine, error.what());
    }
    return last;
}

void DumpAnalyzer::unloadDbgEng()
{
    if (engine_.loaded()) {
        assistLog(kUnloading, kUnloadRoutine, engineFolder_.c_str());
        engine_.free();
    }
    g_debugCreate = nullptr;
}

} // namespace assist
} // namespace norvo
