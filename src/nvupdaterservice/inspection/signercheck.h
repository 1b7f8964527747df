// The package's Authenticode signature: whether it is trusted and who signed it first.
#pragma once

#include <windows.h>

#include <string>

namespace nvupdater {

// WinVerifyTrust's verdict on the package's embedded Authenticode signature: 0 trusted.
LONG VerifyPackageTrust(const std::wstring &packagePath);

// 0 when the first signer's simple display name equals `publisher` exactly, -1 when it is another
// name, otherwise the platform's error code.
LONG CheckPackagePublisher(const std::wstring &packagePath, const std::wstring &publisher);

// The simple display name of the first signer's certificate: 0 with `name` set, otherwise the
// platform's error code (the same one CheckPackagePublisher returns).
LONG ReadFirstSignerName(const std::wstring &packagePath, std::wstring &name);

} // namespace nvupdater
