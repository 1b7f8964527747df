// The checks that decide whether the service accepts a package, and what each of them found. The
// examination (packagepipeline.h) runs them in the service's order for every caller.
#pragma once

#include "inspection/eligibilityobserver.h"
#include "inspection/packagedatabase.h"
#include "inspection/transforms.h"
#include "protocol/protocol.h"   // the result codes

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

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

// Trust, then both publishers: all three always, in this order, whatever the first one says; on the
// file held by `file` (which `path` names).
SignatureChecks CheckPackageSignature(HANDLE file, const std::wstring &path);

// Holds one transform file as HoldFile does, keeping the hold itself: HoldFile's result, and on
// success the held handle, which stays valid while the checks run.
using TransformHolder = std::function<DWORD(const std::wstring &file, HANDLE &held)>;

// Upgrade eligibility, and the decision it makes on its own.
struct EligibilityChecks {
    int upgradable = 0;         // FindUpgradableProduct
    int upgradeNotNeeded = 0;
    int decision = protocol::ResultGoAhead;   // or ResultNoUpgradableProduct, ResultUpgradeNotNeeded
};

// FindUpgradableProduct with `observer` watching, and what its answer decides.
EligibilityChecks CheckEligibility(PackageReader &package, EligibilityObserver *observer = nullptr);

// One transform of the package command. An embedded one is covered by the package's signature; a
// file must be held unchanged and signed like the package.
struct TransformCheck {
    TransformItem item;
    DWORD hold = 0;
    bool signatureRun = false;
    SignatureChecks signature;
    bool accepted() const { return item.embedded || (hold == ERROR_SUCCESS && signature.accepted()); }
};

// Checks the transforms text's items in order and stops after the first one refused (the last
// element then). `hold` holds each file; its signature is checked through the held handle.
std::vector<TransformCheck> CheckTransforms(const std::wstring &transforms, const TransformHolder &hold);

// What the checks of one package found, up to the first refusal.
struct PackageChecks {
    DWORD hold = 0;   // what holding the file unchanged gave; nothing else is checked unless 0
    bool signatureRun = false;
    SignatureChecks signature;
    bool transformsRun = false;
    std::vector<TransformCheck> transforms;   // up to the first one refused
    bool eligibilityRun = false;
    EligibilityChecks eligibility;
    // ResultSignRejected, ResultNoUpgradableProduct, ResultUpgradeNotNeeded, or ResultGoAhead: the
    // package passes and the service goes on to advertise it (which alone can still fail, 28403).
    int decision = protocol::ResultGoAhead;
};

} // namespace nvupdater
