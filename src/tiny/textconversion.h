// Conversions between the system's UTF-16 text and narrow text (UTF-8, or the thread's ANSI code
// page). A text is converted whole, embedded nulls included; an empty text, or one that cannot be
// converted, gives an empty result.
#pragma once

#include <string>

namespace norvo {
namespace tiny {

std::string toUtf8(const std::wstring &text);
std::wstring fromUtf8(const std::string &text);

std::string toAnsi(const std::wstring &text);
std::wstring fromAnsi(const std::string &text);

} // namespace tiny
} // namespace norvo
