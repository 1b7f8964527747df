// Versions as the service compares them: major, minor and build as numbers.
#pragma once

#include <string>

namespace nvupdater {

// A version text read as "%d.%d.%d" reads it (blanks and a sign before each number; anything after
// the third number ignored). A part that cannot be read is 0, and so is a sign with no digit after
// it. Each part keeps all its digits, so that a part of any length compares as the number it is.
// The empty text is below every version.
class VersionNumber {
public:
    VersionNumber() = default;
    explicit VersionNumber(const std::wstring &text);

    // "1.100.0" for 1.100.0, "-1.0.0", and the empty text for the empty text.
    std::wstring Text() const;
    // Below 0, 0 or above 0 as this version is below, equal to or above `other`.
    int Compare(const VersionNumber &other) const;

    bool operator<(const VersionNumber &other) const { return Compare(other) < 0; }
    bool operator>(const VersionNumber &other) const { return Compare(other) > 0; }
    bool operator==(const VersionNumber &other) const { return Compare(other) == 0; }

private:
    struct Part {
        bool negative = false;
        std::wstring digits = L"0";   // without leading zeros
    };
    static int compareParts(const Part &a, const Part &b);

    bool empty_ = true;
    Part parts_[3];
};

} // namespace nvupdater
