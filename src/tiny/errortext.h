// System error codes as one-line texts: "(" code ") " and the system's message folded onto one line.
#pragma once

#include <string>

namespace norvo {
namespace tiny {

// "(5) Access denied." style; only "(code)" when the system has no text for the code. UTF-8.
std::string systemErrorText(long code);

// systemErrorText of WSAGetLastError (kind 1) or GetLastError (any other kind), copied into a
// per-thread buffer of 256 bytes (at most 255 characters) that stays valid until the next call on
// the same thread.
const char *lastErrorText(int kind);

namespace detail {
// Copies `text` into the calling thread's buffer, cut to its first 255 bytes (never inside a
// character); what lastErrorText returns.
const char *keepInThreadBuffer(const std::string &text);
} // namespace detail

} // namespace tiny
} // namespace norvo
