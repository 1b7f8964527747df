// Upgrade eligibility from the package's properties and its NVUpdate table: may the package upgrade
// a product that is installed?
#pragma once

#include "inspection/eligibilityobserver.h"
#include "inspection/packagedatabase.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// Sets the installer's user-interface level for this process to "none" (2), no owner window.
void SetInstallerUiLevelNone();

// 1 when an installed product may be upgraded by the package (its NVUpdate table, read through
// `package`), else 0; sets `upgradeNotNeeded` (never clears it) when a matching product needs no
// upgrade. An observer, when given, is told each step of the examination; it changes nothing.
[[nodiscard]] int FindUpgradableProduct(PackageReader &package, int &upgradeNotNeeded,
                                       EligibilityObserver *observer = nullptr);

} // namespace nvupdater
