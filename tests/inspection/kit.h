// What the inspection suites share: the test kit's packages and codes (tests/kit/make-kit.sh),
// registry fixtures in a chosen view, and real installs through msiexec.
#pragma once

#include "testsupport.h"

#include <windows.h>

#include <string>

namespace kit {

// Families of make-kit.sh.
const wchar_t kFamilyF[] = L"{6F1A0000-1111-4111-8111-00000000000F}";
const wchar_t kFamilyG[] = L"{6F1A0000-1111-4111-8111-00000000000A}";
const wchar_t kFamilyH[] = L"{6F1A0000-1111-4111-8111-00000000000B}";

// Product code number N of make-kit.sh: {7A000000-0000-4000-8000-<N, 12 digits>}.
std::wstring productCode(unsigned long long n);

// The kit's package NAME.msi (Windows path).
std::wstring package(const std::wstring &name);

// Registry fixtures under HKEY_LOCAL_MACHINE in one view (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool setValue(REGSAM view, const std::wstring &key, const wchar_t *name, DWORD type, const void *data, DWORD size);
bool setString(REGSAM view, const std::wstring &key, const wchar_t *name, const std::wstring &value);
void deleteTree(REGSAM view, const std::wstring &key);
bool keyExists(REGSAM view, const std::wstring &key);

// Runs msiexec on a package ("/i" or "/x") without user interface; its exit code.
long msiexec(const wchar_t *action, const std::wstring &packagePath);

// Copies a file; false on failure.
bool copy(const std::wstring &from, const std::wstring &to);

} // namespace kit
