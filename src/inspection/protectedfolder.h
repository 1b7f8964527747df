// Folders the service keeps files in and acts on later, as SYSTEM: only SYSTEM and administrators
// may write there. A folder that exists is judged through a handle of its own, never by its name.
#pragma once

#include "tiny/unique.h"

#include <string>

namespace nvupdater {

// A folder held open, and judged once through that handle, for as long as this object lives. The
// handle shares reading and writing but not deletion: while it is held, nobody can rename, move or
// delete the folder, or put another one in its place, so the verdict stays true for its path.
class HeldFolder {
public:
    HeldFolder() = default;
    // The folder's path, without a trailing backslash.
    const std::wstring &path() const { return path_; }
    // True when the folder was held and judged protected (see IsProtectedFolder).
    bool isProtected() const { return protected_; }
    bool held() const { return folder_.valid(); }

private:
    friend HeldFolder HoldFolder(const std::wstring &path);
    norvo::tiny::UniqueFile folder_;
    std::wstring path_;
    bool protected_ = false;
};

// Opens the folder `path` itself (never what a reparse point names) and holds it; the verdict is
// IsProtectedFolder's, taken through the held handle. A folder that cannot be opened is not held.
HeldFolder HoldFolder(const std::wstring &path);

// True when `path` is a folder itself (no reparse point, nothing on the way leads elsewhere), owned
// by SYSTEM, Administrators or the service's own account, and its access list lets nobody else
// write, delete or change anything in it or in what it passes on to new files.
bool IsProtectedFolder(const std::wstring &path);

// Makes `path` a protected folder, created with the descriptor `security` (SDDL) given at creation.
// A folder that is held already (HoldFolder) stays held and as it is when it is protected.
// An existing folder that is not protected (a user made it, or it is a reparse point) is moved aside
// through its own handle, to "<path>.untrusted-<time>", with whatever it holds, and created anew;
// one that leads elsewhere without being a reparse point is left alone. True when the folder at
// `path` is protected afterwards.
bool EnsureProtectedFolder(const std::wstring &path, const wchar_t *security);

} // namespace nvupdater
