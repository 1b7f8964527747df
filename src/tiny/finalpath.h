// Where an open handle really leads: the path the file system resolved for it.
#pragma once

#include <windows.h>

#include <string>

namespace norvo {
namespace tiny {

// True when the final path of `handle` equals `path` made absolute with its short (8.3) names
// expanded, letter case aside: no junction, symbolic link or substituted drive lies on the way.
// The one difference accepted is the file system's own redirection of the system folder (a 32-bit
// program on 64-bit Windows that names system32 gets the 32-bit system folder): a path inside the
// system folder may lead where the system folder's own handle leads.
bool handleResolvesTo(HANDLE handle, const std::wstring &path);

} // namespace tiny
} // namespace norvo
