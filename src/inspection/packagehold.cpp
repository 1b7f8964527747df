#include "inspection/packagehold.h"

#include "tiny/finalpath.h"
#include "tiny/unwaitedopen.h"

#include <vector>

namespace nvupdater {

namespace {

const wchar_t kForbiddenInNames[] = L"/:*?\"<>|";
// Not every SDK names these two.
const DWORD kStoppedOnSymlink = 681;          // ERROR_STOPPED_ON_SYMLINK
const DWORD kDirectoryNotSupported = 336;     // ERROR_DIRECTORY_NOT_SUPPORTED

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// One path component between backslashes.
bool isPlainName(const std::wstring &name)
{
    if (name.empty() || name == L"." || name == L"..")
        return false;
    // The platform drops a trailing dot or blank when it opens a name, so such a name is not canonical.
    if (name.back() == L'.' || name.back() == L' ')
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || wcschr(kForbiddenInNames, c))
            return false;
    }
    return true;
}

// A local volume of the calling identity's drive map: not a network drive, not an unknown one.
bool isLocalDrive(wchar_t letter)
{
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    switch (GetDriveTypeW(root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
        return true;
    default:
        return false;
    }
}

// What the opened handle must be. 0, or the error that says what it is instead.
DWORD checkHeldFile(HANDLE file, const std::wstring &path)
{
    if (GetFileType(file) != FILE_TYPE_DISK)
        return ERROR_BAD_FILE_TYPE;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information))
        return GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return kDirectoryNotSupported;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return ERROR_BAD_FILE_TYPE;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kStoppedOnSymlink;
    if (information.nNumberOfLinks != 1)
        return ERROR_TOO_MANY_LINKS;
    if (!norvo::tiny::handleResolvesTo(file, path))
        return ERROR_CANT_RESOLVE_FILENAME;
    return ERROR_SUCCESS;
}

} // namespace

DWORD CheckHoldablePath(const std::wstring &path)
{
    if (path.size() >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    if (path.size() < 4 || !isDriveLetter(path[0]) || path[1] != L':' || path[2] != L'\\')
        return ERROR_BAD_PATHNAME;
    for (size_t begin = 3;;) {
        const size_t end = path.find(L'\\', begin);
        if (!isPlainName(path.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin)))
            return ERROR_BAD_PATHNAME;
        if (end == std::wstring::npos)
            break;
        begin = end + 1;
    }
    return isLocalDrive(path[0]) ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
}

DWORD HoldFile(const std::wstring &path, FileHold &hold)
{
    hold = FileHold();
    DWORD result = CheckHoldablePath(path);
    if (result != ERROR_SUCCESS)
        return result;

    // Reading, and sharing only reading: from now on nobody writes, renames or deletes the file.
    // A reparse point is opened itself, never followed. The security rights come with the same
    // open when the caller has them, so the lock acts on exactly this file. Nobody's opportunistic
    // lock makes the open wait: a file whose holder would have to let go first is refused.
    const DWORD share = FILE_SHARE_READ;
    norvo::tiny::UniqueFile file;
    result = norvo::tiny::openWithoutWaiting(path, GENERIC_READ | READ_CONTROL | WRITE_DAC | WRITE_OWNER, share, file);
    const bool canChangeSecurity = result == ERROR_SUCCESS;
    if (result == ERROR_ACCESS_DENIED)
        result = norvo::tiny::openWithoutWaiting(path, GENERIC_READ, share, file);
    if (result != ERROR_SUCCESS)
        return result;

    result = checkHeldFile(file.get(), path);
    if (result != ERROR_SUCCESS)
        return result;
    hold.file = std::move(file);
    hold.canChangeSecurity = canChangeSecurity;
    return ERROR_SUCCESS;
}

} // namespace nvupdater
