// Installed products as the registry records them: packed GUIDs, normalised versions, lookups by
// upgrade code and product code.
#pragma once

#include "inspection/packedguid.h"
#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace nvupdater {

bool IsRunningOnWow64();
// True where the registry has a 32-bit and a 64-bit view: on 64-bit Windows, whether this process
// is a 32-bit one (on WoW64) or a 64-bit one.
bool HasBothRegistryViews();
std::wstring NormalizeVersion(const std::wstring &version);   // "%.2d.%.2d.%.6d"

// 0 with the "DisplayVersion" of the first product registered per machine under the upgrade code;
// 2 not found, 1015 not a plain string, or the platform's error.
[[nodiscard]] LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion);
// The same, also giving the packed product code of the product found.
[[nodiscard]] LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion,
                              std::wstring &packedProductCode);

// 0 with the product's Uninstall key open in `key` (32-bit view first, then 64-bit), or 2.
[[nodiscard]] LONG OpenUninstallKey(const std::wstring &productCode, norvo::tiny::UniqueKey &key);

// 0 when the product's Uninstall key has a "DisplayVersion" value.
[[nodiscard]] LONG IsProductRegistered(const std::wstring &productCode);

// 0 when the Uninstall "DisplayVersion" equals `expectedVersion`, -2 when it differs, else an error.
[[nodiscard]] LONG CheckInstalledVersion(const std::wstring &productCode, const std::wstring &expectedVersion);

} // namespace nvupdater
