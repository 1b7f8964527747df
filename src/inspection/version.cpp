#include "inspection/version.h"

#include <cwctype>

namespace nvupdater {

namespace {

// One number at `at` as "%d" reads it: blanks, a sign, digits. False, with `at` unchanged, when no
// digit follows; a sign alone is then no number at all.
bool readNumber(const std::wstring &text, size_t &at, bool &negative, std::wstring &digits)
{
    size_t i = at;
    while (i < text.size() && iswspace(text[i]))
        ++i;
    bool minus = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        minus = text[i++] == L'-';
    const size_t first = i;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9')
        ++i;
    if (i == first)
        return false;
    const size_t significant = text.find_first_not_of(L'0', first);
    digits = significant >= i ? std::wstring(L"0") : text.substr(significant, i - significant);
    negative = minus && digits != L"0";
    at = i;
    return true;
}

} // namespace

VersionNumber::VersionNumber(const std::wstring &text) : empty_(text.empty())
{
    size_t at = 0;
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != L'.')
                break;
            ++at;
        }
        if (!readNumber(text, at, parts_[part].negative, parts_[part].digits))
            break;
    }
}

std::wstring VersionNumber::Text() const
{
    if (empty_)
        return std::wstring();
    std::wstring text;
    for (int part = 0; part < 3; ++part) {
        if (part > 0)
            text += L'.';
        if (parts_[part].negative)
            text += L'-';
        text += parts_[part].digits;
    }
    return text;
}

int VersionNumber::compareParts(const Part &a, const Part &b)
{
    if (a.negative != b.negative)
        return a.negative ? -1 : 1;
    // Digits without leading zeros: the longer number is the larger, equal lengths compare as text.
    int magnitude = a.digits.size() != b.digits.size() ? (a.digits.size() < b.digits.size() ? -1 : 1)
                                                        : a.digits.compare(b.digits);
    magnitude = magnitude < 0 ? -1 : (magnitude > 0 ? 1 : 0);
    return a.negative ? -magnitude : magnitude;
}

int VersionNumber::Compare(const VersionNumber &other) const
{
    if (empty_ || other.empty_)
        return empty_ == other.empty_ ? 0 : (empty_ ? -1 : 1);
    for (int part = 0; part < 3; ++part) {
        const int order = compareParts(parts_[part], other.parts_[part]);
        if (order != 0)
            return order;
    }
    return 0;
}

} // namespace nvupdater
