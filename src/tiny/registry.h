// The three registry operations the event log writer and the dump discovery use. Each takes a root
// key and a subkey path and answers with a boolean only.
#pragma once

#include <windows.h>

namespace norvo {
namespace tiny {

// Creates or opens root\subkey for writing and sets `valueName` as a REG_DWORD.
bool writeRegistryDword(HKEY root, const char *subkey, const char *valueName, DWORD value);

// Creates or opens root\subkey for writing and sets `valueName` as a REG_SZ (text and its NUL).
bool writeRegistryString(HKEY root, const char *subkey, const char *valueName, const char *text);

// Reads `valueName` of any type into `buffer` (at most `size` bytes). The buffer's first byte is
// cleared first, so a missing key or value leaves it empty; true only when the read succeeded.
bool readRegistryValue(HKEY root, const char *subkey, const char *valueName, DWORD size, void *buffer);

} // namespace tiny
} // namespace norvo
