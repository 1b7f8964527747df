// Opening and deleting a file itself by its name, never what a link in its place leads to: the
// handle is opened without following a reparse point and checked to be the named object before
// anything acts on it.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

namespace norvo {
namespace tiny {

// Opens `path` with `access` (sharing everything) and checks the handle: a reparse point gives
// ERROR_STOPPED_ON_SYMLINK (681), a name that resolves to another object
// ERROR_CANT_RESOLVE_FILENAME (1921), and `file` is then empty. 0, or the error.
[[nodiscard]] DWORD openFileItself(const char *path, DWORD access, UniqueFile &file);

// Deletes the file open as `file` (opened with DELETE) through its handle.
[[nodiscard]] DWORD deleteThroughHandle(HANDLE file);

// Deletes the regular file `path` through a checked handle; a link or a folder of that name is
// refused and stays (a folder: ERROR_DIRECTORY_NOT_SUPPORTED, 336). 0, or the error
// (ERROR_FILE_NOT_FOUND when nothing has that name).
[[nodiscard]] DWORD deleteFileItself(const char *path);

} // namespace tiny
} // namespace norvo
