#include "tiny/fileitself.h"

#include "tiny/finalpath.h"
#include "tiny/textconversion.h"

namespace norvo {
namespace tiny {

namespace {

const DWORD kStoppedOnSymlink = 681;       // ERROR_STOPPED_ON_SYMLINK
const DWORD kDirectoryNotSupported = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED

DWORD checkNamedObject(HANDLE file, const char *path)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information))
        return GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kStoppedOnSymlink;
    // Where links are not reparse points (a Unix symbolic link under Wine), the open went on to
    // the target: the resolved path then differs from the named one.
    if (!handleResolvesTo(file, fromAnsi(path)))
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
