// The package's Authenticode signature: whether it is trusted and who signed it. The publisher's
// name is that of the signer whose chain the trust check built, never a certificate merely found in
// the signature's own bag. The checks read the file through a handle the caller holds, so that they
// judge the held file itself.
#pragma once

#include <windows.h>

#include <string>

namespace nvupdater {

// One trust check of the file held by `file` (`path` names it, for the platform to tell its kind)
// and the signer it verified.
struct VerifiedSignature {
    LONG trust = 0;    // WinVerifyTrust's verdict: 0 trusted
    LONG signer = 0;   // 0 with `name` read; CRYPT_E_NO_MATCH for a file without a signature, or the error
    std::wstring name; // the simple display name of the leaf of the signer's chain
};
VerifiedSignature VerifySignature(HANDLE file, const std::wstring &path);

// 0 when the verified signer's name equals `publisher` exactly, -1 when it is another name,
// otherwise the signer's error.
[[nodiscard]] LONG MatchPublisher(const VerifiedSignature &signature, const std::wstring &publisher);

// The same on a file that the path names, opened for reading for the one call (tests and tools).
[[nodiscard]] LONG VerifyPackageTrust(const std::wstring &path);
[[nodiscard]] LONG CheckPackagePublisher(const std::wstring &path, const std::wstring &publisher);

} // namespace nvupdater
