#include "tiny/errortext.h"

#include "tiny/textconversion.h"

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace norvo {
namespace tiny {

namespace {

const size_t kTextBufferSize = 256;

// The first `limit` bytes of UTF-8 `text`, shortened further rather than splitting a character.
std::string cutUtf8(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end; // text[end] continues a character that began before the cut
    return text.substr(0, end);
}

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
        // Converted whole and then cut, so that a long message keeps its first 255 bytes instead of
        // depending on what a failed conversion leaves in a short buffer.
        text += cutUtf8(toUtf8(std::wstring(message, length)), kTextBufferSize - 1);
    }
    return foldWhiteSpace(text);
}

namespace detail {

const char *keepInThreadBuffer(const std::string &text)
{
    static thread_local char buffer[kTextBufferSize];
    const std::string kept = cutUtf8(text, sizeof(buffer) - 1);
    memcpy(buffer, kept.c_str(), kept.size() + 1);
    return buffer;
}

} // namespace detail

const char *lastErrorText(int kind)
{
    long code = (kind == 1) ? static_cast<long>(WSAGetLastError()) : static_cast<long>(GetLastError());
    return detail::keepInThreadBuffer(systemErrorText(code));
}

} // namespace tiny
} // namespace norvo
