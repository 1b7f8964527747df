#include "tiny/textconversion.h"

#include <windows.h>

#include <climits>

namespace norvo {
namespace tiny {

namespace {

std::string narrow(UINT codePage, const std::wstring &text)
{
    if (text.empty() || text.size() > INT_MAX)
        return std::string();
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), length, &out[0], size, nullptr, nullptr) != size)
        return std::string();
    return out;
}

std::wstring widen(UINT codePage, const std::string &text)
{
    if (text.empty() || text.size() > INT_MAX)
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.data(), length, &out[0], size) != size)
        return std::wstring();
    return out;
}

} // namespace

std::string toUtf8(const std::wstring &text) { return narrow(CP_UTF8, text); }
std::wstring fromUtf8(const std::string &text) { return widen(CP_UTF8, text); }
std::string toAnsi(const std::wstring &text) { return narrow(CP_THREAD_ACP, text); }
std::wstring fromAnsi(const std::string &text) { return widen(CP_THREAD_ACP, text); }

} // namespace tiny
} // namespace norvo
