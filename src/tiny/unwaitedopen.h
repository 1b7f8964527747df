// Opening a file that someone else may hold an opportunistic lock on, without waiting for them: an
// open that breaks another's lock would wait, with no time limit, until its holder acknowledges.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace norvo {
namespace tiny {

// What CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL |
// FILE_FLAG_OPEN_REPARSE_POINT, nullptr) opens, for a file that is no folder, with the calling
// thread's identity; but when the open would have to wait for another's opportunistic lock to be
// given up, it returns at once with ERROR_OPLOCK_BREAK_IN_PROGRESS (742), or a sharing violation
// (32), and `file` stays empty. `path` is a full path in the "X:\..." form. 0, or the Windows error.
[[nodiscard]] DWORD openWithoutWaiting(const std::wstring &path, DWORD access, DWORD share, UniqueFile &file);

} // namespace tiny
} // namespace norvo
