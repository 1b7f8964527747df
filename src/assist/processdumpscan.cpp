// The scan of known processes' dumps (product layout with a dump database only). The first scan
// records the newest dump of each candidate; later scans queue the dumps written since.
#include "assist/assistlog.h"
#include "assist/mdfinder.h"
#include "assist/memdumps.h"
#include "assist/norvoprocesses.h"

#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>

namespace norvo {
namespace assist {

namespace {

const char kNoDatabase[] = "ERR: Database interface is missing.";
const char kInvalidConfiguration[] = "ERR: Assist configuration is invalid.";
const char kNotFound[] = "Process %s: dump not found";
const char kUnknownResult[] = "Process %s: unknown result";
const char kFoundNew[] = "Process %s: found new dump %s";
const char kNoTime[] = "WRN: Cannot read time of dump: %s";
const char kStored[] = "dump %s stored for upload";
const char kCannotRemove[] = "Cannot remove all entries from assist database";
const char kCannotAdd[] = "ERR: Cannot add dump to database: %s";
const char kUnknownProcess[] = "unknown";

// The share of a dump's size (30 %), and of an attached file's (6 %), that ends up in the report,
// truncated; worked out in whole numbers, where 1,000 bytes at 30 % are 300, not 299.99...
int64_t share(int64_t size, int64_t percent) { return size / 100 * percent + size % 100 * percent / 100; }
const int64_t kDumpPercent = 30;
const int64_t kAttachmentPercent = 6;

bool sameDump(const std::string &a, const std::string &b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

bool fileStatus(const std::string &path, struct __stat64 &info) { return _stat64(path.c_str(), &info) == 0; }

} // namespace

void MemDumps::scanProcessDumps()
{
    if (!dumpDatabase_) {
        reportMessage(kNoDatabase);
        return;
    }
    DumpDatabase &database = *dumpDatabase_;
    const NorvoProcesses &table = NorvoProcesses::instance();
    database.pendingUploads.clear();

    std::vector<std::string> candidates;
    if (table.contains(productCode_, kUnknownProcess))
        candidates.push_back(productCode_);
    candidates.insert(candidates.end(), watchedProcesses_.begin(), watchedProcesses_.end());
    if (candidates.empty()) {
        reportMessage(kInvalidConfiguration);
        return;
    }

    // Each candidate's newest dump; empty when it has none or shares it with an earlier candidate.
    std::vector<std::string> dumps;
    for (const std::string &candidate : candidates) {
        MDFinder finder(ProcessKey(candidate, kUnknownProcess), true, deleteOldDumps_);
        std::string dump;
        if (finder.findMemoryDump(dump, std::string()) == MDFinder::kNotFound) {
            reportMessage(kNotFound, candidate.c_str());
            dump.clear();
        } else {
            bool shared = false;
            for (const std::string &earlier : dumps)
                shared = shared || (!earlier.empty() && sameDump(earlier, dump));
            if (shared) {
                reportMessage(kUnknownResult, candidate.c_str());
                dump.clear();
            } else {
                reportMessage(kFoundNew, candidate.c_str(), dump.c_str());
            }
        }
        dumps.push_back(dump);
    }

    if (database.entryCount() == static_cast<int32_t>(candidates.size())) {
        int64_t size = 0;
        for (size_t i = 0; i < candidates.size(); ++i) {
            if (dumps[i].empty())
                continue;
            struct __stat64 info;
            if (!fileStatus(dumps[i], info)) {
                reportMessage(kNoTime, dumps[i].c_str());
                continue;
            }
            const NorvoProcess *row = table.find(candidates[i], kUnknownProcess);
            const std::string name = row ? row->executableName : std::string();
            const int64_t written = static_cast<int64_t>(info.st_mtime);
            if (written <= database.lastDumpTime(name))
                continue;
            reportMessage(kStored, dumps[i].c_str());
            foundDumps_.push_back(std::make_pair(dumps[i], row ? row->processTag : std::string()));
            PendingUpload upload = {};
            lstrcpynA(upload.name, name.c_str(), sizeof(upload.name));
            upload.time = written;
            database.pendingUploads.push_back(upload);
            const int32_t priority = row ? row->priority : 0;
            if (priority <= topPriority_) {
                topPriority_ = priority;
                topDumpTime_ = written;
            } else if (topDumpTime_ == 0) {
                topDumpTime_ = written;
            }
            size += share(static_cast<int64_t>(info.st_size), kDumpPercent);
        }
        if (!foundDumps_.empty()) {
            for (const std::string &attachment : attachFiles_) {
                struct __stat64 info;
                if (fileStatus(attachment, info))
                    size += share(static_cast<int64_t>(info.st_size), kAttachmentPercent);
            }
        }
        estimatedReportSize_ = size;
        return;
    }

    if (!database.removeAllEntries())
        reportMessage(kCannotRemove);
    for (size_t i = 0; i < candidates.size(); ++i) {
        int64_t time = 0;
        if (!dumps[i].empty()) {
            struct __stat64 info;
            if (fileStatus(dumps[i], info))
                time = static_cast<int64_t>(info.st_mtime);
            else
                reportMessage(kNoTime, dumps[i].c_str());
        }
        const std::string name = table.executableName(candidates[i], kUnknownProcess);
        if (!database.addEntry(name, time))
            reportMessage(kCannotAdd, name.c_str());
    }
    clearScanResults();
}

} // namespace assist
} // namespace norvo
