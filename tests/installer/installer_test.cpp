// The service's installer package under the real Windows Installer (msiexec), service control
// manager and registry: install, major upgrade from an older build, downgrade, a second install of
// the same version, repair and removal. Every test starts from a machine without the service and
// leaves it so. The packages are made and signed with the test kit's PKI by prepare-installer.sh:
// the build's package, and the same package rebuilt one major version lower around a copy of the
// executable whose version record says so.
#include "inspection/eligibility.h"
#include "inspection/signercheck.h"
#include "brokerharness.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

using norvo::tiny::UniqueHandle;
using norvo::tiny::UniqueKey;
using norvo::tiny::UniqueServiceHandle;

namespace {

const wchar_t kServiceName[] = L"nvupdaterservice";
const wchar_t kDisplayName[] = L"Norvo Updater Service";
const wchar_t kPublisher[] = L"Norvo Technologies, Inc.";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\nvupdaterservice";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Norvo Updater Service";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kInstanceEvent[] = L"Global\\NorvoUpdaterService";
const std::wstring kVersion = nvtest::widen(NV_PACKAGE_VERSION);
const std::wstring kOlderVersion = nvtest::widen(NV_OLDER_VERSION);
const DWORD kServiceWaitMs = 20000;

// ---- the machine ---------------------------------------------------------------------------------

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::wstring package(const std::wstring &version)
{
    return nvtest::suiteDir() + L"\\packages\\nvupdaterservice-" + version + L".msi";
}

// <Program Files>\Norvo\Updater Service: the 32-bit Program Files for the x86 package on 64-bit
// Windows, the 64-bit one for the x64 package.
std::wstring installFolder()
{
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, nvtest::kPackageProgramFiles, nullptr, SHGFP_TYPE_CURRENT, folder);
    return std::wstring(folder) + L"\\Norvo\\Updater Service";
}
std::wstring installedExe() { return installFolder() + L"\\nvupdaterservice.exe"; }
std::wstring serviceLog() { return installFolder() + L"\\logs\\service.log"; }

bool isFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void removeTree(const std::wstring &folder)
{
    std::wstring from = folder + L'\0'; // a list of paths, ended by an empty one
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

// msiexec without user interface and with a verbose log in the suite folder; its exit code.
long msiexec(const std::wstring &arguments, const std::wstring &logName)
{
    const std::wstring log = nvtest::suiteDir() + L"\\" + logName;
    return nvtest::runProcess(L"msiexec " + arguments + L" /qn /l*v \"" + log + L"\"", 120000).exitCode;
}

long install(const std::wstring &version, const std::wstring &logName)
{
    return msiexec(L"/i \"" + package(version) + L"\"", logName);
}

// The installer's log holds `text` (in the ANSI or the UTF-16 form, whichever it writes).
bool logHolds(const std::wstring &logName, const std::wstring &text)
{
    const std::string log = nvtest::readFile(nvtest::suiteDir() + L"\\" + logName);
    return log.find(nvtest::narrow(text)) != std::string::npos ||
           log.find(brokertest::bytesOf(text)) != std::string::npos;
}

bool readString(REGSAM view, const std::wstring &key, const wchar_t *name, std::wstring &value)
{
    UniqueKey opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, opened.put()) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[1024] = {};
    DWORD type = 0, size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(opened.get(), name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value = buffer;
    return true;
}

bool readDword(const std::wstring &key, const wchar_t *name, DWORD &value)
{
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

bool keyExists(const std::wstring &key)
{
    UniqueKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

// Every product of the package's family that the installer knows of.
std::vector<std::wstring> installedProducts()
{
    static const std::wstring upgradeCode = nvupdater::ReadPackageProperty(package(kVersion), L"UpgradeCode");
    std::vector<std::wstring> products;
    wchar_t code[39] = {};
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        products.push_back(code);
    return products;
}

std::wstring productCode(const std::wstring &version)
{
    return nvupdater::ReadPackageProperty(package(version), L"ProductCode");
}

std::wstring uninstallEntry(const std::wstring &version) { return std::wstring(kUninstallKey) + L"\\" + productCode(version); }

// Programs and Features entries (in the view of the package's type) that carry the service's name.
int entriesNamedLikeTheService()
{
    UniqueKey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | nvtest::kBuildView, root.put()) != ERROR_SUCCESS)
        return -1;
    int count = 0;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(root.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring displayName;
        if (readString(nvtest::kBuildView, std::wstring(kUninstallKey) + L"\\" + name, L"DisplayName", displayName) &&
            displayName == kDisplayName)
            ++count;
    }
    return count;
}

// The version in the file's version record ("2.0.0.1171"), or empty.
std::wstring fileVersion(const std::wstring &path)
{
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size ? size : 1);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) || !fixed)
        return std::wstring();
    wchar_t text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return text;
}

// The failure actions as the service control manager keeps them in the service's "FailureActions"
// value: reset period, 32-bit placeholders of the two texts, the count and the array's offset, then
// each action's type and delay.
struct FailureActions {
    DWORD resetSeconds = 0;
    std::vector<std::pair<DWORD, DWORD>> actions;  // (type, delay in ms)
};

bool readFailureActions(FailureActions &read)
{
    std::vector<BYTE> value(1024);
    DWORD size = static_cast<DWORD>(value.size());
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"FailureActions", RRF_RT_REG_BINARY, nullptr, value.data(),
                     &size) != ERROR_SUCCESS ||
        size < 20)
        return false;
    const DWORD *words = reinterpret_cast<const DWORD *>(value.data());
    read.resetSeconds = words[0];
    for (DWORD i = 0; i < words[3] && 20 + 8 * (i + 1) <= size; ++i)
        read.actions.push_back({words[5 + 2 * i], words[6 + 2 * i]});
    return true;
}

// The package's rows of `query` as fields joined with '|', one text per row.
std::vector<std::wstring> packageRows(const std::wstring &query, UINT fields)
{
    std::vector<std::wstring> rows;
    MSIHANDLE database = 0, view = 0, record = 0;
    if (MsiOpenDatabaseW(package(kVersion).c_str(), nullptr /* MSIDBOPEN_READONLY */, &database) != ERROR_SUCCESS)
        return rows;
    if (MsiDatabaseOpenViewW(database, query.c_str(), &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            std::wstring row;
            for (UINT field = 1; field <= fields; ++field) {
                wchar_t text[256] = {};
                DWORD length = 256;
                MsiRecordGetStringW(record, field, text, &length);
                row += (field > 1 ? L"|" : L"") + std::wstring(text);
            }
            rows.push_back(row);
            MsiCloseHandle(record);
        }
        MsiViewClose(view);
    }
    if (view)
        MsiCloseHandle(view);
    MsiCloseHandle(database);
    return rows;
}

// ---- the service ---------------------------------------------------------------------------------

UniqueServiceHandle openService(DWORD access)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueServiceHandle(manager ? OpenServiceW(manager.get(), kServiceName, access) : nullptr);
}

bool serviceRegistered() { return openService(SERVICE_QUERY_STATUS).valid(); }

SERVICE_STATUS_PROCESS serviceStatus()
{
    SERVICE_STATUS_PROCESS status = {};
    UniqueServiceHandle service = openService(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                          sizeof(status), &needed))
        status = SERVICE_STATUS_PROCESS();
    return status;
}

bool waitForState(DWORD state) { return nvtest::waitFor([&] { return serviceStatus().dwCurrentState == state; }, kServiceWaitMs, 50); }

bool waitForProcessEnd(DWORD processId)
{
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || WaitForSingleObject(process.get(), kServiceWaitMs) == WAIT_OBJECT_0;
}

// Stops the service and waits until its process has ended.
bool stopService()
{
    const DWORD processId = serviceStatus().dwProcessId;
    UniqueServiceHandle service = openService(SERVICE_STOP);
    SERVICE_STATUS status = {};
    if (service)
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return waitForState(SERVICE_STOPPED) && waitForProcessEnd(processId);
}

// Wine's installer sends the stop control and goes on at once, without waiting for the service to
// stop (Windows waits, as the package asks): the old registration is then only marked for deletion,
// so a new one cannot be created (1072), the start fails and the installation rolls back (1627), or
// the running executable cannot be removed. Under Wine the tests therefore stop the service
// themselves before the installer changes it; on Windows they leave that to the installer.
void letWineStopTheServiceFirst()
{
    if (underWine()) {
        ASSERT_TRUE(stopService());
    }
}

struct ServiceSettings {
    DWORD type = 0, start = 0;
    std::wstring binaryPath, account, displayName, description;
};

bool readServiceSettings(ServiceSettings &settings)
{
    UniqueServiceHandle service = openService(SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!service || !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data()),
                                         static_cast<DWORD>(buffer.size()), &needed))
        return false;
    const auto *config = reinterpret_cast<const QUERY_SERVICE_CONFIGW *>(buffer.data());
    settings.type = config->dwServiceType;
    settings.start = config->dwStartType;
    settings.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    settings.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    settings.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    std::vector<BYTE> described(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, described.data(),
                             static_cast<DWORD>(described.size()), &needed)) {
        const auto *description = reinterpret_cast<const SERVICE_DESCRIPTIONW *>(described.data());
        settings.description = description->lpDescription ? description->lpDescription : L"";
    }
    return true;
}

// The first message of the service on its pipe.
std::wstring greeting()
{
    brokertest::PipeClient client;
    std::wstring message;
    if (client.openWithin(10000) != 0 || client.read(message, 5000) != 0)
        return L"<no greeting>";
    return message;
}

bool serviceLogHolds(const std::string &line)
{
    return nvtest::waitFor([&] { return nvtest::readFile(serviceLog()).find(line) != std::string::npos; }, 10000, 50);
}

void reportMs(const char *what, ULONGLONG since)
{
    const ULONGLONG ms = GetTickCount64() - since;
    ::testing::Test::RecordProperty(what, static_cast<int>(ms));
    printf("[ measured ] %s: %llu ms\n", what, static_cast<unsigned long long>(ms));
}

// The texts of the installer's error, warning and user messages, one a line.
const DWORD kShownMessages = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_USER;

INT CALLBACK collectMessage(LPVOID context, UINT, LPCWSTR message)
{
    if (message)
        *static_cast<std::wstring *>(context) += std::wstring(message) + L"\n";
    return 0; // not handled: the installer goes on as without a user interface
}

// ---- the fixture ---------------------------------------------------------------------------------

// Removes whatever a test left: every product of the family, a registration left behind, the
// install folder with its logs.
void cleanMachine()
{
    for (const std::wstring &product : installedProducts()) {
        if (serviceStatus().dwCurrentState == SERVICE_RUNNING)
            stopService();
        msiexec(L"/x " + product, L"cleanup.log");
    }
    if (serviceRegistered()) {
        stopService();
        UniqueServiceHandle service = openService(DELETE);
        if (service)
            DeleteService(service.get());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    removeTree(installFolder());
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(nvtest::fileExists(package(kVersion))) << "prepare-installer.sh makes the packages";
        ASSERT_TRUE(nvtest::fileExists(package(kOlderVersion)));
        cleanMachine();
        ASSERT_TRUE(installedProducts().empty());
        ASSERT_FALSE(serviceRegistered());
    }
    void TearDown() override { cleanMachine(); }
};

// ---- the package's rows -------------------------------------------------------------------------

// Who an access list lets in, as "SY:<mask>" etc. in its order; empty text for an entry of another
// kind or trustee, or when the list is not protected or not inherited by what is made inside.
std::vector<std::string> folderEntries(const std::wstring &sddl)
{
    std::vector<std::string> entries;
    norvo::tiny::UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.c_str(), SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()), nullptr))
        return {"(no descriptor)"};
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorControl(descriptor.get(), &control, &revision) || !(control & SE_DACL_PROTECTED) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || !dacl)
        return {"(no protected list)"};
    const struct {
        WELL_KNOWN_SID_TYPE type;
        const char *name;
    } trustees[] = {{WinLocalSystemSid, "SY"}, {WinBuiltinAdministratorsSid, "BA"}, {WinBuiltinUsersSid, "BU"}};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *entry = nullptr;
        std::string text;
        if (GetAce(dacl, i, reinterpret_cast<void **>(&entry)) && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (entry->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
            for (const auto &trustee : trustees)
                if (IsWellKnownSid(&entry->SidStart, trustee.type))
                    text = std::string(trustee.name) + ":" + std::to_string(entry->Mask);
        }
        entries.push_back(text);
    }
    return entries;
}

// The folders' access as the package gives it when it creates them (MsiLockPermissionsEx; Wine's
// installer applies none, so only the rows can be read here): SYSTEM and Administrators full
// control everywhere; Users read the data folders, and get nothing in the scripts and the logs
// folder, so no user can open, lock or read a script or read the log's package paths.
TEST(InstallerPackage, PermissionRowsGiveTheScriptsAndLogsFoldersToSystemAndAdministratorsOnly)
{
    const std::string full = "SY:" + std::to_string(FILE_ALL_ACCESS);
    const std::string fullAdmin = "BA:" + std::to_string(FILE_ALL_ACCESS);
    const std::string usersRead = "BU:" + std::to_string(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    const struct {
        const wchar_t *folder;
        std::vector<std::string> entries;
    } cases[] = {{L"DATANORVODIR", {full, fullAdmin, usersRead}},
                 {L"DATADIR", {full, fullAdmin, usersRead}},
                 {L"SCRIPTSDIR", {full, fullAdmin}},
                 {L"LOGSDIR", {full, fullAdmin}}};
    const std::vector<std::wstring> rows =
        packageRows(L"SELECT `LockObject`, `Table`, `SDDL` FROM `MsiLockPermissionsEx`", 3);
    EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), rows.size());
    for (const auto &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.folder));
        const std::wstring prefix = std::wstring(c.folder) + L"|CreateFolder|";
        std::wstring sddl;
        for (const std::wstring &row : rows)
            if (row.compare(0, prefix.size(), prefix) == 0)
                sddl = row.substr(prefix.size());
        ASSERT_FALSE(sddl.empty()) << "no permission row";
        EXPECT_EQ(c.entries, folderEntries(sddl)) << nvtest::narrow(sddl);
    }
}

// ---- install -------------------------------------------------------------------------------------

TEST_F(Installer, InstallPutsTheServiceInPlaceStartsItAndRegistersItsEventSource)
{
    // The package the suite installs carries the accepted publisher's trusted signature.
    EXPECT_EQ(0, nvupdater::VerifyPackageTrust(package(kVersion)));
    EXPECT_EQ(0, nvupdater::CheckPackagePublisher(package(kVersion), kPublisher));

    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(0, install(kVersion, L"install.log"));
    reportMs("install_ms", start);

    EXPECT_TRUE(nvtest::fileExists(installedExe())) << nvtest::narrow(installedExe());
    EXPECT_EQ(kVersion, fileVersion(installedExe()));
    EXPECT_TRUE(isFolder(installFolder() + L"\\logs"));
    // The data folders, made by the installer before any user could (their access lists are the
    // service's own descriptor; Wine's installer applies none).
    EXPECT_TRUE(isFolder(nvtest::env(L"ALLUSERSPROFILE") + L"\\Norvo\\Updater Service\\scripts"));

    ServiceSettings settings;
    ASSERT_TRUE(readServiceSettings(settings));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), settings.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), settings.start);
    EXPECT_EQ(L"LocalSystem", settings.account);
    EXPECT_EQ(kDisplayName, settings.displayName);
    EXPECT_FALSE(settings.description.empty());
    if (underWine())
        // Wine's installer writes the path as it is; Windows' quotes a path with blanks.
        EXPECT_EQ(installedExe(), settings.binaryPath);
    else
        EXPECT_EQ(L"\"" + installedExe() + L"\"", settings.binaryPath);

    // After a failure the service is restarted after 60 s, twice, then left; the count starts
    // again after a day. Wine's installer has no MsiConfigureServices action and its service
    // control manager keeps no failure actions: there only the package's own rows can be read.
    if (underWine()) {
        EXPECT_EQ(std::vector<std::wstring>{L"nvupdaterservice|5|86400|1[~]1[~]0|60000[~]60000[~]0|Service"},
                  packageRows(L"SELECT `Name`, `Event`, `ResetPeriod`, `Actions`, `DelayActions`, `Component_` "
                              L"FROM `MsiServiceConfigFailureActions`",
                              6));
        EXPECT_EQ(std::vector<std::wstring>{L"5850"},
                  packageRows(L"SELECT `Sequence` FROM `InstallExecuteSequence` WHERE `Action` = 'MsiConfigureServices'", 1));
    } else {
        FailureActions failure;
        ASSERT_TRUE(readFailureActions(failure));
        EXPECT_EQ(86400u, failure.resetSeconds);
        EXPECT_EQ((std::vector<std::pair<DWORD, DWORD>>{{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000},
                                                        {SC_ACTION_NONE, 0}}),
                  failure.actions);
    }

    // Started at install, and serving: its greeting on the pipe.
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(L"200 NUS 1", greeting());

    // The event source as the service's framework registers it.
    DWORD types = 0;
    std::wstring messageFile;
    EXPECT_TRUE(readDword(kEventSourceKey, L"TypesSupported", types));
    EXPECT_EQ(7u, types);
    EXPECT_TRUE(readString(0, kEventSourceKey, L"EventMessageFile", messageFile));
    EXPECT_EQ(installedExe(), messageFile);

    // Programs and Features.
    const std::wstring entry = uninstallEntry(kVersion);
    std::wstring name, version, publisher, comments;
    EXPECT_TRUE(readString(nvtest::kBuildView, entry, L"DisplayName", name));
    EXPECT_TRUE(readString(nvtest::kBuildView, entry, L"DisplayVersion", version));
    EXPECT_TRUE(readString(nvtest::kBuildView, entry, L"Publisher", publisher));
    EXPECT_TRUE(readString(nvtest::kBuildView, entry, L"Comments", comments));
    EXPECT_EQ(kDisplayName, name);
    EXPECT_EQ(kVersion, version);
    EXPECT_EQ(kPublisher, publisher);
    EXPECT_NE(std::wstring::npos, comments.find(L"Setup Wrapper")) << nvtest::narrow(comments);
    EXPECT_EQ(1, entriesNamedLikeTheService());
}

// The service cannot start: another instance holds its single-instance object, so it ends at once
// with "Service is already running". The installer waits for the start (ServiceControl Wait), sees
// it fail and rolls the whole installation back.
TEST_F(Installer, ServiceThatCannotStartFailsTheInstallationAndLeavesNothing)
{
    UniqueHandle instance(CreateEventW(nullptr, FALSE, FALSE, kInstanceEvent));
    ASSERT_TRUE(instance.valid());

    EXPECT_NE(0, install(kVersion, L"install-start-fails.log"));
    EXPECT_TRUE(installedProducts().empty());
    EXPECT_FALSE(serviceRegistered());
    EXPECT_FALSE(nvtest::fileExists(installedExe()));
    EXPECT_FALSE(keyExists(kEventSourceKey));
    EXPECT_EQ(0, entriesNamedLikeTheService());
}

// ---- upgrade, downgrade, the same version again --------------------------------------------------

TEST_F(Installer, MajorUpgradeReplacesTheOlderBuildAndKeepsItsLog)
{
    ASSERT_EQ(0, install(kOlderVersion, L"install-older.log"));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(kOlderVersion, fileVersion(installedExe()));
    ASSERT_TRUE(serviceLogHolds("Comm - Pipe created."));
    const DWORD olderProcess = serviceStatus().dwProcessId;

    ASSERT_NO_FATAL_FAILURE(letWineStopTheServiceFirst());
    const std::string olderLog = nvtest::readFile(serviceLog());
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(0, install(kVersion, L"upgrade.log"));
    reportMs("upgrade_ms", start);

    // Stopped, replaced, started again: a new process of the new executable.
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_TRUE(waitForProcessEnd(olderProcess));
    EXPECT_NE(olderProcess, serviceStatus().dwProcessId);
    EXPECT_EQ(kVersion, fileVersion(installedExe()));
    EXPECT_EQ(L"200 NUS 1", greeting());

    // One product, one entry in Programs and Features.
    EXPECT_EQ(std::vector<std::wstring>{productCode(kVersion)}, installedProducts());
    EXPECT_EQ(1, entriesNamedLikeTheService());
    EXPECT_FALSE(keyExists(uninstallEntry(kOlderVersion)));

    // The log of the older build is still there, continued by the new one.
    const std::string log = nvtest::readFile(serviceLog());
    EXPECT_EQ(0u, log.compare(0, olderLog.size(), olderLog));
    EXPECT_EQ(2u, nvtest::countOf(log, "WinMain : Initializing service."));
}

TEST_F(Installer, OlderBuildIsRefusedOverANewerOneWithItsMessage)
{
    ASSERT_EQ(0, install(kVersion, L"install.log"));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    const DWORD process = serviceStatus().dwProcessId;

    EXPECT_EQ(static_cast<long>(ERROR_INSTALL_FAILURE), install(kOlderVersion, L"downgrade.log"));
    EXPECT_TRUE(logHolds(L"downgrade.log", L"WIX_DOWNGRADE_DETECTED = " + productCode(kVersion)));
    // What a user sees: the installer's messages, taken here in-process through its external user
    // interface (msiexec /qn shows none). Wine's installer refuses as well but never passes the
    // condition's message on, neither to a user interface nor to its log.
    std::wstring messages;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    INSTALLUI_HANDLERW previous = MsiSetExternalUIW(collectMessage, kShownMessages, &messages);
    const UINT result = MsiInstallProductW(package(kOlderVersion).c_str(), L"");
    MsiSetExternalUIW(previous, 0, nullptr);
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), result);
    if (!underWine()) {
        EXPECT_NE(std::wstring::npos, messages.find(L"A newer version of Norvo Updater Service is already installed."))
            << nvtest::narrow(messages);
    }

    // Nothing changed: the newer build installed and its service still running in the same process.
    EXPECT_EQ(std::vector<std::wstring>{productCode(kVersion)}, installedProducts());
    EXPECT_EQ(kVersion, fileVersion(installedExe()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), serviceStatus().dwCurrentState);
    EXPECT_EQ(process, serviceStatus().dwProcessId);
}

// Installing the installed version again: the installer finds its own product (same product code).
// Windows' installer then runs in maintenance mode with nothing to change: a no-op that leaves the
// service running in its process. Wine's installer reinstalls instead, a repair: it stops the
// service (without waiting, see above), replaces the files and starts it again.
TEST_F(Installer, SameVersionAgainIsANoOpOnWindowsAndARepairUnderWine)
{
    ASSERT_EQ(0, install(kVersion, L"install.log"));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    ASSERT_TRUE(serviceLogHolds("Comm - Pipe created."));
    const DWORD process = serviceStatus().dwProcessId;
    const std::string log = nvtest::readFile(serviceLog());

    ASSERT_NO_FATAL_FAILURE(letWineStopTheServiceFirst());
    EXPECT_EQ(0, install(kVersion, L"install-again.log"));

    EXPECT_EQ(std::vector<std::wstring>{productCode(kVersion)}, installedProducts());
    EXPECT_EQ(1, entriesNamedLikeTheService());
    EXPECT_TRUE(waitForState(SERVICE_RUNNING));
    if (underWine()) {
        EXPECT_NE(process, serviceStatus().dwProcessId);
    } else {
        EXPECT_EQ(process, serviceStatus().dwProcessId);
        EXPECT_EQ(log, nvtest::readFile(serviceLog()));
    }
}

// ---- repair --------------------------------------------------------------------------------------

TEST_F(Installer, RepairRestoresAMissingExecutableAndStartsTheService)
{
    ASSERT_EQ(0, install(kVersion, L"install.log"));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    ASSERT_TRUE(stopService());
    ASSERT_TRUE(DeleteFileW(installedExe().c_str()));

    // The repair command of the README. (Wine's msiexec does not take /f: 1605 with a package,
    // 1 with a product code.)
    EXPECT_EQ(0, msiexec(L"/i \"" + package(kVersion) + L"\" REINSTALL=ALL REINSTALLMODE=vomus", L"repair.log"));

    EXPECT_EQ(kVersion, fileVersion(installedExe()));
    EXPECT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(L"200 NUS 1", greeting());
}

// ---- removal -------------------------------------------------------------------------------------

// Removal takes away the service, its executable, its event source and its entry. What stays is the
// logs folder with the service's log: the log is the service's own file, not the package's, and it
// is what an administrator reads after a removal. (The data folder with the advertise scripts is
// the service's too, and stays for the same reason.)
TEST_F(Installer, UninstallRemovesTheServiceAndKeepsItsLog)
{
    ASSERT_EQ(0, install(kVersion, L"install.log"));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    ASSERT_TRUE(serviceLogHolds("Comm - Pipe created."));
    const DWORD process = serviceStatus().dwProcessId;

    ASSERT_NO_FATAL_FAILURE(letWineStopTheServiceFirst());
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(0, msiexec(L"/x \"" + package(kVersion) + L"\"", L"uninstall.log"));
    reportMs("uninstall_ms", start);

    EXPECT_TRUE(waitForProcessEnd(process));
    EXPECT_FALSE(serviceRegistered());
    EXPECT_FALSE(keyExists(kServiceKey));
    EXPECT_FALSE(nvtest::fileExists(installedExe()));
    EXPECT_FALSE(keyExists(kEventSourceKey));
    EXPECT_TRUE(installedProducts().empty());
    EXPECT_FALSE(keyExists(uninstallEntry(kVersion)));
    EXPECT_EQ(0, entriesNamedLikeTheService());

    EXPECT_TRUE(isFolder(installFolder() + L"\\logs"));
    EXPECT_TRUE(serviceLogHolds("WinMain : Finishing service."));
}

} // namespace
