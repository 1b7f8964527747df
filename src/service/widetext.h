// printf-style formatting into the service's wide strings, bounded by the text it produces.
#pragma once

#include <string>

namespace nvupdater {

// Formats with the C runtime's wide rules (%ls for a wide string, %d for an int). Texts of any
// length are made whole; an invalid format gives an empty text.
std::wstring FormatText(const wchar_t *format, ...);

} // namespace nvupdater
