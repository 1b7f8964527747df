// Writing the report: wide text to a console, UTF-8 to a file or a pipe.
#pragma once

#include <string>

namespace nvcheck {

// Characters that could break a line or a terminal (controls, unpaired surrogates) written as
// \u{XXXX}, the form the service's log uses; everything else unchanged.
std::wstring Visible(const std::wstring &text);

// Writes `text` whole to standard output; false when it could not be written.
bool WriteOut(const std::wstring &text);
// The same to standard error.
bool WriteErr(const std::wstring &text);

} // namespace nvcheck
