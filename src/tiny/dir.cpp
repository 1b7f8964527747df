#include "tiny/dir.h"

#include <stdio.h>
#include <string.h>

#include <new>

namespace norvo {
namespace tiny {

DIR *openDir(const char *path)
{
    if (!path)
        return nullptr;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    DIR *dir = new (std::nothrow) DIR();
    if (!dir)
        return nullptr;
    memset(&dir->findData, 0, sizeof(dir->findData));
    memset(&dir->entry, 0, sizeof(dir->entry));
    dir->allocated = 1;
    // A cut pattern would list some other folder: refuse a path it cannot hold whole.
    int length = snprintf(dir->pattern, sizeof(dir->pattern), "%s/*", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(dir->pattern)) {
        delete dir;
        return nullptr;
    }
    return dir;
}

DirectoryEntry *readDir(DIR *dir)
{
    if (!dir)
        return nullptr;
    if (!dir->started) {
        dir->started = true;
        dir->search.reset(FindFirstFileA(dir->pattern, &dir->findData));
        if (!dir->search.valid())
            return nullptr;
    } else if (!dir->search.valid() || !FindNextFileA(dir->search.get(), &dir->findData)) {
        return nullptr;
    }
    dir->entry.type = (dir->findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DirectoryEntry::kDirectory
                                                                                  : DirectoryEntry::kOther;
    snprintf(dir->entry.name, sizeof(dir->entry.name), "%s", dir->findData.cFileName);
    return &dir->entry;
}

int closeDir(DIR *dir)
{
    if (!dir)
        return 0;
    dir->search.reset();
    if (dir->allocated)
        delete dir;
    return 0;
}

} // namespace tiny
} // namespace norvo
