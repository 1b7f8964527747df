// Holding a file that a client names: the path must be a plain local one, and the file, opened once
// with the client's own rights, is kept open so that nobody can change, replace, rename or delete it
// until the service is done with it.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// 0 when `path` is an absolute path in canonical form on a lettered local volume: "X:\" followed by
// names separated by single backslashes; no "\\?\" or "\\.\" prefix, no UNC or relative path, no
// "." or ".." component, no ':' after the drive (no alternate data stream), no wildcard, quote or
// control character, no name ending in a dot or a blank. ERROR_BAD_PATHNAME (161) otherwise, and
// ERROR_FILENAME_EXCED_RANGE (206) for a path of MAX_PATH characters or more.
[[nodiscard]] DWORD CheckHoldablePath(const std::wstring &path);

// A file held open for reading, sharing only reading: while it is held, no other process can open
// it for writing, rename it or delete it. `canChangeSecurity` tells whether the holder also got
// READ_CONTROL, WRITE_DAC and WRITE_OWNER through the same open.
struct FileHold {
    norvo::tiny::UniqueFile file;
    bool canChangeSecurity = false;
    explicit operator bool() const { return file.valid(); }
};

// Opens `path` for a hold, with the identity the calling thread has now (the service impersonates
// the client around this call), and checks what it opened: the path rules above; a regular file on
// a local disk (not a directory, device or pipe), no reparse point, exactly one link; and the
// file's final path equal to `path` with its short names expanded, letter case aside, so that no
// junction, link or substituted drive lies on the way. The open never waits for another's
// opportunistic lock. 0 with `hold` filled, or the Windows error that says why not (161 or 206 for
// the path rules, 32 when another process has the file open for writing, 742 when another's
// opportunistic lock on it is being broken, 1142 for a second link, 681 for a reparse point, 222
// for a device or pipe, 336 for a directory, 1921 when the final path differs); `hold` is then empty.
[[nodiscard]] DWORD HoldFile(const std::wstring &path, FileHold &hold);

} // namespace nvupdater
