#include "kit.h"

#include "tiny/unique.h"

#include <cstdio>

namespace kit {

std::wstring productCode(unsigned long long n)
{
    wchar_t text[64];
    _snwprintf(text, 63, L"{7A000000-0000-4000-8000-%012llu}", n);
    text[63] = L'\0';
    return text;
}

std::wstring package(const std::wstring &name) { return nvtest::runDir() + L"\\testkit\\packages\\" + name + L".msi"; }

bool setValue(REGSAM view, const std::wstring &key, const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    norvo::tiny::UniqueKey opened;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, opened.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    if (!name)
        return true;
    return RegSetValueExW(opened.get(), name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
}

bool setString(REGSAM view, const std::wstring &key, const wchar_t *name, const std::wstring &value)
{
    return setValue(view, key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void deleteTree(REGSAM view, const std::wstring &key)
{
    norvo::tiny::UniqueKey opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | view, opened.put()) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(opened.get(), nullptr);
    opened.reset();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), view, 0);
}

bool keyExists(REGSAM view, const std::wstring &key)
{
    norvo::tiny::UniqueKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, opened.put()) == ERROR_SUCCESS;
}

long msiexec(const wchar_t *action, const std::wstring &packagePath)
{
    return nvtest::runProcess(L"msiexec " + std::wstring(action) + L" \"" + packagePath + L"\" /qn", 120000).exitCode;
}

bool copy(const std::wstring &from, const std::wstring &to) { return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0; }

} // namespace kit
