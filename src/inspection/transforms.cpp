#include "inspection/transforms.h"

namespace nvupdater {

std::vector<TransformItem> SplitTransforms(const std::wstring &transforms)
{
    std::vector<TransformItem> items;
    size_t begin = 0;
    while (begin <= transforms.size()) {
        size_t end = transforms.find(L';', begin);
        if (end == std::wstring::npos)
            end = transforms.size();
        TransformItem item;
        item.text = transforms.substr(begin, end - begin);
        begin = end + 1;
        if (item.text.empty())
            continue;
        item.embedded = item.text[0] == L':';
        if (!item.embedded)
            item.file = (item.text[0] == L'@' || item.text[0] == L'|') ? item.text.substr(1) : item.text;
        items.push_back(item);
    }
    return items;
}

} // namespace nvupdater
