#include "tiny/finalpath.h"

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

} // namespace

bool handleResolvesTo(HANDLE handle, const std::wstring &path)
{
    const std::wstring final = finalPathOf(handle);
    const std::wstring expected = longPathOf(path);
    return !final.empty() && CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), expected.c_str(),
                                                  static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

} // namespace tiny
} // namespace norvo
