// What the main loop shares with each communication thread it starts: the session gate, the pipe
// channel and the log the sessions write to.
#pragma once

#include "pipechannel.h"
#include "sessiongate.h"
#include "updaterlog.h"

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

private:
    UpdaterLog &log_;
    SessionGate gate_;      // made before the channel, whose waits end at the gate's stop
    PipeChannel channel_;
};

} // namespace nvupdater
