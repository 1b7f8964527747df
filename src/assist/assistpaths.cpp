#include "assist/assistpaths.h"

#include "tiny/security.h"

#include <windows.h>

#include <stdlib.h>

namespace norvo {
namespace assist {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// The program file's full name; empty when it is missing or longer than the buffer.
std::string programFile()
{
    char name[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return std::string(name, length);
}

} // namespace

std::string normalizePath(const std::string &path, bool keepNetworkPrefix, bool trailingSeparator)
{
    std::string result;
    result.reserve(path.size() + 1);
    size_t i = 0;
    if (keepNetworkPrefix && path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        result = "\\\\";
        i = 2;
        while (i < path.size() && isSeparator(path[i]))
            ++i;
    }
    for (; i < path.size(); ++i) {
        if (!isSeparator(path[i])) {
            result += path[i];
            continue;
        }
        if (result.empty() || result.back() != '\\')
            result += '\\';
    }
    if (trailingSeparator && (result.empty() || result.back() != '\\'))
        result += '\\';
    // Without one: a trailing separator goes, but never the only one or a network prefix.
    if (!trailingSeparator && result.size() > 1 && result.back() == '\\' && result != "\\\\")
        result.pop_back();
    return result;
}

std::string programDirectory()
{
    std::string file = programFile();
    if (file.empty())
        return std::string();
    char drive[_MAX_DRIVE] = {};
    char folder[_MAX_DIR] = {};
    if (_splitpath_s(file.c_str(), drive, sizeof(drive), folder, sizeof(folder), nullptr, 0, nullptr, 0) != 0)
        return std::string();
    // A program run from a share keeps its "\\server\share" prefix: with one backslash the
    // folder would be a path on the current drive, where users can create folders.
    return normalizePath(std::string(drive) + folder, true, true);
}

std::string programBaseName()
{
    std::string file = programFile();
    char name[_MAX_FNAME] = {};
    if (file.empty() || _splitpath_s(file.c_str(), nullptr, 0, nullptr, 0, name, sizeof(name), nullptr, 0) != 0)
        return std::string();
    return name;
}

const std::string &temporaryCrashFolder()
{
    static const std::string folder = [] {
        char temporary[MAX_PATH + 1] = {};
        DWORD length = GetTempPathA(sizeof(temporary), temporary);
        if (length == 0 || length >= sizeof(temporary))
            return std::string("norvo\\crash\\");
        return std::string(temporary, length) + "norvo\\crash\\";
    }();
    return folder;
}

namespace {

// A missing folder is created; under a folder where ordinary users can create entries (a
// temporary folder) it is made for Administrators and SYSTEM only, from its creation on.
void createFolder(const std::string &folder)
{
    if (GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    size_t separator = folder.find_last_of("/\\");
    std::string parent = separator == std::string::npos ? std::string() : folder.substr(0, separator);
    if (!parent.empty() && parent.back() == ':')
        parent += '\\';
    if (!parent.empty() && tiny::usersCanCreateIn(parent.c_str()))
        (void)tiny::createProtectedFolder(folder.c_str());   // a folder that is missing fails the first write in it
    else
        CreateDirectoryA(folder.c_str(), nullptr);
}

} // namespace

void createFolderWithParents(const std::string &folder)
{
    for (size_t i = 1; i < folder.size(); ++i) {
        if (isSeparator(folder[i]) && !isSeparator(folder[i - 1]))
            createFolder(folder.substr(0, i));
    }
    createFolder(folder);
}

} // namespace assist
} // namespace norvo
