// Folders the service keeps files in and acts on later, as SYSTEM: only SYSTEM and administrators
// may write there. A folder that exists is judged through a handle of its own, never by its name.
#pragma once

#include <string>

namespace nvupdater {

// True when `path` is a folder itself (no reparse point, nothing on the way leads elsewhere), owned
// by SYSTEM, Administrators or the service's own account, and its access list lets nobody else
// write, delete or change anything in it or in what it passes on to new files.
bool IsProtectedFolder(const std::wstring &path);

// Makes `path` a protected folder, created with the descriptor `security` (SDDL) given at creation.
// An existing folder that is not protected (a user made it, or it is a reparse point) is moved aside
// through its own handle, to "<path>.untrusted-<time>", with whatever it holds, and created anew;
// one that leads elsewhere without being a reparse point is left alone. True when the folder at
// `path` is protected afterwards.
bool EnsureProtectedFolder(const std::wstring &path, const wchar_t *security);

} // namespace nvupdater
