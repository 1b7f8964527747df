// The reference client's exit codes, which release scripts read. The package check tool answers
// with the same codes, so the two can never tell a pipeline different things. Small numbers:
// some shells see only the low 8 bits of an exit code.
#pragma once

#include "protocol/protocol.h"

namespace clientexit {

enum Code {
    ExitDone = 0,
    ExitUsage = 1,
    ExitCannotConnect = 2,
    ExitDropped = 3,
    ExitProtocol = 4,
    ExitTimedOut = 5,
    ExitNotTheService = 6,
    ExitSignRejected = 10,         // 28401
    ExitNoUpgradableProduct = 11,  // 28402
    ExitAdvertiseFailed = 12,      // 28403
    ExitUpgradeNotNeeded = 13,     // 28406
    ExitOtherRefusal = 14,
    ExitInstallFailed = 20,
};

// The exit code that tells a pipeline the service's decision.
inline int ExitCodeOfDecision(long decision)
{
    switch (decision) {
    case nvupdater::protocol::ResultGoAhead:
        return ExitDone;
    case nvupdater::protocol::ResultSignRejected:
        return ExitSignRejected;
    case nvupdater::protocol::ResultNoUpgradableProduct:
        return ExitNoUpgradableProduct;
    case nvupdater::protocol::ResultAdvertiseFailed:
        return ExitAdvertiseFailed;
    case nvupdater::protocol::ResultUpgradeNotNeeded:
        return ExitUpgradeNotNeeded;
    default:
        return ExitOtherRefusal;
    }
}

} // namespace clientexit
