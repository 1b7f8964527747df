#include "inspection/packagedecision.h"

#include "inspection/inspection.h"

namespace nvupdater {

const wchar_t kAcceptedPublisherNorvo[] = L"Norvo Technologies, Inc.";
const wchar_t kAcceptedPublisherVarda[] = L"Varda Software Development Ltd.";

PackageChecks CheckPackage(const std::wstring &packagePath, EligibilityObserver *observer)
{
    PackageChecks checks;
    // All three are evaluated, in this order, whatever the first one says.
    checks.trust = VerifyPackageTrust(packagePath);
    checks.norvo = CheckPackagePublisher(packagePath, kAcceptedPublisherNorvo);
    checks.varda = CheckPackagePublisher(packagePath, kAcceptedPublisherVarda);
    checks.signAccepted = checks.trust == 0 && (checks.norvo == 0 || checks.varda == 0);
    if (!checks.signAccepted) {
        checks.decision = ResultSignRejected;
        return checks;
    }

    checks.eligibilityRun = true;
    checks.upgradable = FindUpgradableProduct(packagePath, checks.upgradeNotNeeded, observer);
    if (checks.upgradable == 0)
        checks.decision = checks.upgradeNotNeeded ? ResultUpgradeNotNeeded : ResultNoUpgradableProduct;
    else
        checks.decision = ResultGoAhead;
    return checks;
}

} // namespace nvupdater
