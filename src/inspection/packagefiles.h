// Whether every file the installation of a package copies comes from inside the package itself,
// which its signature covers: none from a cabinet beside it, none stored uncompressed beside it.
#pragma once

#include "inspection/packagedatabase.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// What was found outside the package, the first of it.
enum class OutsideFile {
    None,
    ExternalCabinet,    // a Media row's Cabinet does not begin with "#"
    UncompressedFile,   // a File row stored uncompressed (its own attribute, or the package's default)
    Unreadable,         // a table or the summary could not be read: nothing can be vouched for
};

struct FilesCheck {
    size_t files = 0;              // File rows read
    int wordCount = 0;             // the summary's Word Count (bit 1: compressed by default)
    UINT wordCountRead = 0;        // 0, or the installer's error (then no default compression)
    OutsideFile outside = OutsideFile::None;
    std::wstring where;            // the Media row's DiskId and Cabinet, or the File row's key
    UINT error = 0;                // for Unreadable: the installer's error
    bool inside() const { return outside == OutsideFile::None; }
};

// Reads the package's File and Media tables and its Word Count through `package`. A package without
// files (no File table, or an empty one) passes.
FilesCheck CheckPackageFiles(PackageReader &package);

} // namespace nvupdater
