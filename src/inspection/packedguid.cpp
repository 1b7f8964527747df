// The installer's packed form of a GUID: each group's characters in reverse order, the last two
// groups byte by byte, without braces and dashes.
#include "inspection/packedguid.h"

namespace nvupdater {

namespace {

// Appends text[from, from + count) reversed, clipped to the text's end.
void appendReversed(std::wstring &out, const std::wstring &text, size_t from, size_t count)
{
    if (from >= text.size())
        return;
    size_t end = from + count < text.size() ? from + count : text.size();
    for (size_t i = end; i > from; --i)
        out.push_back(text[i - 1]);
}

} // namespace

std::wstring PackGuid(const std::wstring &guid)
{
    std::wstring s = guid;
    while (!s.empty() && s.front() == L'{')
        s.erase(0, 1);
    while (!s.empty() && s.back() == L'{')
        s.pop_back();
    while (!s.empty() && s.front() == L'}')
        s.erase(0, 1);
    while (!s.empty() && s.back() == L'}')
        s.pop_back();

    std::wstring packed;
    appendReversed(packed, s, 0, 8);
    appendReversed(packed, s, 9, 4);
    appendReversed(packed, s, 14, 4);
    appendReversed(packed, s, 19, 2);
    appendReversed(packed, s, 21, 2);
    for (size_t i = 24; i <= 34; i += 2)
        appendReversed(packed, s, i, 2);
    return packed;
}

std::wstring UnpackGuid(const std::wstring &packed)
{
    if (packed.size() != 32)
        return packed;
    std::wstring guid = L"{";
    appendReversed(guid, packed, 0, 8);
    guid += L'-';
    appendReversed(guid, packed, 8, 4);
    guid += L'-';
    appendReversed(guid, packed, 12, 4);
    guid += L'-';
    for (size_t i = 16; i < 20; i += 2)
        appendReversed(guid, packed, i, 2);
    guid += L'-';
    for (size_t i = 20; i < 32; i += 2)
        appendReversed(guid, packed, i, 2);
    return guid + L"}";
}

} // namespace nvupdater
