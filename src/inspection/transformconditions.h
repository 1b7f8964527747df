// The error conditions a transform asks the installer to suppress while it is applied: the lower 16
// bits of the Character Count of its own summary information (the upper 16 are its validation
// flags), which the installer takes from there too. Read through held handles.
#pragma once

#include <windows.h>

#include <string>

namespace nvupdater {

// The conditions of the transform file held by `transform`; 0 (none) when it states none.
int TransformFileConditions(HANDLE transform);
// The conditions of the transform stored as `name` inside the package held by `package`.
int EmbeddedTransformConditions(HANDLE package, const std::wstring &name);

} // namespace nvupdater
