// The real communication thread in the test's own process, on a channel of its own with short
// limits, as the main loop would start it: every silent step can be tried in well under a second.
#pragma once

#include "brokerharness.h"
#include "service/brokercontext.h"
#include "service/updaterlog.h"

#include "tiny/unique.h"

#include <string>

namespace brokertest {

class InProcessService {
public:
    // Logs to <suite folder>\<name>.log; every limit of the session is `limitMs`.
    InProcessService(const wchar_t *name, DWORD limitMs);
    ~InProcessService();
    InProcessService(const InProcessService &) = delete;
    InProcessService &operator=(const InProcessService &) = delete;

    static nvupdater::SessionLimits limits(DWORD limitMs);

    nvupdater::BrokerContext &broker() { return broker_; }
    bool sessionActive() const { return broker_.gate().SessionActive(); }
    // Stops as the main loop does: returns once the session thread has ended, or after `waitMs`.
    void stop(DWORD waitMs) { broker_.gate().Stop(waitMs, 0, thread_.get()); }
    LogWatch watch() const { return LogWatch(path_); }
    bool ended(DWORD timeoutMs);
    // Once the session thread has ended (within `timeoutMs`), starts the next on the same broker,
    // as the main loop does. False when the last one did not end.
    bool serveNext(DWORD timeoutMs);
    // True when a log write from another thread completes in time: no lock was left held.
    bool logStillWritable();

private:
    class FileLog : public nvupdater::UpdaterLog {
    public:
        explicit FileLog(const std::wstring &path) { SetPathTo(path); }
    };

    std::wstring path_;
    FileLog log_;
    nvupdater::BrokerContext broker_;
    norvo::tiny::UniqueHandle thread_;
};

} // namespace brokertest
