#include "tiny/finalpath.h"

#include <vector>

namespace norvo {
namespace tiny {

namespace {

const wchar_t kLongPrefix[] = L"\\\\?\\";
const size_t kLongPrefixLength = 4;

// The handle's path as the file system resolved it, in the "C:\..." form; empty when unknown.
std::wstring finalPathOf(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH + kLongPrefixLength + 1);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    std::wstring path(buffer.data(), length);
    // "\\?\C:\..." only; "\\?\UNC\..." is a network path and stays unequal to any local one.
    if (path.compare(0, kLongPrefixLength, kLongPrefix) == 0 && path.size() > kLongPrefixLength + 1 &&
        path[kLongPrefixLength + 1] == L':')
        path.erase(0, kLongPrefixLength);
    return path;
}

// `path` with its short (8.3) names expanded; empty when that fails.
std::wstring longPathOf(const std::wstring &path)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    return std::wstring(buffer.data(), length);
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
