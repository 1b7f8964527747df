// The package's Authenticode signature: whether it is trusted and who signed it first. The checks
// read the file through a handle the caller holds, so that they judge the held file itself.
#pragma once

#include <windows.h>

#include <string>

namespace nvupdater {

// WinVerifyTrust's verdict on the embedded Authenticode signature of the file held by `file`
// (`path` names it, for the platform to tell its kind): 0 trusted.
[[nodiscard]] LONG VerifyPackageTrust(HANDLE file, const std::wstring &path);

// 0 when the first signer's simple display name equals `publisher` exactly, -1 when it is another
// name, otherwise the platform's error code (CRYPT_E_NO_MATCH for a file without a signature).
[[nodiscard]] LONG CheckPackagePublisher(HANDLE file, const std::wstring &publisher);

// The simple display name of the first signer's certificate, from the signature read through the
// handle: 0 with `name` set, otherwise the platform's error code (the one CheckPackagePublisher
// returns).
[[nodiscard]] LONG ReadFirstSignerName(HANDLE file, std::wstring &name);

// The same on a file that the path names, opened for reading for the one call (tests and tools).
[[nodiscard]] LONG VerifyPackageTrust(const std::wstring &path);
[[nodiscard]] LONG CheckPackagePublisher(const std::wstring &path, const std::wstring &publisher);
[[nodiscard]] LONG ReadFirstSignerName(const std::wstring &path, std::wstring &name);

} // namespace nvupdater
