// Installed products and upgrade eligibility, against products really installed by msiexec and
// registry fixtures for the rarer cases.
#include "inspection/eligibility.h"
#include "inspection/productinventory.h"
#include "inspection/version.h"
#include "kit.h"

#include <gtest/gtest.h>

#include <cwchar>

using namespace nvupdater;

namespace {

const REGSAM k32 = KEY_WOW64_32KEY;
const REGSAM k64 = KEY_WOW64_64KEY;
const std::wstring kUpgradeCodes = L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\";
const std::wstring kMachineProducts =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\";
const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// What "%d.%d.%d" of the C library reads in an ordinary version, written back the same way.
std::wstring libraryNumbers(const std::wstring &version)
{
    int major = 0, minor = 0, build = 0;
    swscanf(version.c_str(), L"%d.%d.%d", &major, &minor, &build);
    wchar_t text[64];
    _snwprintf(text, 63, L"%d.%d.%d", major, minor, build);
    text[63] = L'\0';
    return text;
}

std::wstring numbers(const wchar_t *version) { return VersionNumber(version).Text(); }

TEST(PackGuid, PacksEachGroupReversed)
{
    EXPECT_EQ(L"87654321CBA90FED21436587A9CBED0F", PackGuid(L"{12345678-9ABC-DEF0-1234-56789ABCDEF0}"));
    EXPECT_EQ(PackGuid(L"{12345678-9ABC-DEF0-1234-56789ABCDEF0}"), PackGuid(L"12345678-9ABC-DEF0-1234-56789ABCDEF0"));
    EXPECT_EQ(L"87654321cba90fed", PackGuid(L"{12345678-9abc-def0"));   // letter case kept, short text clipped
    EXPECT_EQ(L"", PackGuid(L"{}"));
}

TEST(VersionNumber, ExamplesAndTheLibraryForm)
{
    EXPECT_EQ(L"9.1.5", numbers(L"9.1.5"));
    EXPECT_EQ(L"10.2.0", numbers(L"10.2"));
    EXPECT_EQ(L"1.2.3", numbers(L"1.2.3.4"));
    EXPECT_EQ(L"0.0.0", numbers(L"abc"));
    EXPECT_EQ(L"123.4.5", numbers(L"123.4.5"));
    EXPECT_EQ(L"0.0.0", numbers(L"0"));
    EXPECT_EQ(L"", numbers(L""));
    EXPECT_EQ(L"0.0.0", numbers(L"00"));
    // A sign with no digit after it is 0, and what follows it is not read.
    EXPECT_EQ(L"1.0.0", numbers(L"1.-"));
    EXPECT_EQ(L"1.0.0", numbers(L"1.+.5"));

    // Every ordinary input reads as the C library reads it.
    for (const wchar_t *v : {L"9.10.0", L"9.9.0", L" 7.8.9", L"-1.2.3", L"+4.5.6", L"1.x.3", L"1..3", L"1. 2.3",
                             L"007.08.0000009", L"2147483647.1.1", L"1.2.", L".5", L"12", L"-0.-0.-0", L"3.-7", L"5"}) {
        SCOPED_TRACE(nvtest::narrow(v));
        EXPECT_EQ(libraryNumbers(v), numbers(v));
    }
}

TEST(VersionNumber, ComparesPartByPartAsNumbers)
{
    struct Case {
        const wchar_t *lower, *higher;
    } cases[] = {
        {L"1.99.0", L"1.100.0"},   // as text, 1.100 sorted below 1.99
        {L"99.0.0", L"100.0.0"},
        {L"9.9.0", L"9.10.0"},
        {L"1.2.999", L"1.3.0"},
        {L"1.2.99999", L"1.2.100000"},
        {L"-1.0.0", L"0.0.0"},
        {L"-2.0.0", L"-1.0.0"},
        {L"", L"-5.0.0"},          // the empty text is below every version
        {L"1.2.4294967295", L"1.2.4294967296"},
        {L"99999999999999999998.1.2", L"99999999999999999999.1.2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.lower) + " < " + nvtest::narrow(c.higher));
        EXPECT_LT(VersionNumber(c.lower), VersionNumber(c.higher));
        EXPECT_GT(VersionNumber(c.higher), VersionNumber(c.lower));
    }
    // Leading zeros, a plus sign, a fourth part and "-0" change nothing.
    EXPECT_EQ(VersionNumber(L"1.2.3"), VersionNumber(L"001.02.0003.9"));
    EXPECT_EQ(VersionNumber(L"1.0.0"), VersionNumber(L"+1.-0"));
    EXPECT_EQ(VersionNumber(L"1.0.0"), VersionNumber(L"1.-"));
}

TEST(VersionNumber, PartsBeyondAnIntegerKeepTheirDigits)
{
    EXPECT_EQ(L"99999999999999999999.1.2", numbers(L"99999999999999999999.1.2"));
    EXPECT_EQ(L"1.2.4294967296", numbers(L"1.2.4294967296"));
    EXPECT_EQ(L"-2147483649.0.0", numbers(L"-2147483649"));
    // Nothing wraps around: one past the largest integer stays positive.
    EXPECT_EQ(L"2147483648.0.0", numbers(L"2147483648"));
    EXPECT_GT(VersionNumber(L"2147483648"), VersionNumber(L"2147483647"));
}

// Eligibility of a kit package against the installed state: result and upgradeNotNeeded.
struct Eligibility {
    int result;
    int notNeeded;
};
Eligibility eligibility(const std::wstring &name)
{
    int notNeeded = 0;
    PackageDatabase package;
    (void)package.Open(kit::package(name));   // a package that cannot be opened is not eligible
    int result = FindUpgradableProduct(package, notNeeded);
    return {result, notNeeded};
}
void expectEligibility(const wchar_t *name, int result, int notNeeded)
{
    Eligibility e = eligibility(name);
    EXPECT_EQ(result, e.result) << nvtest::narrow(name);
    EXPECT_EQ(notNeeded, e.notNeeded) << nvtest::narrow(name);
}

// Registry fixtures of one product registered under one upgrade code, removed afterwards.
class Inventory : public ::testing::Test {
protected:
    const std::wstring upgradeCode = L"{0B0B0000-2222-4222-8222-000000000001}";
    const std::wstring first = L"{0C0C0000-3333-4333-8333-000000000001}";
    const std::wstring second = L"{0C0C0000-3333-4333-8333-000000000002}";

    void TearDown() override
    {
        for (REGSAM view : {k32, k64}) {
            kit::deleteTree(view, kUpgradeCodes + PackGuid(upgradeCode));
            for (const std::wstring &code : {first, second}) {
                kit::deleteTree(view, kMachineProducts + PackGuid(code));
                kit::deleteTree(view, kUninstall + code);
            }
        }
    }
    void registerUnder(REGSAM view, const std::wstring &product)
    {
        ASSERT_TRUE(kit::setString(view, kUpgradeCodes + PackGuid(upgradeCode), PackGuid(product).c_str(), L""));
    }
    void installProperties(REGSAM view, const std::wstring &product, const std::wstring &version)
    {
        ASSERT_TRUE(kit::setString(view, kMachineProducts + PackGuid(product) + L"\\InstallProperties",
                                   L"DisplayVersion", version));
    }
};

// The x86 build runs on WoW64; the x64 build does not. Both read the two registry views of 64-bit
// Windows (the uninstall entry's 32-bit view first, below).
TEST_F(Inventory, ReadsBothViewsOf64BitWindowsAsEitherType)
{
    EXPECT_EQ(!nvtest::kX64Build, IsRunningOnWow64());
    EXPECT_TRUE(HasBothRegistryViews());
}

TEST_F(Inventory, UpgradeCodeWithoutProductsIsNotFound)
{
    std::wstring version = L"untouched";
    EXPECT_EQ(2, FindProductByUpgradeCode(upgradeCode, version));
    ASSERT_TRUE(kit::setValue(k64, kUpgradeCodes + PackGuid(upgradeCode), nullptr, 0, nullptr, 0));
    EXPECT_EQ(2, FindProductByUpgradeCode(upgradeCode, version));
    EXPECT_EQ(L"untouched", version);
}

TEST_F(Inventory, OnlyTheFirstProductOfAnUpgradeCodeCounts)
{
    registerUnder(k64, first);
    registerUnder(k64, second);
    installProperties(k64, first, L"1.0.0");
    installProperties(k64, second, L"2.0.0");
    std::wstring version;
    EXPECT_EQ(0, FindProductByUpgradeCode(upgradeCode, version));
    EXPECT_EQ(L"1.0.0", version);
}

TEST_F(Inventory, OnlyPerMachineRegistrationInThe64BitViewCounts)
{
    registerUnder(k64, first);
    std::wstring version;
    // A product installed for one user: no per-machine InstallProperties.
    EXPECT_EQ(2, FindProductByUpgradeCode(upgradeCode, version));
    // Per-machine data in the 32-bit view is not where the installer keeps it.
    installProperties(k32, first, L"1.0.0");
    EXPECT_EQ(2, FindProductByUpgradeCode(upgradeCode, version));
    installProperties(k64, first, L"1.2.3");
    EXPECT_EQ(0, FindProductByUpgradeCode(upgradeCode, version));
    EXPECT_EQ(L"1.2.3", version);
}

TEST_F(Inventory, DisplayVersionMustBeANonEmptyPlainString)
{
    registerUnder(k64, first);
    const std::wstring properties = kMachineProducts + PackGuid(first) + L"\\InstallProperties";
    const std::wstring uninstall = kUninstall + first;
    const wchar_t expandable[] = L"%VERSION%";
    const DWORD number = 9;
    struct Case {
        DWORD type;
        const void *data;
        DWORD size;
    } cases[] = {{REG_EXPAND_SZ, expandable, sizeof(expandable)}, {REG_DWORD, &number, sizeof(number)},
                 {REG_SZ, L"", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(kit::setValue(k64, properties, L"DisplayVersion", c.type, c.data, c.size));
        ASSERT_TRUE(kit::setValue(k32, uninstall, L"DisplayVersion", c.type, c.data, c.size));
        std::wstring version;
        EXPECT_EQ(1015, FindProductByUpgradeCode(upgradeCode, version));
        EXPECT_EQ(1015, CheckInstalledVersion(first, L"9"));
        EXPECT_EQ(0, IsProductRegistered(first));   // the value exists, whatever its kind
    }
}

TEST_F(Inventory, UninstallEntryIn32BitViewFirstThen64BitView)
{
    EXPECT_EQ(2, IsProductRegistered(first));
    EXPECT_EQ(2, CheckInstalledVersion(first, L"1.0.0"));

    ASSERT_TRUE(kit::setString(k64, kUninstall + first, L"DisplayVersion", L"6.4.0"));
    EXPECT_EQ(0, IsProductRegistered(first));
    EXPECT_EQ(0, CheckInstalledVersion(first, L"6.4.0"));

    ASSERT_TRUE(kit::setString(k32, kUninstall + first, L"DisplayVersion", L"3.2.0"));
    EXPECT_EQ(0, CheckInstalledVersion(first, L"3.2.0"));
    EXPECT_EQ(-2, CheckInstalledVersion(first, L"6.4.0"));
    norvo::tiny::UniqueKey key;
    EXPECT_EQ(0, OpenUninstallKey(first, key));
    EXPECT_TRUE(key.valid());

    // An entry without "DisplayVersion" is not a registered product.
    ASSERT_TRUE(kit::setValue(k32, kUninstall + second, nullptr, 0, nullptr, 0));
    EXPECT_EQ(2, IsProductRegistered(second));
    EXPECT_EQ(2, CheckInstalledVersion(second, L"1"));
}

// Family V exists only as a registry fixture: one product, at the version each case names. Its
// packages in the kit upgrade it with the newer-only bit, or within bounds of three-digit parts.
class VersionFamily : public ::testing::Test {
protected:
    const std::wstring product = L"{0C0C0000-3333-4333-8333-000000000003}";
    void TearDown() override
    {
        kit::deleteTree(k64, kUpgradeCodes + PackGuid(kit::kFamilyV));
        kit::deleteTree(k64, kMachineProducts + PackGuid(product));
    }
    void installAt(const std::wstring &version)
    {
        ASSERT_TRUE(kit::setString(k64, kUpgradeCodes + PackGuid(kit::kFamilyV), PackGuid(product).c_str(), L""));
        ASSERT_TRUE(kit::setString(k64, kMachineProducts + PackGuid(product) + L"\\InstallProperties",
                                   L"DisplayVersion", version));
    }
};

TEST_F(VersionFamily, UpgradesAndBoundsCompareVersionsAsNumbers)
{
    SetInstallerUiLevelNone();
    struct Case {
        const wchar_t *installed;
        const wchar_t *package;
        int result, notNeeded;
    } cases[] = {
        {L"1.99.0", L"elig-v-1.100.0-newer", 1, 0},   // 1.99 to 1.100 is an upgrade
        {L"1.100.0", L"elig-v-1.99.0-newer", 0, 1},   // and 1.100 to 1.99 a downgrade
        {L"99.0.0", L"elig-v-100.0.0-newer", 1, 0},
        {L"1.99.0", L"elig-v-bounds", 0, 0},          // at the lower bound 1.99.0, which is exclusive
        {L"1.100.0", L"elig-v-bounds", 1, 0},         // between 1.99.0 and 1.101.0
        {L"1.101.0", L"elig-v-bounds", 0, 0},         // at the upper bound
        {L"1.-", L"elig-v-1.0.0-newer", 0, 1},        // "1.-" is 1.0.0, the package's own version
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.installed) + " " + nvtest::narrow(c.package));
        ASSERT_NO_FATAL_FAILURE(installAt(c.installed));
        expectEligibility(c.package, c.result, c.notNeeded);
    }
}

// One life of family F: installed at 9.0.0, upgraded to 9.0.1, then to 10.0.0 (major upgrades by
// msiexec); family G at 9.10.0 beside it; family H never installed.
TEST(InstalledProducts, RealInstallsUpgradesAndEligibility)
{
    SetInstallerUiLevelNone();
    const std::wstring f900 = kit::productCode(90000), f901 = kit::productCode(90001), f1000 = kit::productCode(100000);
    std::wstring version;

    // Nothing installed yet.
    EXPECT_EQ(2, FindProductByUpgradeCode(kit::kFamilyF, version));
    expectEligibility(L"elig-any", 0, 0);

    ASSERT_EQ(0, kit::msiexec(L"/i", kit::package(L"f-9.0.0")));
    ASSERT_EQ(0, kit::msiexec(L"/i", kit::package(L"g-9.10.0")));
    {
        SCOPED_TRACE("F 9.0.0, G 9.10.0");
        EXPECT_EQ(0, FindProductByUpgradeCode(kit::kFamilyF, version));
        EXPECT_EQ(L"9.0.0", version);
        EXPECT_EQ(0, IsProductRegistered(f900));
        EXPECT_EQ(0, CheckInstalledVersion(f900, L"9.0.0"));
        EXPECT_EQ(-2, CheckInstalledVersion(f900, L"9.0.00"));
        EXPECT_EQ(2, FindProductByUpgradeCode(kit::kFamilyH, version));

        expectEligibility(L"elig-any", 1, 0);
        expectEligibility(L"elig-min-900", 0, 0);     // lower bound exclusive
        expectEligibility(L"elig-max-1000", 1, 0);
        expectEligibility(L"elig-newer-only", 1, 0);  // installed below the package's 9.0.1
        expectEligibility(L"elig-downgrade", 1, 0);   // package 8.0.0, bit 0 clear
        expectEligibility(L"elig-other", 1, 0);       // G 9.10.0 above 9.9.0 as numbers
        expectEligibility(L"elig-empty-max", 0, 0);
        expectEligibility(L"elig-empty-min", 1, 0);
        expectEligibility(L"elig-missing-family", 0, 0);
        expectEligibility(L"elig-own-out-of-range-other", 1, 0);
        expectEligibility(L"elig-empty-table", 0, 0);
        expectEligibility(L"elig-no-table", 0, 0);
        expectEligibility(L"no-such-package", 0, 0);
        expectEligibility(L"unsigned", 1, 0);
    }

    ASSERT_EQ(0, kit::msiexec(L"/i", kit::package(L"f-9.0.1")));
    {
        SCOPED_TRACE("F 9.0.1 (major upgrade)");
        EXPECT_EQ(0, FindProductByUpgradeCode(kit::kFamilyF, version));
        EXPECT_EQ(L"9.0.1", version);
        EXPECT_NE(0, IsProductRegistered(f900));
        EXPECT_EQ(0, CheckInstalledVersion(f901, L"9.0.1"));

        expectEligibility(L"elig-min-900", 1, 0);
        expectEligibility(L"elig-newer-only", 0, 1);             // equal to the package's version
        expectEligibility(L"elig-two-own", 1, 1);                // one row not needed, another eligible
        expectEligibility(L"elig-not-needed-stops-other", 0, 1); // G would match, but is not examined
        expectEligibility(L"elig-null-attr", 1, 0);              // null Attributes: bit 0 clear
    }

    ASSERT_EQ(0, kit::msiexec(L"/i", kit::package(L"f-10.0.0")));
    {
        SCOPED_TRACE("F 10.0.0 (major upgrade)");
        EXPECT_EQ(0, FindProductByUpgradeCode(kit::kFamilyF, version));
        EXPECT_EQ(L"10.0.0", version);
        EXPECT_NE(0, IsProductRegistered(f901));
        expectEligibility(L"elig-max-1000", 0, 0);   // upper bound exclusive
        expectEligibility(L"elig-downgrade", 1, 0);
        expectEligibility(L"elig-newer-only", 0, 1); // installed above the package's version
    }

    // Package properties as the session reads them.
    EXPECT_EQ(kit::productCode(1), ReadPackageProperty(kit::package(L"elig-any"), L"ProductCode"));
    EXPECT_EQ(L"11.0.0", ReadPackageProperty(kit::package(L"elig-any"), L"ProductVersion"));
    EXPECT_EQ(kit::kFamilyF, ReadPackageProperty(kit::package(L"elig-any"), L"UpgradeCode"));
    EXPECT_EQ(L"", ReadPackageProperty(kit::package(L"elig-any"), L"NoSuchProperty"));
    EXPECT_EQ(L"", ReadPackageProperty(kit::package(L"no-such-package"), L"ProductCode"));

    ASSERT_EQ(0, kit::msiexec(L"/x", kit::package(L"f-10.0.0")));
    EXPECT_EQ(2, FindProductByUpgradeCode(kit::kFamilyF, version));
    EXPECT_EQ(2, IsProductRegistered(f1000));
}

// One open serves every read: properties, queries before and after them, a missing table's error.
TEST(PackageDatabase, OneOpenServesPropertiesAndQueries)
{
    PackageDatabase package;
    ASSERT_EQ(0u, package.Open(kit::package(L"elig-two-own")));
    const std::wstring rowsQuery = L"SELECT `UpgradeCode`, `Attributes` FROM `NVUpdate`";
    auto rows = [&] {
        msi::UniqueHandle view;
        EXPECT_EQ(0u, package.Query(rowsQuery, view));
        int count = 0;
        for (msi::UniqueHandle record; view && msi::ViewFetch(view.get(), record) == 0;)
            ++count;
        return count;
    };
    EXPECT_EQ(2, rows());
    EXPECT_EQ(kit::productCode(6), package.Property(L"ProductCode"));
    EXPECT_EQ(L"", package.Property(L"NoSuchProperty"));
    EXPECT_EQ(L"9.0.1", package.Property(L"ProductVersion"));
    EXPECT_EQ(2, rows());
    msi::UniqueHandle noView;
    EXPECT_EQ(1615u, package.Query(L"SELECT `Value` FROM `NoSuchTable`", noView));
    EXPECT_FALSE(noView.valid());

    // A file that is no package: nothing opens, every read is empty, every query reports the open.
    PackageDatabase none;
    const UINT opened = none.Open(kit::package(L"no-such-package"));
    EXPECT_NE(0u, opened);
    EXPECT_EQ(L"", none.Property(L"ProductCode"));
    EXPECT_EQ(opened, none.Query(rowsQuery, noView));
    PackageDatabase noTable;
    ASSERT_EQ(0u, noTable.Open(kit::package(L"elig-no-table")));
    EXPECT_EQ(kit::kFamilyF, noTable.Property(L"UpgradeCode"));
    EXPECT_EQ(1615u, noTable.Query(rowsQuery, noView));
}

} // namespace
