// The dump database a host program may supply: which dumps of known processes were already seen,
// and which are waiting for upload. The library only reads and fills it; the host stores it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace norvo {
namespace assist {

struct PendingUpload {
    char name[260];   // the process's executable name, NUL-terminated, at most 259 characters
    int64_t time;     // the dump's modification time, seconds
};

class DumpDatabase {
public:
    virtual ~DumpDatabase() {}
    virtual int32_t entryCount() = 0;
    virtual bool addEntry(const std::string &name, int64_t time) = 0;
    // 0 when the name has no entry.
    virtual int64_t lastDumpTime(const std::string &name) = 0;
    virtual bool removeAllEntries() = 0;

    std::vector<PendingUpload> pendingUploads;
};

} // namespace assist
} // namespace norvo
