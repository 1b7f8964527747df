// Where an open handle really leads: the path the file system resolved for it.
#pragma once

#include <windows.h>

#include <string>

namespace norvo {
namespace tiny {

// True when the final path of `handle` equals `path` made absolute with its short (8.3) names
// expanded, letter case aside: no junction, symbolic link or substituted drive lies on the way.
bool handleResolvesTo(HANDLE handle, const std::wstring &path);

} // namespace tiny
} // namespace norvo
