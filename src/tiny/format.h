// Appending printf-style text to a string, with a buffer that grows to fit the whole text.
#pragma once

#include <stdarg.h>

#include <string>

// Lets the compiler check printf-style arguments where it can; nothing on other compilers.
#if defined(__GNUC__)
#define NORVO_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define NORVO_PRINTF(formatIndex, firstArgument)
#endif

namespace norvo {
namespace tiny {

// Appends the formatted text to `text`. Starts with 4,096 bytes and grows until the text fits;
// when memory runs out `text` is left unchanged.
void appendFormatted(std::string &text, const char *format, ...) NORVO_PRINTF(2, 3);
void appendFormattedV(std::string &text, const char *format, va_list arguments);

} // namespace tiny
} // namespace norvo
