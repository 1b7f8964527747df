// The crash-reporting library's centre: once initialised, the process's unhandled-exception filter
// writes a minidump of the whole process and starts the report tool. One instance per process.
#pragma once

#include "assist/assistconfig.h"
#include "assist/dumpdatabase.h"
#include "assist/memdumphandler.h"
#include "tiny/event.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace norvo {
namespace assist {

class MemDumps {
public:
    // The instance, made on first use; it lives until the process ends.
    static MemDumps &instance();
    virtual ~MemDumps();
    MemDumps(const MemDumps &) = delete;
    MemDumps &operator=(const MemDumps &) = delete;

    // Empties the error log; 1 when already installed, else internalInit with a default handler.
    int init(const AssistConfig &config);
    // Takes the configuration and installs the filter: 0, or 1 when no handler is set.
    int internalInit(const AssistConfig &config);
    // The filter the platform calls for an exception that nothing handles, on any thread.
    static LONG WINAPI generateCrashDump(EXCEPTION_POINTERS *exception);
    // Product layout: looks for new dumps of the known processes and queues them in the database.
    void scanProcessDumps();

    // A host's own handler (kept for the next internalInit; init replaces it with the default).
    void setHandler(std::shared_ptr<AbstractMemDumpHandler> handler) { handler_ = std::move(handler); }
    // Switches dumping off and on again; while off, a crash only reaches the previous filter.
    void setEnabled(bool enabled) { enabled_ = enabled && installed_; }
    void setDumpDatabase(std::shared_ptr<DumpDatabase> database) { dumpDatabase_ = std::move(database); }

    bool installed() const { return installed_; }
    bool enabled() const { return enabled_; }
    const std::string &dumpDirectory() const { return dumpDirectory_; }
    const std::string &dumpFilePath() const { return dumpFilePath_; }
    const std::string &reportToolPath() const { return reportToolPath_; }
    const std::string &debugLibraryDirectory() const { return debugLibraryDirectory_; }
    const std::vector<std::string> &crashCommandArgs() const { return crashCommandArgs_; }
    const std::vector<std::string> &kernelCommandArgs() const { return kernelCommandArgs_; }
    uint32_t minidumpType() const { return minidumpType_; }
    const std::vector<std::pair<std::string, std::string>> &foundDumps() const { return foundDumps_; }
    int64_t estimatedReportSize() const { return estimatedReportSize_; }
    int64_t topDumpTime() const { return topDumpTime_; }
    int32_t topPriority() const { return topPriority_; }

private:
    MemDumps();
    LONG filter(EXCEPTION_POINTERS *exception);
    void clearScanResults();

    bool installed_ = false;
    bool enabled_ = false;
    bool restrictDumpAccess_ = false;
    std::string productCode_;                      // product layout only
    std::vector<std::string> watchedProcesses_;    // product layout only
    std::vector<std::string> attachFiles_;         // product layout only
    std::vector<std::string> crashCommandArgs_;
    std::vector<std::string> kernelCommandArgs_;
    std::string reportToolPath_;
    std::string debugLibraryDirectory_;
    std::string dumpDirectory_;                    // ends in one backslash after initialisation
    std::string dumpFilePath_;
    uint32_t minidumpType_ = 2;
    volatile LONG crashCount_ = 0;
    tiny::Event dumpDone_;
    LONG filterResult_ = EXCEPTION_EXECUTE_HANDLER;
    std::shared_ptr<AbstractMemDumpHandler> handler_;
    bool deleteOldDumps_ = true;
    bool chainPreviousFilter_ = true;
    std::shared_ptr<DumpDatabase> dumpDatabase_;
    // Results of the last process-dump scan: (dump path, process tag) pairs queued for upload.
    std::vector<std::pair<std::string, std::string>> foundDumps_;
    int64_t estimatedReportSize_ = 0;
    int64_t topDumpTime_ = 0;
    int32_t topPriority_ = 2;
};

} // namespace assist
} // namespace norvo
