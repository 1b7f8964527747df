// Reading a package's properties and its NVUpdate table: may the package upgrade a product that is
// installed?
#pragma once

#include "inspection/eligibilityobserver.h"
#include "inspection/msiapi.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// Sets the installer's user-interface level for this process to "none" (2), no owner window.
void SetInstallerUiLevelNone();

// The package's property, or empty when the package or the property cannot be read.
std::wstring ReadPackageProperty(const std::wstring &packagePath, const std::wstring &property);

// Opens the package's database read-only and runs `query`; on 0 the view is executed and ready to
// fetch, and the caller owns the view and the database. Otherwise the installer's error.
[[nodiscard]] UINT OpenPackageQuery(const std::wstring &packagePath, const std::wstring &query, msi::UniqueHandle &view,
                      msi::UniqueHandle &database);

// 1 when an installed product may be upgraded by the package (its NVUpdate table), else 0; sets
// `upgradeNotNeeded` (never clears it) when a matching product needs no upgrade. An observer, when
// given, is told each step of the examination; it changes nothing.
[[nodiscard]] int FindUpgradableProduct(const std::wstring &packagePath, int &upgradeNotNeeded,
                          EligibilityObserver *observer = nullptr);

} // namespace nvupdater
