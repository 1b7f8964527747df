// The main loop's round: keep the pipe, and one communication thread at a time on it, until the
// service's stop; then stop the session that is still running.
#pragma once

#include "service/brokercontext.h"
#include "tiny/service.h"

namespace nvupdater {

// The thread routine the loop starts with the broker as its argument (CommunicationThread in the
// service).
using SessionRoutine = void (*)(void *broker);

// Until `definition`'s stop request: creates the pipe while it is missing and starts `session` on a
// thread of its own whenever no session holds the gate. The next attempt waits for the next poll
// (250 ms by the clock), unless a session that served a client ended first. At the stop the running
// session is stopped and given the time to take its advertisement away.
void RunSessions(norvo::tiny::ServiceDefinition &definition, BrokerContext &broker, SessionRoutine session);

} // namespace nvupdater
