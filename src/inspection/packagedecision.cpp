#include "inspection/packagedecision.h"

#include "inspection/eligibility.h"
#include "inspection/signercheck.h"

namespace nvupdater {

const wchar_t kAcceptedPublisherNorvo[] = L"Norvo Technologies, Inc.";
const wchar_t kAcceptedPublisherVarda[] = L"Varda Software Development Ltd.";

SignatureChecks CheckPackageSignature(HANDLE file, const std::wstring &path)
{
    SignatureChecks checks;
    checks.trust = VerifyPackageTrust(file, path);
    checks.norvo = CheckPackagePublisher(file, kAcceptedPublisherNorvo);
    checks.varda = CheckPackagePublisher(file, kAcceptedPublisherVarda);
    return checks;
}

std::vector<TransformCheck> CheckTransforms(const std::wstring &transforms, const TransformHolder &hold)
{
    std::vector<TransformCheck> checks;
    for (const TransformItem &item : SplitTransforms(transforms)) {
        TransformCheck check;
        check.item = item;
        if (!item.embedded) {
            HANDLE held = nullptr;
            check.hold = hold(item.file, held);
            if (check.hold == ERROR_SUCCESS) {
                check.signatureRun = true;
                check.signature = CheckPackageSignature(held, item.file);
            }
        }
        checks.push_back(check);
        if (!check.accepted())
            break;
    }
    return checks;
}

EligibilityChecks CheckEligibility(PackageReader &package, EligibilityObserver *observer)
{
    EligibilityChecks checks;
    checks.upgradable = FindUpgradableProduct(package, checks.upgradeNotNeeded, observer);
    if (checks.upgradable != 0)
        checks.decision = protocol::ResultGoAhead;
    else if (checks.upgradeNotNeeded)
        checks.decision = protocol::ResultUpgradeNotNeeded;
    else
        checks.decision = protocol::ResultNoUpgradableProduct;
    return checks;
}

} // namespace nvupdater
