// The administrators-and-system-only lock on a held package file, and taking it off again.
#pragma once

#include "inspection/packagehold.h"
#include "tiny/unique.h"

#include <windows.h>

namespace nvupdater {

// The package file's owner, group and access list as they were before the lock. Empty when the
// lock could not read them; freed by its owner.
struct SavedFileSecurity {
    norvo::tiny::UniqueLocal descriptor;
};

// Gives the held file the administrators-and-system-only descriptor through its handle; saves the
// old one. ERROR_ACCESS_DENIED, without any change, when the hold has no right to change the file's
// security (the client could not have done it itself). Error code.
[[nodiscard]] DWORD LockPackageFile(const FileHold &hold, SavedFileSecurity &saved);

// Puts back the saved group and access list through the handle, with the list's protection as it
// was (the owner stays SYSTEM), and frees `saved`. With nothing saved it leaves the file alone and
// returns ERROR_INVALID_PARAMETER.
[[nodiscard]] DWORD UnlockPackageFile(const FileHold &hold, SavedFileSecurity &saved);

} // namespace nvupdater
