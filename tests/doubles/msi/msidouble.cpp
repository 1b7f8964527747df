// Test double of msi.dll for the two advertise entry points, which Wine does not implement:
//   ordinal 6   (advertise a product into a script) writes a small script naming the package's
//               product code;
//   ordinal 177 (process an advertise script) registers the product's advertisement marker
//               HKLM\SOFTWARE\Classes\Installer\Products\<packed product code> (64-bit view), or
//               removes it when asked to take the advertisement away.
// Every other export forwards to the real installer, wmsi.dll beside this file (see gen-exports.sh).
//
// It exists only inside a test or demo Wine prefix (install.sh) and is reached only through the
// platform's own DLL loading. Settings are read at every call from the registry, because services
// ignore their caller's environment: HKLM\SOFTWARE\NorvoTest\MsiDouble (in the double's own view:
// the 32-bit one for a 32-bit caller on WoW64, the 64-bit one for a 64-bit caller)
//   CallLog          REG_SZ     file that receives one UTF-8 line per call (no log when missing)
//   AdvertiseResult  REG_DWORD  non-zero: ordinal 6 returns it and does nothing else
//   ScriptResult     REG_DWORD  non-zero: ordinal 177 returns it and does nothing else
//   ApplyDelayMs     REG_DWORD  ordinal 177 returns that many milliseconds after it applied a script
//                               (a slow advertisement, during which the caller may be stopped)
//   FaultInCall      REG_DWORD  6, 94 or 177: that call faults (writes through a null pointer), so
//                               that a caller's crash reporting can be seen at work
// Ordinal 94 (open a package) is the double's own too, only to be able to fault there: it forwards
// to the real installer otherwise.
#include "inspection/packedguid.h"
#include "tiny/textconversion.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using norvo::tiny::fromUtf8;
using norvo::tiny::toUtf8;
using MsiHandle = unsigned long;

HMODULE self;
const wchar_t kSettingsKey[] = L"SOFTWARE\\NorvoTest\\MsiDouble";
const char kScriptHeader[] = "NORVO-MSIDOUBLE-SCRIPT 1";
const wchar_t kAdvertisedProducts[] = L"SOFTWARE\\Classes\\Installer\\Products\\";

// A setting's raw value, or false when it is missing or of another type.
bool setting(const wchar_t *name, DWORD wantedType, void *value, DWORD size)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == wantedType;
}

std::wstring settingText(const wchar_t *name)
{
    wchar_t value[MAX_PATH + 1] = {};
    if (!setting(name, REG_SZ, value, MAX_PATH * sizeof(wchar_t)))
        return std::wstring();
    return value;
}

DWORD settingNumber(const wchar_t *name)
{
    DWORD value = 0;
    return setting(name, REG_DWORD, &value, sizeof(value)) ? value : 0;
}

void record(const std::wstring &line)
{
    std::wstring path = settingText(L"CallLog");
    if (path.empty())
        return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = toUtf8(line) + "\r\n";
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring quoted(const wchar_t *text) { return text ? L"\"" + std::wstring(text) + L"\"" : L"null"; }

std::wstring hex(DWORD value)
{
    wchar_t text[16];
    _snwprintf(text, 15, L"0x%lX", static_cast<unsigned long>(value));
    text[15] = L'\0';
    return text;
}

// The real installer beside this file.
HMODULE realInstaller()
{
    static HMODULE real = [] {
        wchar_t path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        std::wstring beside(path, length);
        beside = beside.substr(0, beside.rfind(L'\\') + 1) + L"wmsi.dll";
        return LoadLibraryW(beside.c_str());
    }();
    return real;
}

template <typename Fn>
Fn realEntry(WORD ordinal)
{
    HMODULE real = realInstaller();
    return real ? reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(real, MAKEINTRESOURCEA(ordinal))))
                : nullptr;
}

// The package's ProductCode, read with the real installer's database queries.
UINT readProductCode(const wchar_t *package, std::wstring &productCode)
{
    using OpenDatabase = UINT(WINAPI *)(LPCWSTR, LPCWSTR, MsiHandle *);
    using OpenView = UINT(WINAPI *)(MsiHandle, LPCWSTR, MsiHandle *);
    using Execute = UINT(WINAPI *)(MsiHandle, MsiHandle);
    using Fetch = UINT(WINAPI *)(MsiHandle, MsiHandle *);
    using GetString = UINT(WINAPI *)(MsiHandle, UINT, LPWSTR, DWORD *);
    using Close = UINT(WINAPI *)(MsiHandle);
    auto openDatabase = realEntry<OpenDatabase>(92);
    auto openView = realEntry<OpenView>(32);
    auto execute = realEntry<Execute>(159);
    auto fetch = realEntry<Fetch>(160);
    auto getString = realEntry<GetString>(118);
    auto close = realEntry<Close>(8);
    if (!openDatabase || !openView || !execute || !fetch || !getString || !close)
        return ERROR_PROC_NOT_FOUND;
    MsiHandle database = 0, view = 0, row = 0;
    UINT result = openDatabase(package, nullptr, &database);
    if (result == ERROR_SUCCESS)
        result = openView(database, L"SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'", &view);
    if (result == ERROR_SUCCESS)
        result = execute(view, 0);
    if (result == ERROR_SUCCESS)
        result = fetch(view, &row);
    wchar_t value[64] = {};
    DWORD capacity = 64;
    if (result == ERROR_SUCCESS)
        result = getString(row, 1, value, &capacity);
    for (MsiHandle handle : {row, view, database})
        if (handle)
            close(handle);
    productCode = value;
    return result;
}

std::wstring scriptValue(const std::string &text, const std::string &name)
{
    std::string marker = "\n" + name + "=";
    size_t at = text.find(marker);
    if (at == std::string::npos)
        return std::wstring();
    at += marker.size();
    return fromUtf8(text.substr(at, text.find_first_of("\r\n", at) - at));
}

// The registry key name of an advertised product: only a braced product code has one.
std::wstring packed(const std::wstring &guid) { return guid.size() == 38 ? nvupdater::PackGuid(guid) : std::wstring(); }

// Faults when the settings ask for a fault in `ordinal`.
void faultWhenAsked(DWORD ordinal)
{
    if (settingNumber(L"FaultInCall") != ordinal)
        return;
    record(std::to_wstring(ordinal) + L" fault");
    // Through a pointer the compiler cannot see is null: a real access violation, not a trap.
    volatile int *volatile nowhere = nullptr;
    *nowhere = 0;
}

UINT advertiseProduct(LPCWSTR package, LPCWSTR script, LPCWSTR transforms, LANGID language)
{
    if (DWORD forced = settingNumber(L"AdvertiseResult"))
        return forced;
    if (!package || !script)
        return ERROR_INVALID_PARAMETER;
    std::wstring productCode;
    if (readProductCode(package, productCode) != ERROR_SUCCESS)
        return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
    std::string text = std::string(kScriptHeader) + "\r\nproductcode=" + toUtf8(productCode) + "\r\npackage=" +
                       toUtf8(package) + "\r\ntransforms=" + toUtf8(transforms ? transforms : L"") + "\r\n";
    HANDLE file = CreateFileW(script, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD written = 0;
    BOOL wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    UINT result = wrote ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    (void)language;
    return result;
}

UINT advertiseScript(LPCWSTR script, DWORD flags, PHKEY registryData, BOOL remove)
{
    if (DWORD forced = settingNumber(L"ScriptResult"))
        return forced;
    if (!script || registryData || !(flags & 0x8))
        return ERROR_INVALID_PARAMETER;
    HANDLE file = CreateFileW(script, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    char buffer[4096] = {};
    DWORD got = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &got, nullptr);
    CloseHandle(file);
    std::string text(buffer, got);
    std::wstring productKey = packed(scriptValue("\n" + text, "productcode"));
    if (text.compare(0, sizeof(kScriptHeader) - 1, kScriptHeader) != 0 || productKey.empty())
        return ERROR_INSTALL_PACKAGE_INVALID;
    std::wstring key = kAdvertisedProducts + productKey;
    if (remove) {
        LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<UINT>(status);
    }
    HKEY created = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                     nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    RegSetValueExW(created, L"AdvertiseScript", 0, REG_SZ, reinterpret_cast<const BYTE *>(script),
                   static_cast<DWORD>((wcslen(script) + 1) * sizeof(wchar_t)));
    RegSetValueExW(created, L"AdvertiseFlags", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&flags), sizeof(flags));
    RegCloseKey(created);
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

UINT WINAPI DoubleAdvertiseProductW(LPCWSTR package, LPCWSTR script, LPCWSTR transforms, LANGID language)
{
    faultWhenAsked(6);
    UINT result = advertiseProduct(package, script, transforms, language);
    record(L"6 package=" + quoted(package) + L" script=" + quoted(script) + L" transforms=" + quoted(transforms) +
           L" language=" + hex(language) + L" -> " + std::to_wstring(result));
    return result;
}

UINT WINAPI DoubleAdvertiseScriptW(LPCWSTR script, DWORD flags, PHKEY registryData, BOOL remove)
{
    faultWhenAsked(177);
    UINT result = advertiseScript(script, flags, registryData, remove);
    if (result == ERROR_SUCCESS && !remove)
        Sleep(settingNumber(L"ApplyDelayMs"));
    record(L"177 script=" + quoted(script) + L" flags=" + hex(flags) + L" regdata=" +
           (registryData ? L"set" : L"null") + L" remove=" + std::to_wstring(remove ? 1 : 0) + L" -> " +
           std::to_wstring(result));
    return result;
}

UINT WINAPI DoubleOpenPackageW(LPCWSTR package, MsiHandle *session)
{
    faultWhenAsked(94);
    using OpenPackage = UINT(WINAPI *)(LPCWSTR, MsiHandle *);
    OpenPackage real = realEntry<OpenPackage>(94);
    return real ? real(package, session) : ERROR_PROC_NOT_FOUND;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

} // extern "C"
