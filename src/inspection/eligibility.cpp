// Upgrade eligibility: the package names, in its own NVUpdate table, the installed products it may
// upgrade and in which version ranges.
#include "inspection/eligibility.h"

#include "inspection/productinventory.h"

namespace nvupdater {

namespace {

const DWORD kFieldCapacity = 260;   // characters, terminator included
const int kNewerOnly = 1;            // Attributes bit 0: upgrade only to a newer version
const wchar_t kNoBound[] = L"0";     // a bound written so is none

const wchar_t kOwnRowsQuery[] =
    L"SELECT `UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes` FROM `NVUpdate` WHERE `UpgradeCode` = '";
const wchar_t kOtherRowsQuery[] =
    L"SELECT `UpgradeCode`, `VersionMin`, `VersionMax` FROM `NVUpdate` WHERE `UpgradeCode` <> '";

// Stands in when the caller passes no observer, so the examination reads the same either way.
class NoObserver : public EligibilityObserver {
public:
    void PackageRead(const PackageIdentity &) override {}
    void QueryRun(RowSet, UINT) override {}
    void RowExamined(const ExaminedRow &) override {}
    void RowsEnded(RowSet, UINT) override {}
    void Stopped(EligibilityStop) override {}
};

// A row whose texts cannot all be read is not judged at all: an unread bound must not act as
// "no bound".
bool readRow(msi::Handle record, ExaminedRow &row)
{
    if (!msi::RecordText(record, 1, kFieldCapacity, row.upgradeCode) ||
        !msi::RecordText(record, 2, kFieldCapacity, row.versionMin) ||
        !msi::RecordText(record, 3, kFieldCapacity, row.versionMax))
        return false;
    row.minNumber = VersionNumber(row.versionMin);
    row.maxNumber = VersionNumber(row.versionMax);
    row.attributesRead = row.set == RowSet::Own;
    row.attributes = row.attributesRead ? msi::RecordGetInteger(record, 4) : 0;
    return true;
}

// Bounds are exclusive; a bound written "0" means none. Versions compare as numbers.
RowOutcome rangeOutcome(const ExaminedRow &row)
{
    if (row.versionMin != kNoBound && !(row.installedNumber > row.minNumber))
        return RowOutcome::AtOrBelowMinimum;
    if (row.versionMax != kNoBound && !(row.installedNumber < row.maxNumber))
        return RowOutcome::AtOrAboveMaximum;
    return RowOutcome::Eligible;
}

// Runs the pass's query and judges each row: readable, its upgrade code installed, then `judge`
// (which returns the outcome of a row that has an installed product). False when the query cannot
// be run.
template <typename Judge>
bool examineRows(PackageReader &package, const std::wstring &query, RowSet set, EligibilityObserver &observer,
                 Judge judge)
{
    msi::UniqueHandle view;
    UINT opened = package.Query(query, view);
    observer.QueryRun(set, opened);
    if (opened != ERROR_SUCCESS)
        return false;
    UINT fetched;
    for (;;) {
        msi::UniqueHandle record;
        // Anything but a row (no more rows, or a failure) ends the loop.
        fetched = msi::ViewFetch(view.get(), record);
        if (fetched != ERROR_SUCCESS)
            break;
        ExaminedRow row;
        row.set = set;
        if (!readRow(record.get(), row)) {
            row.outcome = RowOutcome::Unreadable;
        } else {
            std::wstring packedProduct;
            row.lookup = FindProductByUpgradeCode(row.upgradeCode, row.installedVersion, packedProduct);
            if (row.lookup != ERROR_SUCCESS) {
                row.outcome = RowOutcome::NotInstalled;
            } else {
                row.installedProductCode = UnpackGuid(packedProduct);
                row.installedNumber = VersionNumber(row.installedVersion);
                row.outcome = judge(row);
            }
        }
        observer.RowExamined(row);
    }
    (void)msi::ViewClose(view.get());   // every row is read; the handle's close follows regardless
    observer.RowsEnded(set, fetched);
    return true;
}

int stop(EligibilityObserver &observer, EligibilityStop where, int result)
{
    observer.Stopped(where);
    return result;
}

} // namespace

void SetInstallerUiLevelNone() { msi::SetInternalUI(2); }

int FindUpgradableProduct(PackageReader &package, int &upgradeNotNeeded, EligibilityObserver *observer)
{
    NoObserver none;
    EligibilityObserver &watch = observer ? *observer : none;

    PackageIdentity identity;
    identity.upgradeCode = package.Property(L"UpgradeCode");
    identity.productCode = package.Property(L"ProductCode");
    identity.productVersion = package.Property(L"ProductVersion");
    identity.versionNumber = VersionNumber(identity.productVersion);
    watch.PackageRead(identity);
    if (identity.upgradeCode.empty() || identity.productCode.empty() || identity.productVersion.empty())
        return stop(watch, EligibilityStop::MissingProperty, 0);

    bool eligible = false;
    bool ran = examineRows(package, kOwnRowsQuery + identity.upgradeCode + L"'", RowSet::Own, watch,
                           [&](const ExaminedRow &row) {
                               RowOutcome outcome = rangeOutcome(row);
                               if (outcome != RowOutcome::Eligible)
                                   return outcome;
                               const bool newer = row.installedNumber < identity.versionNumber;
                               if ((row.attributes & kNewerOnly) && !newer) {
                                   upgradeNotNeeded = 1;
                                   return RowOutcome::UpgradeNotNeeded;
                               }
                               eligible = true;
                               return RowOutcome::Eligible;
                           });
    if (!ran)
        return stop(watch, EligibilityStop::OwnQueryFailed, 0);
    if (eligible)
        return stop(watch, EligibilityStop::OwnRowEligible, 1);
    if (upgradeNotNeeded)
        return stop(watch, EligibilityStop::OwnRowNotNeeded, 0);

    ran = examineRows(package, kOtherRowsQuery + identity.upgradeCode + L"'", RowSet::Other, watch,
                      [&](const ExaminedRow &row) {
                          RowOutcome outcome = rangeOutcome(row);
                          if (outcome == RowOutcome::Eligible)
                              eligible = true;
                          return outcome;
                      });
    if (!ran)
        return stop(watch, EligibilityStop::OtherQueryFailed, 0);
    return stop(watch, EligibilityStop::AllRowsExamined, eligible ? 1 : 0);
}

} // namespace nvupdater
