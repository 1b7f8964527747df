// Paths as the crash-reporting library writes them: one backslash between parts, and the folders
// it works in.
#pragma once

#include <string>

namespace norvo {
namespace assist {

// Every '/' becomes '\' and a run of separators one '\'. With keepNetworkPrefix two leading
// separators stay two backslashes. With trailingSeparator one '\' is appended unless the text
// already ends in one (so an empty text becomes "\"); without it a trailing separator is dropped.
std::string normalizePath(const std::string &path, bool keepNetworkPrefix, bool trailingSeparator);

// Drive (or network share) and folder of the program file, ending in '\'; empty when the name
// cannot be read.
std::string programDirectory();
// The program file's name without folder and extension; empty when it cannot be read.
std::string programBaseName();
// The temporary directory followed by "norvo\crash\", worked out once.
const std::string &temporaryCrashFolder();

// Creates `folder` and every missing parent; an existing folder is no error, failures are ignored.
// A folder made under one where ordinary users can create entries is for Administrators and
// SYSTEM only.
void createFolderWithParents(const std::string &folder);

} // namespace assist
} // namespace norvo
