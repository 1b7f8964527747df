// One conversation with one Setup Wrapper client: greeting, package command, checks, the
// advertisement, the client's installation result, cleanup, goodbye.
#pragma once

#include "protocol/protocol.h"

namespace nvupdater {

using protocol::BrokerResult;
using protocol::ResultAdvertiseFailed;
using protocol::ResultGoAhead;
using protocol::ResultNoUpgradableProduct;
using protocol::ResultSignRejected;
using protocol::ResultUpgradeNotNeeded;

// Thread routine started by MainLoop whenever the pipe exists and no session is active, with the
// process's one BrokerContext as `context`. Serves exactly one client connection through its
// channel and returns; returns at once when another session holds the gate.
void CommunicationThread(void *context);

} // namespace nvupdater
