// The reference client's exit codes, which release scripts read. The package check tool answers
// with the same codes, so the two can never tell a pipeline different things. Small numbers:
// some shells see only the low 8 bits of an exit code.
#pragma once

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

} // namespace clientexit
