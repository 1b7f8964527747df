// Upgrade eligibility: the package names, in its own NVUpdate table, the installed products it may
// upgrade and in which version ranges.
#include "inspection/inspection.h"

namespace nvupdater {

namespace {

const size_t kFieldCapacity = 260;   // characters, terminator included
const int kNewerOnly = 1;            // Attributes bit 0: upgrade only to a newer version

const wchar_t kOwnRowsQuery[] =
    L"SELECT `UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes` FROM `NVUpdate` WHERE `UpgradeCode` = '";
const wchar_t kOtherRowsQuery[] =
    L"SELECT `UpgradeCode`, `VersionMin`, `VersionMax` FROM `NVUpdate` WHERE `UpgradeCode` <> '";

struct Row {
    std::wstring upgradeCode;
    std::wstring versionMin;   // normalised
    std::wstring versionMax;   // normalised
    int attributes = 0;
};

// A text field, or false when it cannot be read (too long included).
bool readText(msi::Handle record, UINT field, std::wstring &text)
{
    wchar_t buffer[kFieldCapacity] = {};
    DWORD capacity = kFieldCapacity;
    if (msi::RecordGetString(record, field, buffer, &capacity) != ERROR_SUCCESS)
        return false;
    text.assign(buffer);
    return true;
}

// A row whose texts cannot all be read is not judged at all: an unread bound must not act as
// "no bound".
bool readRow(msi::Handle record, bool withAttributes, Row &row)
{
    std::wstring versionMin, versionMax;
    if (!readText(record, 1, row.upgradeCode) || !readText(record, 2, versionMin) || !readText(record, 3, versionMax))
        return false;
    row.versionMin = NormalizeVersion(versionMin);
    row.versionMax = NormalizeVersion(versionMax);
    row.attributes = withAttributes ? msi::RecordGetInteger(record, 4) : 0;
    return true;
}

// Bounds are exclusive; "0" means no bound. Texts compare code unit by code unit.
bool inRange(const std::wstring &installed, const Row &row)
{
    if (row.versionMin != L"0" && !(installed > row.versionMin))
        return false;
    if (row.versionMax != L"0" && !(installed < row.versionMax))
        return false;
    return true;
}

// Runs `query`, then calls `judge` for each readable row whose upgrade code has an installed
// product, with that product's normalised version. False when the query cannot be run.
template <typename Judge>
bool forEachInstalledRow(const std::wstring &packagePath, const std::wstring &query, bool withAttributes, Judge judge)
{
    msi::UniqueHandle view, database;
    if (OpenPackageQuery(packagePath, query, view, database) != ERROR_SUCCESS)
        return false;
    for (;;) {
        msi::UniqueHandle record;
        // Anything but a row (no more rows, or a failure) ends the loop.
        if (msi::ViewFetch(view.get(), record) != ERROR_SUCCESS)
            break;
        Row row;
        if (!readRow(record.get(), withAttributes, row))
            continue;
        std::wstring installed;
        if (FindProductByUpgradeCode(row.upgradeCode, installed) != ERROR_SUCCESS)
            continue;
        judge(row, NormalizeVersion(installed));
    }
    msi::ViewClose(view.get());
    return true;
}

} // namespace

void SetInstallerUiLevelNone() { msi::SetInternalUI(2); }

std::wstring ReadPackageProperty(const std::wstring &packagePath, const std::wstring &property)
{
    msi::UniqueHandle session;
    if (msi::OpenPackage(packagePath, session) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t value[kFieldCapacity] = {};
    DWORD capacity = kFieldCapacity;
    if (msi::GetProductProperty(session.get(), property.c_str(), value, &capacity) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

UINT OpenPackageQuery(const std::wstring &packagePath, const std::wstring &query, msi::UniqueHandle &view,
                      msi::UniqueHandle &database)
{
    msi::UniqueHandle openedDatabase, openedView;
    UINT result = msi::OpenDatabase(packagePath, openedDatabase);
    if (result != ERROR_SUCCESS)
        return result;
    result = msi::OpenView(openedDatabase.get(), query, openedView);
    if (result != ERROR_SUCCESS)
        return result;
    result = msi::ViewExecute(openedView.get());
    if (result != ERROR_SUCCESS) {
        msi::ViewClose(openedView.get());
        return result;
    }
    view = std::move(openedView);
    database = std::move(openedDatabase);
    return ERROR_SUCCESS;
}

int FindUpgradableProduct(const std::wstring &packagePath, int &upgradeNotNeeded)
{
    const std::wstring upgradeCode = ReadPackageProperty(packagePath, L"UpgradeCode");
    const std::wstring productCode = ReadPackageProperty(packagePath, L"ProductCode");
    const std::wstring productVersion = ReadPackageProperty(packagePath, L"ProductVersion");
    if (upgradeCode.empty() || productCode.empty() || productVersion.empty())
        return 0;
    const std::wstring packageVersion = NormalizeVersion(productVersion);

    bool eligible = false;
    bool ran = forEachInstalledRow(packagePath, kOwnRowsQuery + upgradeCode + L"'", true,
                                   [&](const Row &row, const std::wstring &installed) {
                                       if (!inRange(installed, row))
                                           return;
                                       if ((row.attributes & kNewerOnly) && !(installed < packageVersion)) {
                                           upgradeNotNeeded = 1;
                                           return;
                                       }
                                       eligible = true;
                                   });
    if (!ran)
        return 0;
    if (eligible)
        return 1;
    if (upgradeNotNeeded)
        return 0;

    forEachInstalledRow(packagePath, kOtherRowsQuery + upgradeCode + L"'", false,
                        [&](const Row &row, const std::wstring &installed) {
                            if (inRange(installed, row))
                                eligible = true;
                        });
    return eligible ? 1 : 0;
}

} // namespace nvupdater
