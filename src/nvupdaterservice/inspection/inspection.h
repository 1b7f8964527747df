// Everything the broker asks about a package and about installed products, and the advertisement
// itself. No operation here logs: results are returned, and the session logs them.
#pragma once

#include "inspection/eligibilityobserver.h"
#include "inspection/msiapi.h"
#include "inspection/packagehold.h"
#include "inspection/servicefolders.h"
#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// ---- signer check ------------------------------------------------------------------------------

// WinVerifyTrust's verdict on the package's embedded Authenticode signature: 0 trusted.
LONG VerifyPackageTrust(const std::wstring &packagePath);

// 0 when the first signer's simple display name equals `publisher` exactly, -1 when it is another
// name, otherwise the platform's error code.
LONG CheckPackagePublisher(const std::wstring &packagePath, const std::wstring &publisher);

// The simple display name of the first signer's certificate: 0 with `name` set, otherwise the
// platform's error code (the same one CheckPackagePublisher returns).
LONG ReadFirstSignerName(const std::wstring &packagePath, std::wstring &name);

// ---- installed product inventory ---------------------------------------------------------------

bool IsRunningOnWow64();
std::wstring PackGuid(const std::wstring &guid);
// The braced GUID text of a packed one (32 characters); any other text is returned unchanged.
std::wstring UnpackGuid(const std::wstring &packed);
std::wstring NormalizeVersion(const std::wstring &version);   // "%.2d.%.2d.%.6d"

// 0 with the "DisplayVersion" of the first product registered per machine under the upgrade code;
// 2 not found, 1015 not a plain string, or the platform's error.
LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion);
// The same, also giving the packed product code of the product found.
LONG FindProductByUpgradeCode(const std::wstring &upgradeCode, std::wstring &installedVersion,
                              std::wstring &packedProductCode);

// 0 with the product's Uninstall key open in `key` (32-bit view first, then 64-bit), or 2.
LONG OpenUninstallKey(const std::wstring &productCode, norvo::tiny::UniqueKey &key);

// 0 when the product's Uninstall key has a "DisplayVersion" value.
LONG IsProductRegistered(const std::wstring &productCode);

// 0 when the Uninstall "DisplayVersion" equals `expectedVersion`, -2 when it differs, else an error.
LONG CheckInstalledVersion(const std::wstring &productCode, const std::wstring &expectedVersion);

// ---- upgrade eligibility -----------------------------------------------------------------------

// Sets the installer's user-interface level for this process to "none" (2), no owner window.
void SetInstallerUiLevelNone();

// The package's property, or empty when the package or the property cannot be read.
std::wstring ReadPackageProperty(const std::wstring &packagePath, const std::wstring &property);

// Opens the package's database read-only and runs `query`; on 0 the view is executed and ready to
// fetch, and the caller owns the view and the database. Otherwise the installer's error.
UINT OpenPackageQuery(const std::wstring &packagePath, const std::wstring &query, msi::UniqueHandle &view,
                      msi::UniqueHandle &database);

// 1 when an installed product may be upgraded by the package (its NVUpdate table), else 0; sets
// `upgradeNotNeeded` (never clears it) when a matching product needs no upgrade. An observer, when
// given, is told each step of the examination; it changes nothing.
int FindUpgradableProduct(const std::wstring &packagePath, int &upgradeNotNeeded,
                          EligibilityObserver *observer = nullptr);

// ---- package lock and advertisement ------------------------------------------------------------

// The package file's owner, group and access list as they were before the lock. Empty when the
// lock could not read them; freed by its owner.
struct SavedFileSecurity {
    norvo::tiny::UniqueLocal descriptor;
};

// Gives the held file the administrators-and-system-only descriptor through its handle; saves the
// old one. ERROR_ACCESS_DENIED, without any change, when the hold has no right to change the file's
// security (the client could not have done it itself). Error code.
DWORD LockPackageFile(const FileHold &hold, SavedFileSecurity &saved);

// Puts back the saved group and access list through the handle, with the list's protection as it
// was (the owner stays SYSTEM), and frees `saved`. With nothing saved it leaves the file alone and
// returns ERROR_INVALID_PARAMETER.
DWORD UnlockPackageFile(const FileHold &hold, SavedFileSecurity &saved);

// True for a GUID in registry text form: 38 characters, braces, hexadecimal digits and dashes.
bool IsRegistryGuid(const std::wstring &text);

// Writes the advertise script <scripts folder>\<ProductCode>.aas and applies it machine-wide.
// The script path is set in every case (empty when the package's ProductCode is no GUID in registry
// form, which gives ERROR_INVALID_PARAMETER and writes nothing). 0, or the installer's error number.
UINT AdvertisePackage(const std::wstring &packagePath, const std::wstring &transforms, std::wstring &scriptPath);

// Takes the script's advertisement away; deletes the script file in any case.
UINT UnadvertiseScript(const std::wstring &scriptPath);

// Removes left-over scripts of earlier sessions; returns IsProductRegistered of the last one.
LONG CleanupStaleScripts();

} // namespace nvupdater
