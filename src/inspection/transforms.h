// The transforms text of a package command: items separated by ";". An item that begins with ":"
// names a transform stored inside the package; any other item names a file, after an optional
// leading "@" or "|" (the installer's marks for where a secured transform is kept).
#pragma once

#include <string>
#include <vector>

namespace nvupdater {

struct TransformItem {
    std::wstring text;   // the item as the client wrote it
    bool embedded = false;
    std::wstring file;   // the file it names, when not embedded
};

// The items in their order; empty items (as between ";;") name nothing and are left out.
std::vector<TransformItem> SplitTransforms(const std::wstring &transforms);

} // namespace nvupdater
