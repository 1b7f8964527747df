// The operating system release as a fixed record of texts and numbers ("Windows 10 x64", one bit
// per known release, version numbers, platform, service pack, product type and suite tags), and a
// process-wide system information snapshot built on it.
#pragma once

#include <windows.h>

#include <string>

namespace norvo {
namespace tiny {

struct OsDescription {
    char name[128];          // release name; "Windows NT %ld.%ld" / "Windows 9x %d.%d" when unknown
    unsigned releaseId;      // one bit per known release, 1 outside the table, 0 when not classified
    unsigned familyMask;     // 0xFFF3F3F on NT, 1 on 9x, 0 on Win32s
    unsigned majorVersion;
    unsigned minorVersion;
    unsigned buildNumber;
    char platformTag[32];    // "WIN32.NT", "WIN32.9x" or empty
    char servicePack[32];    // "SP%d", "SP%d.%d" or empty
    char productType[64];    // "NT_WORKSTATION", "NT_SERVER", ..., "WIN_%c" on 9x, or empty
    char suites[128];        // suite names joined with "|"
};

// Describes the running system. Without any version data the texts stay empty, releaseId and
// familyMask 0, and the version numbers untouched.
void describeOs(OsDescription &record);

// Suite names of `mask` joined with "|" into `destination`; a name that does not fit (with its
// separator and the terminating NUL) is left out. Returns the number of characters written.
int formatSuiteNames(unsigned mask, char *destination, int size);

// productType (and for "SERVERNT" suites) from the ProductOptions key; false when it cannot be read.
bool readProductOptions(OsDescription &record);

// True on Windows 8.1 or later, as far as the process's compatibility declaration lets it see.
bool isWindows81OrLater();

// The version data that describeOs works from, as the system reported it.
enum class VersionSource {
    RtlGetVersion,   // ntdll's version query (no extended-data flag)
    ExtendedA,       // GetVersionExA with the extended structure
    BasicA,          // GetVersionExA with the basic structure
};
struct OsVersionData {
    VersionSource source;
    unsigned major, minor, build, platformId;
    unsigned servicePackMajor, servicePackMinor;  // extended data only
    unsigned suiteMask;                           // extended data only
    unsigned productType;                         // 1 workstation, 2 domain controller, 3 server
    char additionalText[128];                     // the service pack text, narrow
    bool reports81OrLater;                        // isWindows81OrLater(), asked when the data say 6.2
};

// The description of the given version data on a machine whose native architecture is (or is
// not) 64-bit. describeOs gathers the data and calls this.
void describeOsFrom(const OsVersionData &data, bool x64, OsDescription &record);

// A process-wide snapshot, made on first use.
struct SystemInfo {
    std::string name;
    unsigned releaseId = 0, familyMask = 0, majorVersion = 0, minorVersion = 0, buildNumber = 0;
    std::string platformTag, servicePack, productType, suites;
    char systemLanguage[9] = {};   // ISO 639 name of the system default locale
    char systemCountry[9] = {};    // ISO 3166 name of the system default locale
    char userLanguage[9] = {};
    char userCountry[9] = {};
    unsigned processorCount = 0;
    unsigned architecture = 0;     // 2 for AMD64, else 0
};
const SystemInfo &systemInfo();

} // namespace tiny
} // namespace norvo
