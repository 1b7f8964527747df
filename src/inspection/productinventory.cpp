// Installed products, read from the installer's per-machine registration and from the products'
// Uninstall entries. The registry view is always named: on 64-bit Windows, where this program runs
// as a 32-bit process or a 64-bit one, the installer keeps its per-machine data in the 64-bit view.
#include "inspection/productinventory.h"

#include <cwctype>
#include <vector>

using norvo::tiny::UniqueKey;

namespace nvupdater {

namespace {

const REGSAM kRead = KEY_READ;
const REGSAM kRead64 = KEY_READ | KEY_WOW64_64KEY;
const REGSAM kRead32 = KEY_READ | KEY_WOW64_32KEY;
const LONG kVersionMismatch = -2;
const LONG kNotPlainString = ERROR_REGISTRY_CORRUPT;   // 1015: the value is not a usable string

const wchar_t kUpgradeCodesKey[] = L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\";
const wchar_t kMachineProductsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\";
const wchar_t kInstallProperties[] = L"\\InstallProperties";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kDisplayVersion[] = L"DisplayVersion";

// Reads "DisplayVersion" as a plain, non-empty string: 0, 1015 for another kind or an empty value,
// 2 when the second read fails, or the first query's error.
LONG readDisplayVersion(HKEY key, std::wstring &version)
{
    DWORD type = 0, size = 0;
    LONG result = RegQueryValueExW(key, kDisplayVersion, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ || size == 0)
        return kNotPlainString;
    // One spare character: a stored string need not carry its terminator.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, kDisplayVersion, nullptr, &type, reinterpret_cast<BYTE *>(text.data()), &size) !=
        ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    version.assign(text.data());
    return ERROR_SUCCESS;
}

// One part of a version as "%d" reads it from `at`: blanks, a sign, digits. Returns false (and
// leaves `at`) when there is no number. The digits are kept as text, so a part of any length is
// neither cut nor overflowed.
bool readNumber(const std::wstring &text, size_t &at, bool &negative, std::wstring &digits)
{
    size_t i = at;
    while (i < text.size() && iswspace(text[i]))
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    size_t first = i;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9')
        ++i;
    if (i == first)
        return false;
    size_t significant = text.find_first_not_of(L'0', first);
    digits = significant == std::wstring::npos || significant >= i ? std::wstring(L"0")
                                                                    : text.substr(significant, i - significant);
    if (digits == L"0")
        negative = false;
    at = i;
    return true;
}

// "%.<width>d" of a number held as sign and digits.
std::wstring padded(bool negative, const std::wstring &digits, size_t width)
{
    std::wstring out = negative ? L"-" : L"";
    if (digits.size() < width)
        out.append(width - digits.size(), L'0');
    return out + digits;
}

} // namespace

bool IsRunningOnWow64()
{
    using IsWow64ProcessFn = BOOL(WINAPI *)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel)
        return false;
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void *>(GetProcAddress(kernel, "IsWow64Process")));
    if (!isWow64Process)
        return false;
    BOOL wow64 = FALSE;
    isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

bool HasBothRegistryViews() { return sizeof(void *) == 8 || IsRunningOnWow64(); }

std::wstring NormalizeVersion(const std::wstring &version)
{
    if (version.size() <= 1)
        return version;
    // Up to three parts as "%d.%d.%d" reads them; parts that cannot be read stay 0.
    bool negative[3] = {false, false, false};
    std::wstring digits[3] = {L"0", L"0", L"0"};
    size_t at = 0;
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            if (at >= version.size() || version[at] != L'.')
                break;
            ++at;
        }
        if (!readNumber(version, at, negative[part], digits[part]))
            break;
    }
    return padded(negative[0], digits[0], 2) + L"." + padded(negative[1], digits[1], 2) + L"." +
           padded(negative[2], digits[2], 6);
}

LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion)
{
    std::wstring packedProductCode;
    return FindProductByUpgradeCode(upgradeCode, installedVersion, packedProductCode);
}

LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion,
                              std::wstring &packedProductCode)
{
    const REGSAM access = IsRunningOnWow64() ? kRead64 : kRead;

    std::wstring productName;
    {
        UniqueKey codes;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kUpgradeCodesKey + PackGuid(upgradeCode)).c_str(), 0, access,
                          codes.put()) != ERROR_SUCCESS)
            return ERROR_FILE_NOT_FOUND;
        DWORD values = 0, longestName = 0;
        LONG result = RegQueryInfoKeyW(codes.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                       &longestName, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS)
            return result;
        if (values == 0)
            return ERROR_FILE_NOT_FOUND;
        // Only the first product registered under the code counts.
        std::vector<wchar_t> name(longestName + 1, L'\0');
        DWORD length = longestName + 1;
        result = RegEnumValueW(codes.get(), 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS)
            return result;
        productName.assign(name.data(), length);
    }

    packedProductCode = productName;

    UniqueKey properties;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kMachineProductsKey + productName + kInstallProperties).c_str(), 0, access,
                      properties.put()) != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    return readDisplayVersion(properties.get(), installedVersion);
}

LONG OpenUninstallKey(const std::wstring &productCode, UniqueKey &key)
{
    const std::wstring path = kUninstallKey + productCode;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kRead32, key.put()) == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    // A 64-bit package's entry is in the 64-bit view, which a 64-bit process reads too.
    if (HasBothRegistryViews() &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kRead64, key.put()) == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    return ERROR_FILE_NOT_FOUND;
}

LONG IsProductRegistered(const std::wstring &productCode)
{
    UniqueKey key;
    LONG result = OpenUninstallKey(productCode, key);
    if (result != ERROR_SUCCESS)
        return result;
    return RegQueryValueExW(key.get(), kDisplayVersion, nullptr, nullptr, nullptr, nullptr);
}

LONG CheckInstalledVersion(const std::wstring &productCode, const std::wstring &expectedVersion)
{
    UniqueKey key;
    LONG result = OpenUninstallKey(productCode, key);
    if (result != ERROR_SUCCESS)
        return result;
    std::wstring installed;
    result = readDisplayVersion(key.get(), installed);
    if (result != ERROR_SUCCESS)
        return result;
    return installed == expectedVersion ? ERROR_SUCCESS : kVersionMismatch;
}

} // namespace nvupdater
