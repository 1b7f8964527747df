// What the main loop shares with each communication thread it starts: the session gate, the pipe
// channel, the holds of advertisements not yet removed and the log the sessions write to.
#pragma once

#include "service/keptholds.h"
#include "service/pipechannel.h"
#include "service/sessiongate.h"
#include "service/updaterlog.h"

namespace nvupdater {

class BrokerContext {
public:
    explicit BrokerContext(UpdaterLog &log, const SessionLimits &limits = SessionLimits())
        : log_(log), channel_(log, gate_.StopEvent(), limits)
    {
    }
    BrokerContext(const BrokerContext &) = delete;
    BrokerContext &operator=(const BrokerContext &) = delete;

    UpdaterLog &log() const { return log_; }
    SessionGate &gate() { return gate_; }
    const SessionGate &gate() const { return gate_; }
    PipeChannel &channel() { return channel_; }
    KeptHolds &kept() { return kept_; }

private:
    UpdaterLog &log_;
    SessionGate gate_;      // made before the channel, whose waits end at the gate's stop
    PipeChannel channel_;
    KeptHolds kept_;
};

} // namespace nvupdater
