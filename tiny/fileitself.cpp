#include "tiny/fileitself.h"

#include <string.h>

#include <string>
#include <vector>

namespace norvo {
namespace tiny {

namespace {

const DWORD kStoppedOnSymlink = 681;       // ERROR_STOPPED_ON_SYMLINK
const DWORD kDirectoryNotSupported = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED
const char kLongPrefix[] = "\\\\?\\";
const char kLongNetworkPrefix[] = "\\\\?\\UNC\\";

// The path the file system resolved for the handle, in the "C:\..." or "\\server\..." form.
std::string finalPathOf(HANDLE file)
{
    std::vector<char> buffer(MAX_PATH + 16);
    DWORD length = GetFinalPathNameByHandleA(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size())
        return std::string();
    std::string path(buffer.data(), length);
    if (path.compare(0, strlen(kLongNetworkPrefix), kLongNetworkPrefix) == 0)
        return "\\\\" + path.substr(strlen(kLongNetworkPrefix));
    if (path.compare(0, strlen(kLongPrefix), kLongPrefix) == 0)
        return path.substr(strlen(kLongPrefix));
    return path;
}

// The named path made absolute, with its short (8.3) names expanded; empty when that fails.
std::string longFullPathOf(const char *path)
{
    std::vector<char> full(MAX_PATH + 1), expanded(MAX_PATH + 1);
    DWORD length = GetFullPathNameA(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return std::string();
    length = GetLongPathNameA(full.data(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (length == 0 || length >= expanded.size())
        return std::string();
    return std::string(expanded.data(), length);
}

DWORD checkNamedObject(HANDLE file, const char *path)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information))
        return GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kStoppedOnSymlink;
    // Where links are not reparse points (a Unix symbolic link under Wine), the open went on to
    // the target: the resolved path then differs from the named one.
    std::string resolved = finalPathOf(file), named = longFullPathOf(path);
    if (resolved.empty() || named.empty() || _stricmp(resolved.c_str(), named.c_str()) != 0)
        return ERROR_CANT_RESOLVE_FILENAME;
    return ERROR_SUCCESS;
}

} // namespace

DWORD openFileItself(const char *path, DWORD access, UniqueFile &file)
{
    file.reset(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return GetLastError();
    DWORD checked = checkNamedObject(file.get(), path);
    if (checked != ERROR_SUCCESS)
        file.reset();
    return checked;
}

DWORD deleteThroughHandle(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD deleteFileItself(const char *path)
{
    UniqueFile file;
    DWORD opened = openFileItself(path, DELETE | FILE_READ_ATTRIBUTES, file);
    if (opened != ERROR_SUCCESS)
        return opened;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information))
        return GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return kDirectoryNotSupported;
    return deleteThroughHandle(file.get());
}

} // namespace tiny
} // namespace norvo
