// The Authenticode signature embedded in an installer file (a package or a transform), read through
// a handle the caller holds: the bytes checked are those of the held file, whatever its name leads
// to meanwhile.
#pragma once

#include <windows.h>

#include <vector>

namespace nvupdater {

// The file's signature stream (a PKCS #7 signed message, at most 1 MB): 0 with `signature` filled;
// CRYPT_E_NO_MATCH when the file is no installer storage file or carries no signature; another
// error when it cannot be read.
[[nodiscard]] LONG ReadEmbeddedSignature(HANDLE file, std::vector<BYTE> &signature);

} // namespace nvupdater
