#include "tiny/errortext.h"

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace norvo {
namespace tiny {

namespace {

// Each run of CR, LF and blanks becomes one blank (tabs stay); a blank at the end is dropped.
std::string foldWhiteSpace(const std::string &text)
{
    std::string folded;
    folded.reserve(text.size());
    bool inRun = false;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == ' ') {
            if (!inRun)
                folded += ' ';
            inRun = true;
        } else {
            folded += c;
            inRun = false;
        }
    }
    if (!folded.empty() && folded.back() == ' ')
        folded.pop_back();
    return folded;
}

} // namespace

std::string systemErrorText(long code)
{
    char prefix[32];
    snprintf(prefix, sizeof(prefix), "(%ld) ", code);
    std::string text(prefix);

    wchar_t message[256] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, message, 256, nullptr);
    if (length > 0) {
        char utf8[256] = {};
        WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), utf8, sizeof(utf8) - 1, nullptr, nullptr);
        utf8[sizeof(utf8) - 1] = '\0';
        text += utf8;
    }
    return foldWhiteSpace(text);
}

const char *lastErrorText(int kind)
{
    static thread_local char buffer[256];
    long code = (kind == 1) ? static_cast<long>(WSAGetLastError()) : static_cast<long>(GetLastError());
    std::string text = systemErrorText(code);
    snprintf(buffer, sizeof(buffer), "%s", text.c_str());
    return buffer;
}

} // namespace tiny
} // namespace norvo
