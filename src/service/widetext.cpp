#include "service/widetext.h"

#include <stdarg.h>
#include <wchar.h>

#include <vector>

namespace nvupdater {

std::wstring FormatText(const wchar_t *format, ...)
{
    // Grows until the text fits; a package path of 2,048 units fits the first buffer.
    for (size_t size = 4096; size <= (1u << 20); size *= 4) {
        std::vector<wchar_t> buffer(size);
        va_list arguments;
        va_start(arguments, format);
        int written = vswprintf(buffer.data(), buffer.size(), format, arguments);
        va_end(arguments);
        if (written >= 0 && static_cast<size_t>(written) < size)
            return std::wstring(buffer.data(), static_cast<size_t>(written));
    }
    return std::wstring();
}

} // namespace nvupdater
