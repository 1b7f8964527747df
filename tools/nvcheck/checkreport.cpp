#include "checkreport.h"

#include "inspection/eligibility.h"
#include "inspection/packagepipeline.h"

namespace nvcheck {

namespace {

using namespace nvupdater;

class Recorder : public EligibilityObserver {
public:
    explicit Recorder(CheckReport &report) : report_(report) {}

    void PackageRead(const PackageIdentity &identity) override
    {
        report_.identityRead = true;
        report_.identity = identity;
    }
    void QueryRun(RowSet set, UINT result) override
    {
        pass(set).queried = true;
        pass(set).queryResult = result;
    }
    void RowExamined(const ExaminedRow &row) override { pass(row.set).rows.push_back(row); }
    void RowsEnded(RowSet set, UINT fetchResult) override
    {
        pass(set).ended = true;
        pass(set).fetchResult = fetchResult;
    }
    void Stopped(EligibilityStop stop) override
    {
        report_.stopped = true;
        report_.stop = stop;
    }

private:
    RowPass &pass(RowSet set) { return set == RowSet::Own ? report_.own : report_.other; }
    CheckReport &report_;
};

} // namespace

CheckReport CheckPackageFile(const std::wstring &packagePath, const std::wstring &transforms)
{
    CheckReport report;
    report.packagePath = packagePath;
    report.transforms = transforms;
    Recorder recorder(report);
    ExaminationOptions options;
    options.eligibility = &recorder;
    // Held for as long as the checks run, as the service holds it: the file cannot change under them.
    Examination examination;
    ExaminePackage(packagePath, transforms, options, examination);
    report.checks = examination.checks;
    if (examination.package) {
        report.productCode = examination.productCode;
        report.productVersion = examination.productVersion;
        report.upgradeCode = examination.database.Property(L"UpgradeCode");
    }
    return report;
}

} // namespace nvcheck

namespace nvcheck {

const wchar_t *DecisionMeaning(int decision)
{
    switch (decision) {
    case nvupdater::protocol::ResultGoAhead:
        return L"go-ahead: the service would advertise the package and let the Setup Wrapper install it";
    case nvupdater::protocol::ResultSignRejected:
        return L"refused: the package's signature is not trusted, or it is signed by none of the accepted publishers";
    case nvupdater::protocol::ResultNoUpgradableProduct:
        return L"refused: no installed product that this package may upgrade was found";
    case nvupdater::protocol::ResultUpgradeNotNeeded:
        return L"refused: an installed product was found, but it needs no upgrade by this package";
    default:
        return L"refused";
    }
}

const wchar_t *OutcomeWords(nvupdater::RowOutcome outcome)
{
    switch (outcome) {
    case nvupdater::RowOutcome::Unreadable:
        return L"skipped: a field of the row cannot be read";
    case nvupdater::RowOutcome::NotInstalled:
        return L"skipped: no installed product has this upgrade code";
    case nvupdater::RowOutcome::AtOrBelowMinimum:
        return L"below or at the lower bound";
    case nvupdater::RowOutcome::AtOrAboveMaximum:
        return L"at or above the upper bound";
    case nvupdater::RowOutcome::UpgradeNotNeeded:
        return L"upgrade not needed: Attributes bit 0, and the installed version is not below the package's";
    case nvupdater::RowOutcome::Eligible:
        return L"eligible";
    }
    return L"";
}

const wchar_t *StopWords(nvupdater::EligibilityStop stop)
{
    switch (stop) {
    case nvupdater::EligibilityStop::MissingProperty:
        return L"before any row: the package's UpgradeCode, ProductCode or ProductVersion cannot be read";
    case nvupdater::EligibilityStop::OwnQueryFailed:
        return L"at the own rows: they cannot be queried, so rows of other upgrade codes are not examined either";
    case nvupdater::EligibilityStop::OwnRowEligible:
        return L"after the own rows: one is eligible, so rows of other upgrade codes are not examined";
    case nvupdater::EligibilityStop::OwnRowNotNeeded:
        return L"after the own rows: none is eligible but one needs no upgrade, so rows of other upgrade codes are "
               L"not examined";
    case nvupdater::EligibilityStop::OtherQueryFailed:
        return L"at the rows of other upgrade codes: they cannot be queried";
    case nvupdater::EligibilityStop::AllRowsExamined:
        return L"after every row";
    }
    return L"";
}

} // namespace nvcheck
