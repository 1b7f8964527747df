// Listing a folder one entry at a time, in the manner of the POSIX directory functions.
#pragma once

#include "tiny/unique.h"

namespace norvo {
namespace tiny {

struct DirectoryEntry {
    static const unsigned char kDirectory = 4;
    static const unsigned char kOther = 8;

    char name[513];       // the entry's file name, NUL-terminated
    unsigned char type;   // kDirectory or kOther
};

struct DIR {
    char pattern[512];            // the folder followed by "/*"
    UniqueFind search;            // open from the first readDir on
    bool started = false;         // readDir has asked for the first entry
    WIN32_FIND_DATAA findData;    // the system's record of the current entry
    DirectoryEntry entry;
    int allocated = 0;            // 1: made by openDir, freed by closeDir
};

// A listing of the folder `path`; null when it is missing, not a folder, or too long to search.
DIR *openDir(const char *path);
// The next entry ("." and ".." included), or null at the end and on every call after it.
DirectoryEntry *readDir(DIR *dir);
// Ends the listing and frees the record; always 0.
[[nodiscard]] int closeDir(DIR *dir);

struct DirTraits {
    using pointer = DIR *;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer dir) noexcept { (void)closeDir(dir); }   // an owner has no one to tell
};
using UniqueDir = Unique<DirTraits>;

} // namespace tiny
} // namespace norvo
