// The OS description: every kind of release-table row, suites, the 9x and NT 4.0 cases through the
// version-data seam (with the real ProductOptions registry key), and the real description of a prefix
// that reports Windows 10.
#include "buildtype.h"
#include "tiny/osversion.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace norvo::tiny;

namespace {

OsVersionData ntData(unsigned major, unsigned minor, unsigned type, unsigned suites = 0)
{
    OsVersionData data = {};
    data.source = VersionSource::RtlGetVersion;
    data.major = major;
    data.minor = minor;
    data.build = 1234;
    data.platformId = VER_PLATFORM_WIN32_NT;
    data.productType = type;
    data.suiteMask = suites;
    return data;
}

OsDescription describe(const OsVersionData &data, bool x64)
{
    OsDescription record;
    std::memset(&record, 0x55, sizeof record);  // no field may keep garbage
    describeOsFrom(data, x64, record);
    return record;
}

struct Row {
    unsigned major, minor, type;
    bool x64;
    const char *name;
    unsigned id;
};

const Row kRows[] = {
    {5, 0, 1, false, "Windows 2000", 0x2},
    {5, 0, 3, true, "Windows 2000 Server", 0x4},
    {5, 1, 1, true, "Windows XP", 0x8},
    {5, 2, 1, true, "Windows XP Professional x64", 0x100},
    {5, 2, 3, false, "Windows Server 2003", 0x20},
    {5, 2, 2, true, "Windows Server 2003 x64", 0x200},
    {5, 2, 7, true, "Windows NT 5.2", 0},
    {5, 3, 1, false, "Windows NT 5.3", 0x1},
    {6, 0, 1, false, "Windows Vista", 0x400},
    {6, 0, 1, true, "Windows Vista x64", 0x800},
    {6, 1, 1, false, "Windows 7", 0x10000},
    {6, 1, 1, true, "Windows 7 x64", 0x20000},
    {6, 2, 1, false, "Windows 8", 0x100000},
    {6, 2, 1, true, "Windows 8 x64", 0x200000},
    {6, 3, 1, false, "Windows 8.1", 0x400000},
    {6, 3, 1, true, "Windows 8.1 x64", 0x800000},
    {6, 4, 1, false, "Newer than Windows 8.1", 0x400000},
    {6, 9, 1, true, "Newer than Windows 8.1 x64", 0x800000},
    {6, 0, 3, false, "Windows Server 2008", 0x1000},
    {6, 0, 2, true, "Windows Server 2008 x64", 0x2000},
    {6, 1, 3, true, "Windows Server 2008 R2", 0x40000},
    {6, 2, 3, true, "Windows Server 2012", 0x80000},
    {6, 3, 3, false, "Windows Server 2012 R2", 0x1000000},
    {6, 4, 3, true, "Windows Server 2016", 0x8000000},
    {6, 5, 2, false, "Newer than Windows Server 2016", 0x8000000},
    {6, 1, 9, true, "Windows NT 6.1", 0},
    {10, 0, 1, false, "Windows 10", 0x2000000},
    {10, 0, 1, true, "Windows 10 x64", 0x4000000},
    {10, 1, 1, false, "Newer than Windows 10", 0x2000000},
    {10, 2, 1, true, "Newer than Windows 10 x64", 0x4000000},
    {10, 0, 3, true, "Windows Server 2016", 0x8000000},
    {10, 1, 3, false, "Newer than Windows Server 2016", 0x8000000},
    {10, 0, 0, true, "Windows NT 10.0", 0},
};

} // namespace

TEST(OsDescription, NamesEveryKindOfReleaseTableRow)
{
    unsigned unionOfIds = 0;
    for (const Row &row : kRows) {
        SCOPED_TRACE(std::string(row.name) + (row.x64 ? " (x64)" : ""));
        const OsDescription d = describe(ntData(row.major, row.minor, row.type), row.x64);
        EXPECT_STREQ(row.name, d.name);
        EXPECT_EQ(row.id, d.releaseId);
        EXPECT_EQ(0xFFF3F3Fu, d.familyMask);
        EXPECT_STREQ("WIN32.NT", d.platformTag);
        EXPECT_EQ(row.major, d.majorVersion);
        EXPECT_EQ(row.minor, d.minorVersion);
        EXPECT_EQ(1234u, d.buildNumber);
        EXPECT_STREQ("", d.servicePack);
        EXPECT_STREQ("", d.suites);
        unionOfIds |= d.releaseId;
    }
    // The NT family mask is exactly the union of the NT releases (Windows XP Home included).
    unionOfIds |= describe(ntData(5, 1, 1, 0x200), false).releaseId;
    EXPECT_EQ(0xFFF3F3Fu, unionOfIds);

    EXPECT_STREQ("NT_WORKSTATION", describe(ntData(6, 1, 1), true).productType);
    EXPECT_STREQ("NT_DOMAIN_CONTROLLER", describe(ntData(6, 1, 2), true).productType);
    EXPECT_STREQ("NT_SERVER", describe(ntData(6, 1, 3), true).productType);
    EXPECT_STREQ("NT_TYPE_0009", describe(ntData(6, 1, 9), true).productType);
}

TEST(OsDescription, TreatsEightThatKnowsItIsEightPointOneAsEightPointOne)
{
    OsVersionData data = ntData(6, 2, 1);
    data.reports81OrLater = true;
    const OsDescription d = describe(data, true);
    EXPECT_STREQ("Windows 8.1 x64", d.name);
    EXPECT_EQ(0x800000u, d.releaseId);
    EXPECT_EQ(3u, d.minorVersion);
    EXPECT_EQ(0u, d.buildNumber);
}

TEST(OsDescription, JoinsSuiteNamesThatFit)
{
    char text[128];
    EXPECT_EQ(31, formatSuiteNames(0x12, text, sizeof text));
    EXPECT_STREQ("SUITE_ENTERPRISE|SUITE_TERMINAL", text);
    EXPECT_EQ(31, formatSuiteNames(0x12, text, 32));  // exactly enough room with the NUL

    // One unit short: the second name is left out rather than glued to the first without its bar.
    EXPECT_EQ(16, formatSuiteNames(0x12, text, 31));
    EXPECT_STREQ("SUITE_ENTERPRISE", text);

    // A long name that does not fit is skipped; a later, shorter one still follows.
    EXPECT_EQ(16, formatSuiteNames(0x20 | 0x40, text, 20));
    EXPECT_STREQ("SUITE_EMBEDDEDNT", text);

    // No named bit, or nowhere to write.
    strcpy(text, "left over");
    EXPECT_EQ(0, formatSuiteNames(0x2000 | 0x80000000u, text, sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(0, formatSuiteNames(0x12, nullptr, 128));
    EXPECT_EQ(0, formatSuiteNames(0x12, text, 0));

    // Every named bit: the table order, and the result always NUL-terminated within its size.
    const int written = formatSuiteNames(0x1FFF, text, sizeof text);
    EXPECT_EQ(static_cast<int>(strlen(text)), written);
    EXPECT_LT(written, 128);
    EXPECT_EQ(0, strncmp(text, "SUITE_SMALLBUSINESS|SUITE_ENTERPRISE|SUITE_BACKOFFICE|", 54)) << text;

    // Windows XP Home: the personal bit picks the release id and shows among the suites.
    const OsDescription home = describe(ntData(5, 1, 1, 0x200 | 0x100), false);
    EXPECT_STREQ("Windows XP", home.name);
    EXPECT_EQ(0x10u, home.releaseId);
    EXPECT_STREQ("SUITE_SINGLEUSERTS|SUITE_PERSONAL", home.suites);
    // Version 6 and 10 rows do not look at suites.
    EXPECT_STREQ("", describe(ntData(10, 0, 1, 0x12), true).suites);
}

TEST(OsDescription, NamesThe9xReleasesByVersionAndLetter)
{
    struct Case {
        unsigned minor;
        const char *text, *name, *productType;
    } cases[] = {
        {0, " A", "Windows 95", "WIN_A"},
        {0, " B", "Windows 95 OSR2", "WIN_B"},
        {0, " c", "Windows 95 OSR2", "WIN_C"},
        {0, " D", "Windows 95", ""},
        {0, "", "Windows 95", ""},
        {10, " a", "Windows 98 SE", "WIN_A"},
        {10, "", "Windows 98", ""},
        {90, " A", "Windows ME", ""},
        {20, " A", "Windows 9x 4.20", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " '" + c.text + "'");
        OsVersionData data = {};
        data.source = VersionSource::BasicA;
        data.major = 4;
        data.minor = c.minor;
        data.platformId = VER_PLATFORM_WIN32_WINDOWS;
        strcpy(data.additionalText, c.text);
        const OsDescription d = describe(data, false);
        EXPECT_STREQ(c.name, d.name);
        EXPECT_STREQ(c.productType, d.productType);
        EXPECT_EQ(1u, d.releaseId);
        EXPECT_EQ(1u, d.familyMask);
        EXPECT_STREQ("WIN32.9x", d.platformTag);
    }

    OsVersionData win32s = {};
    win32s.source = VersionSource::BasicA;
    win32s.major = 3;
    win32s.minor = 11;
    win32s.platformId = VER_PLATFORM_WIN32s;
    const OsDescription s = describe(win32s, false);
    EXPECT_STREQ("Win32s (Wow!)\n", s.name);
    EXPECT_EQ(1u, s.releaseId);
    EXPECT_EQ(0u, s.familyMask);
    EXPECT_STREQ("", s.platformTag);
}

TEST(OsDescription, NtFourWithExtendedDataTakesServicePackAndSuitesFromIt)
{
    OsVersionData data = ntData(4, 0, 1, 0x2);
    data.source = VersionSource::ExtendedA;
    data.servicePackMajor = 6;
    OsDescription d = describe(data, false);
    EXPECT_STREQ("Windows NT 4.0 Service Pack 6", d.name);
    EXPECT_STREQ("SP6", d.servicePack);
    EXPECT_STREQ("SUITE_ENTERPRISE", d.suites);
    EXPECT_EQ(1u, d.releaseId);

    data.servicePackMinor = 1;
    EXPECT_STREQ("SP6.1", describe(data, false).servicePack);
    data.servicePackMajor = data.servicePackMinor = 0;
    d = describe(data, false);
    EXPECT_STREQ("Windows NT 4.0", d.name);
    EXPECT_STREQ("", d.servicePack);
}

namespace {
// Sets ProductOptions "ProductType" for one test and puts the old value back afterwards.
class ProductOptionsValue {
public:
    explicit ProductOptionsValue(const char *value)
    {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key_.put(), nullptr);
        DWORD size = sizeof old_ - 1;
        hadOld_ = RegQueryValueExA(key_.get(), "ProductType", nullptr, nullptr, reinterpret_cast<BYTE *>(old_), &size) ==
                  ERROR_SUCCESS;
        set(value);
    }
    ~ProductOptionsValue()
    {
        if (hadOld_)
            set(old_);
        else
            RegDeleteValueA(key_.get(), "ProductType");
    }
    bool set(const char *value)
    {
        return RegSetValueExA(key_.get(), "ProductType", 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                              static_cast<DWORD>(strlen(value) + 1)) == ERROR_SUCCESS;
    }

private:
    UniqueKey key_;
    char old_[260] = {};
    bool hadOld_ = false;
};
} // namespace

TEST(OsDescription, NtFourWithoutExtendedDataReadsServicePackTextAndProductOptions)
{
    OsVersionData data = ntData(4, 0, 1);
    data.source = VersionSource::BasicA;
    strcpy(data.additionalText, "Service Pack 3");

    ProductOptionsValue options("LanmanNT");
    OsDescription d = describe(data, false);
    EXPECT_STREQ("Windows NT 4.0", d.name);
    EXPECT_STREQ("SP3", d.servicePack);
    EXPECT_STREQ("NT_SERVER", d.productType);
    EXPECT_STREQ("", d.suites);
    EXPECT_EQ(0u, d.releaseId);

    ASSERT_TRUE(options.set("SERVERNT"));
    strcpy(data.additionalText, "service pack 6a beta");
    d = describe(data, false);
    EXPECT_STREQ("SP6A", d.servicePack);
    EXPECT_STREQ("NT_SERVER", d.productType);
    EXPECT_STREQ("SUITE_ENTERPRISE", d.suites);

    ASSERT_TRUE(options.set("winnt"));
    strcpy(data.additionalText, "");
    data.productType = 3;
    d = describe(data, false);
    EXPECT_STREQ("", d.servicePack);
    EXPECT_STREQ("NT_WORKSTATION", d.productType);

    // A value the table does not know leaves the product type from the version data.
    ASSERT_TRUE(options.set("Something"));
    EXPECT_STREQ("NT_SERVER", describe(data, false).productType);
}

// The suite's prefix is set to Windows 10 (prepare-win10.sh) on a 64-bit machine.
TEST(OsDescription, DescribesTheRealSystem)
{
    OsDescription d;
    std::memset(&d, 0x55, sizeof d);
    describeOs(d);
    EXPECT_STREQ("Windows 10 x64", d.name);
    EXPECT_EQ(0x4000000u, d.releaseId);
    EXPECT_EQ(10u, d.majorVersion);
    EXPECT_EQ(0u, d.minorVersion);
    EXPECT_STREQ("NT_WORKSTATION", d.productType);
    EXPECT_STREQ("WIN32.NT", d.platformTag);

    const SystemInfo &info = systemInfo();
    EXPECT_EQ(&info, &systemInfo());
    EXPECT_EQ("Windows 10 x64", info.name);
    EXPECT_EQ(d.buildNumber, info.buildNumber);
    EXPECT_GE(info.processorCount, 1u);
    EXPECT_STRNE("", info.systemLanguage);
    EXPECT_STRNE("", info.userCountry);
    // GetSystemInfo tells a process its own architecture: a 32-bit process on WoW64 sees the
    // emulated x86 (code 0), a 64-bit one AMD64 (code 2). The name above says x64 for both: it is
    // the system's.
    EXPECT_EQ(nvtest::kX64Build ? 2u : 0u, info.architecture);
}
