#include "inspection/packagedecision.h"

#include "inspection/inspection.h"

namespace nvupdater {

const wchar_t kAcceptedPublisherNorvo[] = L"Norvo Technologies, Inc.";
const wchar_t kAcceptedPublisherVarda[] = L"Varda Software Development Ltd.";

SignatureChecks CheckPackageSignature(const std::wstring &path)
{
    SignatureChecks checks;
    checks.trust = VerifyPackageTrust(path);
    checks.norvo = CheckPackagePublisher(path, kAcceptedPublisherNorvo);
    checks.varda = CheckPackagePublisher(path, kAcceptedPublisherVarda);
    return checks;
}

EligibilityChecks CheckEligibility(const std::wstring &packagePath, EligibilityObserver *observer)
{
    EligibilityChecks checks;
    checks.upgradable = FindUpgradableProduct(packagePath, checks.upgradeNotNeeded, observer);
    if (checks.upgradable != 0)
        checks.decision = protocol::ResultGoAhead;
    else if (checks.upgradeNotNeeded)
        checks.decision = protocol::ResultUpgradeNotNeeded;
    else
        checks.decision = protocol::ResultNoUpgradableProduct;
    return checks;
}

PackageChecks CheckPackage(const std::wstring &packagePath, DWORD holdResult, EligibilityObserver *observer)
{
    PackageChecks checks;
    checks.hold = holdResult;
    if (holdResult != ERROR_SUCCESS) {
        checks.decision = protocol::ResultSignRejected;
        return checks;
    }
    checks.signatureRun = true;
    checks.signature = CheckPackageSignature(packagePath);
    if (!checks.signature.accepted()) {
        checks.decision = protocol::ResultSignRejected;
        return checks;
    }
    checks.eligibilityRun = true;
    checks.eligibility = CheckEligibility(packagePath, observer);
    checks.decision = checks.eligibility.decision;
    return checks;
}

} // namespace nvupdater
