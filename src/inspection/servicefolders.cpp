#include "inspection/servicefolders.h"

#include "inspection/protectedfolder.h"
#include "folderdescriptors.h"
#include "servicenames.h"

#include "tiny/nmutex.h"
#include "tiny/unique.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>
#include <wctype.h>

using norvo::tiny::UniqueKey;

namespace nvupdater {

namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\" NV_SERVICE_NAME;
const wchar_t kServiceDataSuffix[] = L"\\Norvo\\Updater Service";
// Given at creation (the installer gives the same): the data folders let Users read; the scripts
// and the logs folder let nobody but SYSTEM and Administrators in. A folder that an ordinary user
// made before the service ever ran is moved aside, not re-secured: its owner, its contents and
// handles opened on it earlier would stay.
const wchar_t kDataFolderSecurity[] = L"" NV_DATA_FOLDER_SECURITY;
const wchar_t kPrivateFolderSecurity[] = L"" NV_PRIVATE_FOLDER_SECURITY;

// Cuts a text before its last backslash (unchanged when it has none).
std::wstring beforeLastBackslash(const std::wstring &path)
{
    size_t at = path.rfind(L'\\');
    return at == std::wstring::npos ? path : path.substr(0, at);
}

std::wstring lowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return text;
}

std::wstring trimRun(std::wstring text, wchar_t c)
{
    while (!text.empty() && text.back() == c)
        text.pop_back();
    size_t first = text.find_first_not_of(c);
    return first == std::wstring::npos ? std::wstring() : text.substr(first);
}

// The folder of the executable that the service's "ImagePath" names, or empty.
std::wstring folderFromImagePath()
{
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::wstring();
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), L"ImagePath", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return std::wstring();
    std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), L"ImagePath", nullptr, &type, reinterpret_cast<BYTE *>(value.data()), &size) !=
        ERROR_SUCCESS)
        return std::wstring();
    return beforeLastBackslash(trimRun(value.data(), L'"'));
}

bool isWindows6OrLater()
{
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&version)))
        return false;
    return version.dwMajorVersion >= 6;
}

// One level, with `security` given at creation; an existing folder is left as it is.
void createFolder(const std::wstring &path, const wchar_t *security)
{
    norvo::tiny::UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()),
                                                              nullptr))
        return;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    CreateDirectoryW(path.c_str(), &attributes);
}

std::wstring scriptsFolderPath() { return GetDataFolder() + kServiceDataSuffix + L"\\scripts"; }

} // namespace

std::wstring GetDataFolder()
{
    wchar_t folder[260] = {};
    DWORD length = GetEnvironmentVariableW(L"ALLUSERSPROFILE", folder, 259);
    if (!isWindows6OrLater())
        SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, TRUE);
    else if (length == 0 || length >= 259)
        // Without the variable the scripts would land in a folder relative to the current drive's
        // root; the machine's common application data is where the variable points on these systems.
        SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, TRUE);
    return folder;
}

std::wstring GetScriptsFolder() { return scriptsFolderPath() + L"\\"; }

HeldFolder HoldScriptsFolder() { return HoldFolder(scriptsFolderPath()); }

const HeldFolder &ServiceScriptsFolder()
{
    static norvo::tiny::NMutex lock;
    static HeldFolder scripts;
    const norvo::tiny::NMutexLock locked(lock);
    // A folder that was there is never judged again; one that was missing is looked for again.
    if (!scripts.held())
        scripts = HoldScriptsFolder();
    return scripts;
}

std::wstring GetServiceFolder()
{
    wchar_t path[260] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, 260);
    if (length == 0 || length >= 260)
        return std::wstring();
    std::wstring folder = lowerCase(beforeLastBackslash(std::wstring(path, length)));
    size_t at = folder.find(L"system32");
    if (at != std::wstring::npos && at != 0)
        folder = folderFromImagePath();
    return folder;
}

void CreateServiceFolders()
{
    const std::wstring data = GetDataFolder();
    // Each level only inside a protected parent.
    if (EnsureProtectedFolder(data + L"\\Norvo", kDataFolderSecurity) &&
        EnsureProtectedFolder(data + kServiceDataSuffix, kDataFolderSecurity))
        EnsureProtectedFolder(scriptsFolderPath(), kPrivateFolderSecurity);
    const std::wstring service = GetServiceFolder();
    if (!service.empty())
        createFolder(service + L"\\logs", kPrivateFolderSecurity);
}

} // namespace nvupdater
