// The checks that decide whether the service accepts a package, in the order the service runs them.
// The broker session and the package check tool share them, so that both give the same answer.
#pragma once

#include "inspection/eligibilityobserver.h"
#include "protocol.h"   // the result codes

#include <windows.h>

#include <string>

namespace nvupdater {

// The accepted publishers, in the order they are checked.
extern const wchar_t kAcceptedPublisherNorvo[];
extern const wchar_t kAcceptedPublisherVarda[];

// The signature of one file (a package, or a transform beside it).
struct SignatureChecks {
    LONG trust = 0;   // VerifyPackageTrust
    LONG norvo = 0;   // CheckPackagePublisher with kAcceptedPublisherNorvo
    LONG varda = 0;   // CheckPackagePublisher with kAcceptedPublisherVarda
    // Trusted, and made by one of the two.
    bool accepted() const { return trust == 0 && (norvo == 0 || varda == 0); }
};

// Trust, then both publishers: all three always, in this order, whatever the first one says.
SignatureChecks CheckPackageSignature(const std::wstring &path);

// Upgrade eligibility, and the decision it makes on its own.
struct EligibilityChecks {
    int upgradable = 0;         // FindUpgradableProduct
    int upgradeNotNeeded = 0;
    int decision = protocol::ResultGoAhead;   // or ResultNoUpgradableProduct, ResultUpgradeNotNeeded
};

// FindUpgradableProduct with `observer` watching, and what its answer decides.
EligibilityChecks CheckEligibility(const std::wstring &packagePath, EligibilityObserver *observer = nullptr);

// A package's signature and, once that is accepted, its eligibility.
struct PackageChecks {
    DWORD hold = 0;   // what holding the file unchanged gave; nothing else is checked unless 0
    bool signatureRun = false;
    SignatureChecks signature;
    bool eligibilityRun = false;
    EligibilityChecks eligibility;
    // ResultSignRejected, ResultNoUpgradableProduct, ResultUpgradeNotNeeded, or ResultGoAhead: the
    // package passes and the service goes on to advertise it (which alone can still fail, 28403).
    int decision = protocol::ResultGoAhead;
};

// The package's own checks, as the session runs them for a package without transforms, once the
// caller has tried to hold the file (HoldFile, with the client's identity): a file that cannot be
// held unchanged is refused unread. Nothing is logged, locked or advertised.
PackageChecks CheckPackage(const std::wstring &packagePath, DWORD holdResult,
                           EligibilityObserver *observer = nullptr);

} // namespace nvupdater
