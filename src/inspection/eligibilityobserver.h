// What FindUpgradableProduct saw, row by row, for a caller that wants to explain its answer (the
// package check tool). The service passes no observer; the answer is the same either way.
#pragma once

#include <windows.h>

#include <string>

namespace nvupdater {

// The two passes over the NVUpdate table: rows of the package's own upgrade code, then the others.
enum class RowSet { Own, Other };

// How one row was judged, in the order of the checks.
enum class RowOutcome {
    Unreadable,        // a text field could not be read: the row is not judged
    NotInstalled,      // FindProductByUpgradeCode failed (its result is in `lookup`)
    AtOrBelowMinimum,  // installed version not above VersionMin
    AtOrAboveMaximum,  // installed version not below VersionMax
    UpgradeNotNeeded,  // Attributes bit 0 and an installed version not below the package's
    Eligible,
};

// Where the examination ended.
enum class EligibilityStop {
    MissingProperty,      // UpgradeCode, ProductCode or ProductVersion empty: no row examined
    OwnQueryFailed,       // own rows cannot be queried (no NVUpdate table): other rows not examined
    OwnRowEligible,       // an own row is eligible: other rows not examined
    OwnRowNotNeeded,      // an own row needs no upgrade and none is eligible: other rows not examined
    OtherQueryFailed,     // other rows cannot be queried
    AllRowsExamined,
};

// The package's properties as FindUpgradableProduct read them.
struct PackageIdentity {
    std::wstring upgradeCode;
    std::wstring productCode;
    std::wstring productVersion;
    std::wstring normalizedVersion;   // of productVersion
};

// One row as written in the package and as the service compared it.
struct ExaminedRow {
    RowSet set = RowSet::Own;
    std::wstring upgradeCode;
    std::wstring versionMin;             // as written
    std::wstring versionMax;             // as written
    std::wstring normalizedMin;
    std::wstring normalizedMax;
    bool attributesRead = false;         // only own rows carry Attributes
    int attributes = 0;                  // as read; the installer's null integer when empty
    LONG lookup = 0;                     // FindProductByUpgradeCode's result
    std::wstring installedProductCode;   // braced, when found
    std::wstring installedVersion;       // "DisplayVersion" as registered
    std::wstring normalizedInstalled;
    RowOutcome outcome = RowOutcome::Unreadable;
};

class EligibilityObserver {
public:
    virtual ~EligibilityObserver() = default;
    virtual void PackageRead(const PackageIdentity &identity) = 0;
    // A pass's query was run: 0, or the installer's error (1615: no such table).
    virtual void QueryRun(RowSet set, UINT result) = 0;
    virtual void RowExamined(const ExaminedRow &row) = 0;
    // The fetch that ended a pass: 259 (ERROR_NO_MORE_ITEMS) when every row was read.
    virtual void RowsEnded(RowSet set, UINT fetchResult) = 0;
    virtual void Stopped(EligibilityStop stop) = 0;
};

} // namespace nvupdater
