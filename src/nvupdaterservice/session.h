// One conversation with one Setup Wrapper client: greeting, package command, checks, the
// advertisement, the client's installation result, cleanup, goodbye.
#pragma once

#include "protocol.h"

namespace nvupdater {

using protocol::BrokerResult;
using protocol::ResultAdvertiseFailed;
using protocol::ResultGoAhead;
using protocol::ResultNoUpgradableProduct;
using protocol::ResultSignRejected;
using protocol::ResultUpgradeNotNeeded;

// Thread routine started by MainLoop whenever the pipe exists and no session is active. Serves
// exactly one client connection through g_updaterComm and returns; returns at once when another
// session holds the pipe. The argument is ignored.
void CommunicationThread(int unused);

} // namespace nvupdater
