// The machine-wide advertisement of a package through an advertise script, and its removal.
#pragma once

#include "inspection/packagedatabase.h"
#include "inspection/protectedfolder.h"

#include <windows.h>

#include <functional>
#include <string>

namespace nvupdater {

// True for a GUID in registry text form: 38 characters, braces, hexadecimal digits and dashes.
bool IsRegistryGuid(const std::wstring &text);

// Writes the advertise script <scripts folder>\<ProductCode>.aas for the package at `packagePath`
// (whose ProductCode is read through `package`) into the held folder `scripts` and applies it
// machine-wide.
// The script path is set in every case (empty when the package's ProductCode is no GUID in registry
// form, which gives ERROR_INVALID_PARAMETER and writes nothing). ERROR_ACCESS_DENIED, with nothing
// written, when the scripts folder was not held as a protected folder. 0, or the installer's error
// number.
[[nodiscard]] UINT AdvertisePackage(PackageReader &package, const HeldFolder &scripts, const std::wstring &packagePath,
                                   const std::wstring &transforms, std::wstring &scriptPath);

// Takes the script's advertisement away and deletes the script file; when the removal fails the
// script stays, for the clean-up at the next connection or start to try again.
[[nodiscard]] UINT UnadvertiseScript(const std::wstring &scriptPath);

// Told the product code (the first 38 characters of the script's name) of each left-over script
// whose advertisement is gone and whose file has been deleted.
using ScriptRemoved = std::function<void(const std::wstring &productCode)>;

// Removes left-over scripts of earlier sessions from the held folder `scripts`; returns
// IsProductRegistered of the last one (0 when there is none, or no scripts folder), or
// ERROR_ACCESS_DENIED without touching anything when the folder was not held as a protected folder.
// A script is deleted only when its product is registered or its removal succeeded; any other stays
// for the next clean-up to try again. `stopping`, when given, is asked before each script: true
// leaves the rest for the next clean-up.
[[nodiscard]] LONG CleanupStaleScripts(const HeldFolder &scripts, const std::function<bool()> &stopping = nullptr,
                                       const ScriptRemoved &removed = nullptr);

} // namespace nvupdater
