#include "output.h"

#include "tiny/textconversion.h"

#include <windows.h>

#include <cwchar>

namespace nvcheck {

namespace {

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool writeTo(DWORD which, const std::wstring &text)
{
    HANDLE out = GetStdHandle(which);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return false;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        // A console shows wide text as it is, whatever its code page.
        const wchar_t *at = text.data();
        size_t left = text.size();
        while (left > 0) {
            DWORD chunk = left > 8192 ? 8192 : static_cast<DWORD>(left), written = 0;
            if (!WriteConsoleW(out, at, chunk, &written, nullptr) || written == 0)
                return false;
            at += written;
            left -= written;
        }
        return true;
    }
    const std::string bytes = norvo::tiny::toUtf8(text);
    const char *at = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left), written = 0;
        if (!WriteFile(out, at, chunk, &written, nullptr) || written == 0)
            return false;
        at += written;
        left -= written;
    }
    return true;
}

} // namespace

std::wstring Visible(const std::wstring &text)
{
    std::wstring shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            shown += c;
            shown += text[++i];
            continue;
        }
        if ((c >= 0x20 && c != 0x7F && !isHighSurrogate(c) && !isLowSurrogate(c)) || c == L'\t') {
            shown += c;
            continue;
        }
        wchar_t escaped[16];
        swprintf(escaped, 16, L"\\u{%04X}", static_cast<unsigned>(c));
        shown += escaped;
    }
    return shown;
}

bool WriteOut(const std::wstring &text) { return writeTo(STD_OUTPUT_HANDLE, text); }
bool WriteErr(const std::wstring &text) { return writeTo(STD_ERROR_HANDLE, text); }

} // namespace nvcheck
