#include "tiny/osversion.h"

#include "tiny/nmutex.h"
#include "tiny/unique.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace norvo {
namespace tiny {

namespace {

const unsigned kNtFamily = 0xFFF3F3F;
const unsigned kOutsideTable = 0x1;
const WORD kArchitectureAmd64 = 9;
const WORD kArchitectureIa64 = 6;

const char kProductOptionsKey[] = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

struct Suite {
    unsigned bit;
    const char *name;
};
const Suite kSuites[] = {
    {0x1, "SUITE_SMALLBUSINESS"},  {0x2, "SUITE_ENTERPRISE"},         {0x4, "SUITE_BACKOFFICE"},
    {0x8, "SUITE_COMMUNICATIONS"}, {0x10, "SUITE_TERMINAL"},          {0x20, "SUITE_SMALLBUSINESS_RESTRICTED"},
    {0x40, "SUITE_EMBEDDEDNT"},    {0x80, "SUITE_DATACENTER"},        {0x100, "SUITE_SINGLEUSERTS"},
    {0x200, "SUITE_PERSONAL"},     {0x400, "SUITE_BLADE"},            {0x800, "SUITE_EMBEDDED_RESTRICTED"},
    {0x1000, "SUITE_SECURITY_APPLIANCE"},
};

template <size_t N>
void setText(char (&field)[N], const char *text)
{
    std::snprintf(field, N, "%s", text);
}

// A release name, or "Newer than <name>" for a later minor version than the table's last row.
void named(OsDescription &record, const char *name, unsigned id, bool newer = false)
{
    if (newer)
        std::snprintf(record.name, sizeof record.name, "Newer than %s", name);
    else
        setText(record.name, name);
    record.releaseId = id;
}

bool isServerType(unsigned type) { return type == 2 || type == 3; }

void describeNt5(const OsVersionData &data, bool x64, OsDescription &record)
{
    switch (data.minor) {
    case 0:
        if (data.productType == 1)
            named(record, "Windows 2000", 0x2);
        else
            named(record, "Windows 2000 Server", 0x4);
        break;
    case 1:
        named(record, "Windows XP", (data.suiteMask & 0x200) ? 0x10 : 0x8);
        break;
    case 2:
        if (data.productType == 1)
            named(record, "Windows XP Professional x64", 0x100);
        else if (isServerType(data.productType))
            named(record, x64 ? "Windows Server 2003 x64" : "Windows Server 2003", x64 ? 0x200 : 0x20);
        break;
    default:
        record.releaseId = kOutsideTable;
        break;
    }
    formatSuiteNames(data.suiteMask, record.suites, sizeof record.suites);
}

void describeNt6(const OsVersionData &data, bool x64, OsDescription &record)
{
    const unsigned minor = data.minor;
    if (data.productType == 1) {
        switch (minor) {
        case 0:
            named(record, x64 ? "Windows Vista x64" : "Windows Vista", x64 ? 0x800 : 0x400);
            break;
        case 1:
            named(record, x64 ? "Windows 7 x64" : "Windows 7", x64 ? 0x20000 : 0x10000);
            break;
        case 2:
            named(record, x64 ? "Windows 8 x64" : "Windows 8", x64 ? 0x200000 : 0x100000);
            break;
        default:
            named(record, x64 ? "Windows 8.1 x64" : "Windows 8.1", x64 ? 0x800000 : 0x400000, minor > 3);
            break;
        }
    } else if (isServerType(data.productType)) {
        switch (minor) {
        case 0:
            named(record, x64 ? "Windows Server 2008 x64" : "Windows Server 2008", x64 ? 0x2000 : 0x1000);
            break;
        case 1:
            named(record, "Windows Server 2008 R2", 0x40000);
            break;
        case 2:
            named(record, "Windows Server 2012", 0x80000);
            break;
        case 3:
            named(record, "Windows Server 2012 R2", 0x1000000);
            break;
        default:
            named(record, "Windows Server 2016", 0x8000000, minor > 4);
            break;
        }
    }
}

void describeNt10(const OsVersionData &data, bool x64, OsDescription &record)
{
    const bool newer = data.minor > 0;
    if (data.productType == 1)
        named(record, x64 ? "Windows 10 x64" : "Windows 10", x64 ? 0x4000000 : 0x2000000, newer);
    else if (isServerType(data.productType))
        named(record, "Windows Server 2016", 0x8000000, newer);
}

// Another NT major version: service pack and suites from extended data, or the service pack from
// the additional text and the product type from the registry.
void describeOtherNt(const OsVersionData &data, OsDescription &record)
{
    if (data.source == VersionSource::ExtendedA) {
        record.releaseId = kOutsideTable;
        formatSuiteNames(data.suiteMask, record.suites, sizeof record.suites);
        if (data.servicePackMajor != 0) {
            if (data.servicePackMinor != 0)
                std::snprintf(record.servicePack, sizeof record.servicePack, "SP%u.%u", data.servicePackMajor,
                              data.servicePackMinor);
            else
                std::snprintf(record.servicePack, sizeof record.servicePack, "SP%u", data.servicePackMajor);
            const size_t used = std::strlen(record.name);
            std::snprintf(record.name + used, sizeof record.name - used, " Service Pack %u", data.servicePackMajor);
        }
        return;
    }
    char text[sizeof data.additionalText];
    setText(text, data.additionalText);
    for (char *c = text; *c; ++c)
        *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    if (const char *found = std::strstr(text, "SERVICE PACK")) {
        const char *digit = found + std::strlen("SERVICE PACK");
        while (*digit && !std::isdigit(static_cast<unsigned char>(*digit)))
            ++digit;
        if (*digit) {
            size_t length = 0;
            while (digit[length] && !std::isspace(static_cast<unsigned char>(digit[length])))
                ++length;
            std::snprintf(record.servicePack, sizeof record.servicePack, "SP%.*s", static_cast<int>(length), digit);
        }
    }
    readProductOptions(record);
}

void describeNt(const OsVersionData &data, bool x64, OsDescription &record)
{
    record.familyMask = kNtFamily;
    setText(record.platformTag, "WIN32.NT");
    std::snprintf(record.name, sizeof record.name, "Windows NT %ld.%ld", static_cast<long>(data.major),
                  static_cast<long>(data.minor));
    switch (data.productType) {
    case 1:
        setText(record.productType, "NT_WORKSTATION");
        break;
    case 2:
        setText(record.productType, "NT_DOMAIN_CONTROLLER");
        break;
    case 3:
        setText(record.productType, "NT_SERVER");
        break;
    default:
        std::snprintf(record.productType, sizeof record.productType, "NT_TYPE_%4.4X", data.productType & 0xFF);
        break;
    }
    switch (data.major) {
    case 5:
        describeNt5(data, x64, record);
        break;
    case 6:
        describeNt6(data, x64, record);
        break;
    case 10:
        describeNt10(data, x64, record);
        break;
    default:
        describeOtherNt(data, record);
        break;
    }
}

void describe9x(const OsVersionData &data, OsDescription &record)
{
    record.familyMask = 1;
    record.releaseId = 1;
    setText(record.platformTag, "WIN32.9x");
    std::snprintf(record.name, sizeof record.name, "Windows 9x %d.%d", static_cast<int>(data.major),
                  static_cast<int>(data.minor));
    if (data.major != 4)
        return;
    const char letter = data.additionalText[0] ? static_cast<char>(std::toupper(static_cast<unsigned char>(data.additionalText[1]))) : '\0';
    switch (data.minor) {
    case 0:
        setText(record.name, (letter == 'B' || letter == 'C') ? "Windows 95 OSR2" : "Windows 95");
        if (letter == 'A' || letter == 'B' || letter == 'C')
            std::snprintf(record.productType, sizeof record.productType, "WIN_%c", letter);
        break;
    case 10:
        setText(record.name, letter == 'A' ? "Windows 98 SE" : "Windows 98");
        if (letter == 'A')
            setText(record.productType, "WIN_A");
        break;
    case 90:
        setText(record.name, "Windows ME");
        break;
    default:
        break;
    }
}

bool nativeIsX64()
{
    using GetNativeSystemInfoFn = void(WINAPI *)(LPSYSTEM_INFO);
    auto getNative = reinterpret_cast<GetNativeSystemInfoFn>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo"));
    if (!getNative)
        return false;
    SYSTEM_INFO info = {};
    getNative(&info);
    return info.wProcessorArchitecture == kArchitectureAmd64 || info.wProcessorArchitecture == kArchitectureIa64;
}

// The numbers every version record has; the wide and the narrow records name them alike.
template <typename Info>
void takeBasic(OsVersionData &data, VersionSource source, const Info &info)
{
    data.source = source;
    data.major = info.dwMajorVersion;
    data.minor = info.dwMinorVersion;
    data.build = info.dwBuildNumber;
    data.platformId = info.dwPlatformId;
}

// ... and those only the extended records have.
template <typename Info>
void takeExtended(OsVersionData &data, VersionSource source, const Info &info)
{
    takeBasic(data, source, info);
    data.servicePackMajor = info.wServicePackMajor;
    data.servicePackMinor = info.wServicePackMinor;
    data.suiteMask = info.wSuiteMask;
    data.productType = info.wProductType;
}

// The version data from the first source that answers; false when none does.
bool gatherVersion(OsVersionData &data)
{
    data = OsVersionData();
    using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOEXW *);
    auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFn>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOEXW wide = {};
    wide.dwOSVersionInfoSize = sizeof wide;
    OSVERSIONINFOEXA extended = {};
    extended.dwOSVersionInfoSize = sizeof extended;
    if (rtlGetVersion && rtlGetVersion(&wide) == 0) {
        takeExtended(data, VersionSource::RtlGetVersion, wide);
        WideCharToMultiByte(CP_ACP, 0, wide.szCSDVersion, -1, data.additionalText, 127, nullptr, nullptr);
        data.additionalText[127] = '\0';
    } else if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&extended))) {
        takeExtended(data, VersionSource::ExtendedA, extended);
        setText(data.additionalText, extended.szCSDVersion);
    } else {
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!GetVersionExA(&basic))
            return false;
        takeBasic(data, VersionSource::BasicA, basic);
        setText(data.additionalText, basic.szCSDVersion);
    }
    data.reports81OrLater = data.major == 6 && data.minor == 2 && isWindows81OrLater();
    return true;
}

void clearDescription(OsDescription &record)
{
    record.name[0] = record.platformTag[0] = record.servicePack[0] = record.productType[0] = record.suites[0] = '\0';
    record.releaseId = record.familyMask = 0;
}

} // namespace

void describeOsFrom(const OsVersionData &given, bool x64, OsDescription &record)
{
    clearDescription(record);
    OsVersionData data = given;
    // Windows 8.1 shows itself as 6.2 to a process that does not declare it knows 8.1.
    if (data.major == 6 && data.minor == 2 && data.reports81OrLater) {
        data.minor = 3;
        data.build = 0;
    }
    record.majorVersion = data.major;
    record.minorVersion = data.minor;
    record.buildNumber = data.build;
    switch (data.platformId) {
    case VER_PLATFORM_WIN32s:
        setText(record.name, "Win32s (Wow!)\n");
        record.releaseId = 1;
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        describe9x(data, record);
        break;
    case VER_PLATFORM_WIN32_NT:
        describeNt(data, x64, record);
        break;
    default:
        break;
    }
}

void describeOs(OsDescription &record)
{
    clearDescription(record);
    const bool x64 = nativeIsX64();
    OsVersionData data;
    if (gatherVersion(data))
        describeOsFrom(data, x64, record);
}

int formatSuiteNames(unsigned mask, char *destination, int size)
{
    if (!destination || size < 1)
        return 0;
    destination[0] = '\0';
    int count = 0;
    for (const Suite &suite : kSuites) {
        if (!(mask & suite.bit))
            continue;
        const int length = static_cast<int>(std::strlen(suite.name));
        // A later name goes in only together with its separator, so names never run together.
        const int needed = length + 1 + (count > 0 ? 1 : 0);
        if (size - count < needed)
            continue;
        if (count > 0)
            destination[count++] = '|';
        std::memcpy(destination + count, suite.name, length + 1);
        count += length;
    }
    return count;
}

bool readProductOptions(OsDescription &record)
{
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    char value[257] = {};
    DWORD size = 256;
    const LONG read = RegQueryValueExA(key.get(), "ProductType", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size);
    key.reset();
    if (read != ERROR_SUCCESS || size > 256)
        return false;
    if (_stricmp(value, "WINNT") == 0) {
        setText(record.productType, "NT_WORKSTATION");
    } else if (_stricmp(value, "LANMANNT") == 0) {
        setText(record.productType, "NT_SERVER");
    } else if (std::strcmp(value, "SERVERNT") == 0) {
        setText(record.productType, "NT_SERVER");
        setText(record.suites, "SUITE_ENTERPRISE");
    }
    return true;
}

bool isWindows81OrLater()
{
    OSVERSIONINFOEXA wanted = {};
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = 6;
    wanted.dwMinorVersion = 3;
    ULONGLONG condition = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition) != FALSE;
}

namespace {

std::atomic<SystemInfo *> snapshot{nullptr};

void dropSnapshot() { delete snapshot.exchange(nullptr); }

SystemInfo *makeSnapshot()
{
    SystemInfo *info = new SystemInfo();
    GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SISO639LANGNAME, info->systemLanguage, sizeof info->systemLanguage);
    GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SISO3166CTRYNAME, info->systemCountry, sizeof info->systemCountry);
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, info->userLanguage, sizeof info->userLanguage);
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, info->userCountry, sizeof info->userCountry);
    OsDescription os = {};
    describeOs(os);
    info->name = os.name;
    info->releaseId = os.releaseId;
    info->familyMask = os.familyMask;
    info->majorVersion = os.majorVersion;
    info->minorVersion = os.minorVersion;
    info->buildNumber = os.buildNumber;
    info->platformTag = os.platformTag;
    info->servicePack = os.servicePack;
    info->productType = os.productType;
    info->suites = os.suites;
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    info->processorCount = system.dwNumberOfProcessors;
    info->architecture = system.wProcessorArchitecture == kArchitectureAmd64 ? 2 : 0;
    return info;
}

} // namespace

const SystemInfo &systemInfo()
{
    if (SystemInfo *ready = snapshot.load(std::memory_order_acquire))
        return *ready;
    static NMutex creation;
    NMutexLock hold(creation);
    if (SystemInfo *ready = snapshot.load(std::memory_order_acquire))
        return *ready;
    SystemInfo *made = makeSnapshot();
    snapshot.store(made, std::memory_order_release);
    std::atexit(dropSnapshot);
    return *made;
}

} // namespace tiny
} // namespace norvo
