// The checks that decide whether the service accepts a package, in the order the service runs them,
// and the result codes it answers with. The broker session and the package check tool share them.
#pragma once

#include "inspection/eligibilityobserver.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// Result codes of the service's "220 RESULT %d".
enum BrokerResult {
    ResultGoAhead = 0,
    ResultSignRejected = 28401,
    ResultNoUpgradableProduct = 28402,
    ResultAdvertiseFailed = 28403,
    ResultUpgradeNotNeeded = 28406,
};

// The accepted publishers, in the order they are checked.
extern const wchar_t kAcceptedPublisherNorvo[];
extern const wchar_t kAcceptedPublisherVarda[];

// Every check's own result, and what they decide together.
struct PackageChecks {
    LONG trust = 0;             // VerifyPackageTrust
    LONG norvo = 0;             // CheckPackagePublisher with kAcceptedPublisherNorvo
    LONG varda = 0;             // CheckPackagePublisher with kAcceptedPublisherVarda
    bool signAccepted = false;  // trusted, and made by one of the two
    bool eligibilityRun = false;
    int upgradable = 0;         // FindUpgradableProduct, run only once the signature is accepted
    int upgradeNotNeeded = 0;
    // ResultSignRejected, ResultNoUpgradableProduct, ResultUpgradeNotNeeded, or ResultGoAhead: the
    // package passes and the service goes on to advertise it (which alone can still fail, 28403).
    int decision = ResultGoAhead;
};

// Trust, then both publishers (all three always, in this order), then, when the signature is
// accepted, upgrade eligibility with `observer` watching. Nothing is logged, locked or advertised.
PackageChecks CheckPackage(const std::wstring &packagePath, EligibilityObserver *observer = nullptr);

} // namespace nvupdater
