#include "tiny/finalpath.h"

#include "tiny/unique.h"

#include <vector>

namespace norvo {
namespace tiny {

namespace {

const wchar_t kLongPrefix[] = L"\\\\?\\";
const size_t kLongPrefixLength = 4;
const wchar_t kLongNetworkPrefix[] = L"\\\\?\\UNC\\";
const size_t kLongNetworkPrefixLength = 8;

// The handle's path as the file system resolved it, in the "C:\..." or "\\server\share\..." form;
// empty when unknown.
std::wstring finalPathOf(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH + kLongPrefixLength + 1);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    std::wstring path(buffer.data(), length);
    // A network path keeps its "\\" and so stays unequal to any local one.
    if (path.compare(0, kLongNetworkPrefixLength, kLongNetworkPrefix) == 0)
        return L"\\\\" + path.substr(kLongNetworkPrefixLength);
    if (path.compare(0, kLongPrefixLength, kLongPrefix) == 0 && path.size() > kLongPrefixLength + 1 &&
        path[kLongPrefixLength + 1] == L':')
        path.erase(0, kLongPrefixLength);
    return path;
}

// `path` made absolute, with its short (8.3) names expanded; empty when that fails.
std::wstring longPathOf(const std::wstring &path)
{
    std::vector<wchar_t> full(MAX_PATH + 1), expanded(MAX_PATH + 1);
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return std::wstring();
    length = GetLongPathNameW(full.data(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (length == 0 || length >= expanded.size())
        return std::wstring();
    return std::wstring(expanded.data(), length);
}

bool samePath(const std::wstring &a, const std::wstring &b)
{
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The system folder, long form, as a program names it; empty when unknown.
std::wstring systemFolderByName()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return std::wstring();
    return longPathOf(std::wstring(folder, length));
}

// Where the file system takes a 32-bit program that names the system folder on 64-bit Windows:
// the 32-bit system folder. Told by the folder's own handle, so that only the file system's
// redirection is accepted, never a link. `expected` is the long form of a path inside the system
// folder; the result is where it really leads, or empty when it does not lie there.
std::wstring redirectedSystemPath(const std::wstring &expected)
{
    const std::wstring system = systemFolderByName();
    if (system.empty() || expected.size() <= system.size() + 1 || expected[system.size()] != L'\\' ||
        !samePath(expected.substr(0, system.size()), system))
        return std::wstring();
    UniqueFile folder(CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring leadsTo = folder ? finalPathOf(folder.get()) : std::wstring();
    return leadsTo.empty() ? std::wstring() : leadsTo + expected.substr(system.size());
}

} // namespace

bool handleResolvesTo(HANDLE handle, const std::wstring &path)
{
    const std::wstring final = finalPathOf(handle);
    const std::wstring expected = longPathOf(path);
    if (final.empty() || expected.empty())
        return false;
    return samePath(final, expected) || samePath(final, redirectedSystemPath(expected));
}

} // namespace tiny
} // namespace norvo
