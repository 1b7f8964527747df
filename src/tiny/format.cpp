#include "tiny/format.h"

#include <stdio.h>
#include <stdlib.h>

namespace norvo {
namespace tiny {

namespace {
const size_t kFirstSize = 4096;
// A text this long is a fault of the caller, not something to allocate for.
const size_t kLargestSize = 64u * 1024u * 1024u;
} // namespace

void appendFormattedV(std::string &text, const char *format, va_list arguments)
{
    size_t size = kFirstSize;
    char *buffer = static_cast<char *>(malloc(size));
    while (buffer) {
        va_list attempt;
        va_copy(attempt, arguments);
        int written = vsnprintf(buffer, size, format, attempt);
        va_end(attempt);
        if (written >= 0 && static_cast<size_t>(written) < size) {
            text.append(buffer, static_cast<size_t>(written));
            break;
        }
        // Older runtimes answer "too small" with -1, newer ones with the length needed.
        size_t wanted = written < 0 ? size * 2 : static_cast<size_t>(written) + 1;
        if (wanted > kLargestSize)
            break;
        char *larger = static_cast<char *>(realloc(buffer, wanted));
        if (!larger)
            break;
        buffer = larger;
        size = wanted;
    }
    free(buffer);
}

void appendFormatted(std::string &text, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    appendFormattedV(text, format, arguments);
    va_end(arguments);
}

} // namespace tiny
} // namespace norvo
