#include "assist/memdumps.h"

#include "assist/assistlog.h"
#include "assist/assistpaths.h"
#include "assist/dumpchecker.h"
#include "assist/memorydumper.h"
#include "assist/norvoprocesses.h"
#include "assist/reportarguments.h"
#include "tiny/nmutex.h"
#include "tiny/security.h"

#include <stdio.h>

namespace norvo {
namespace assist {

namespace {

const char kInitRoutine[] = "norvo::assist::MemDumps::internalInit";
const char kFilterRoutine[] = "norvo::assist::MemDumps::generateCrashDump";
const char kNoHandler[] = "%s: custom handler not defined.\n";
const char kAlreadyDumped[] = "%s: someone has already dumped the process. Another thread has probably crashed too.\n";
const char kNotEnabled[] = "%s: crashdumps are not enabled\n";
const char kCanceled[] = "%s: dump process has been canceled by user\n";
const char kRestricted[] = "%s: access rights for dumpFile has been restricted\n";
const char kNotRestricted[] = "%s: access rights for dumpFile could not be restricted\n";
const char kDumpName[] = "%s: dump name: %s\n";
const char kUnknown[] = "unknown";
const char kReportTool[] = "nassist.exe";

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
MemDumps *volatile g_instance = nullptr;
// The thread writing the dump: a fault of its own inside the filter must not wait for itself.
volatile DWORD g_dumpingThread = 0;

tiny::NMutex &instanceMutex()
{
    static tiny::NMutex mutex;
    return mutex;
}

// The previous filter is chained only from Windows Vista on.
bool isVistaOrLater()
{
    OSVERSIONINFOEXA wanted = {};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = 6;
    DWORDLONG condition = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION, condition) != FALSE;
}

// Looks for a new kernel memory dump of the product that implicates our kernel modules.
bool newKernelDumpFound(const std::string &productCode, const std::string &processName)
{
    std::string dump;
    return DumpChecker(ProcessKey(productCode, processName)).check(dump);
}

bool pathExists(std::string path)
{
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

MemDumps &MemDumps::instance()
{
    if (MemDumps *existing = g_instance)
        return *existing;
    tiny::NMutexLock lock(instanceMutex());
    if (!g_instance)
        g_instance = new MemDumps();  // never destroyed: the filter stays installed to the end
    return *g_instance;
}

MemDumps::MemDumps() : reportToolPath_(kReportTool)
{
    dumpDone_.create();
}

MemDumps::~MemDumps() = default;

int MemDumps::init(const AssistConfig &config)
{
    truncateErrorLog();
    if (installed_)
        return 1;
    handler_ = std::make_shared<DefaultMemDumpHandler>();
    return internalInit(config);
}

void MemDumps::clearScanResults()
{
    foundDumps_.clear();
    estimatedReportSize_ = 0;
    topDumpTime_ = 0;
    topPriority_ = 2;
}

int MemDumps::internalInit(const AssistConfig &config)
{
    restrictDumpAccess_ = false;
    clearScanResults();
    crashCommandArgs_.clear();
    kernelCommandArgs_.clear();
    reportToolPath_ = kReportTool;
    debugLibraryDirectory_.clear();
    dumpFilePath_.clear();
    minidumpType_ = 2;
    deleteOldDumps_ = true;
    setReportCallback(config.logCallback);

    if (!handler_) {
        assistLog(kNoHandler, kInitRoutine);
        return 1;
    }
    const std::string productCode = config.productCode ? config.productCode : kUnknown;
    const std::string processName = config.processName ? config.processName : kUnknown;

    if (config.productLayout)
        dumpDirectory_ = temporaryCrashFolder() + NorvoProcesses::instance().productFolder(productCode, processName) +
                         "/" + programBaseName() + ".exe";
    else if (config.dumpDirectory)
        dumpDirectory_ = config.dumpDirectory;
    minidumpType_ = config.minidumpType;
    if (config.debugLibraryDirectory)
        debugLibraryDirectory_ = config.debugLibraryDirectory;

    dumpDirectory_ = normalizePath(dumpDirectory_, true, false);
    if (!pathExists(dumpDirectory_))
        createFolderWithParents(dumpDirectory_);
    dumpDirectory_ += '\\';

    ReportArguments lists = buildReportArguments(config, dumpDirectory_);
    crashCommandArgs_ = lists.crash;
    kernelCommandArgs_ = lists.kernel;

    if (!config.productLayout && config.dumpName) {
        dumpFilePath_ = dumpDirectory_ + config.dumpName;
    } else {
        char name[32];
        snprintf(name, sizeof(name), "user_%lu.dmp", static_cast<unsigned long>(GetCurrentProcessId()));
        dumpFilePath_ = dumpDirectory_ + name;
    }

    // A report tool without a folder is taken from the program's own folder, never searched for.
    const std::string toolFolder = config.reportToolDirectory ? config.reportToolDirectory : programDirectory();
    if (!toolFolder.empty())
        reportToolPath_ = normalizePath(toolFolder, true, true) + kReportTool;

    handler_->programPath = reportToolPath_;
    handler_->kernelArguments = kernelCommandArgs_;
    handler_->crashArguments = crashCommandArgs_;
    chainPreviousFilter_ = config.chainPreviousFilter;

    if (config.checkKernelDumps && handler_->kernelPreAction() && newKernelDumpFound(productCode, processName))
        handler_->kernelPostAction();

    if (config.productLayout) {
        productCode_ = config.productCode ? config.productCode : "";
        if (config.watchedProcesses)
            watchedProcesses_ = *config.watchedProcesses;
        attachFiles_.clear();
        if (config.attachFiles)
            attachFiles_ = *config.attachFiles;
        deleteOldDumps_ = config.deleteOldDumps;
        if (config.scanProcessDumps)
            scanProcessDumps();
    }
    restrictDumpAccess_ = config.restrictDumpAccess;

    g_previousFilter = SetUnhandledExceptionFilter(&MemDumps::generateCrashDump);
    installed_ = true;
    enabled_ = true;
    return 0;
}

LONG WINAPI MemDumps::generateCrashDump(EXCEPTION_POINTERS *exception)
{
    return instance().filter(exception);
}

LONG MemDumps::filter(EXCEPTION_POINTERS *exception)
{
    if (InterlockedIncrement(&crashCount_) > 1) {
        // A second fault of the thread that is writing the dump ends the process now.
        if (g_dumpingThread == GetCurrentThreadId())
            return EXCEPTION_EXECUTE_HANDLER;
        assistLog(kAlreadyDumped, kFilterRoutine);
        dumpDone_.wait();
        dumpDone_.set();  // wakes the next waiting thread
        return filterResult_;
    }
    g_dumpingThread = GetCurrentThreadId();

    if (!enabled_) {
        assistLog(kNotEnabled, kFilterRoutine);
        if (g_previousFilter)
            filterResult_ = g_previousFilter(exception);
        dumpDone_.set();
        return filterResult_;
    }

    if (!handler_->crashPreAction()) {
        assistLog(kCanceled, kFilterRoutine);
    } else {
        if (dumpCurrentProcess(exception, minidumpType_, dumpFilePath_, debugLibraryDirectory_) ==
            MemoryDumper::kWritten) {
            if (restrictDumpAccess_)
                assistLog(tiny::restrictFileAccess(dumpFilePath_.c_str(), false) ? kRestricted : kNotRestricted,
                          kFilterRoutine);
            assistLog(kDumpName, kFilterRoutine, dumpFilePath_.c_str());
        }
        handler_->crashPostAction();
    }
    if (chainPreviousFilter_ && isVistaOrLater() && g_previousFilter)
        filterResult_ = g_previousFilter(exception);

    dumpDone_.set();
    return filterResult_;
}

} // namespace assist
} // namespace norvo
