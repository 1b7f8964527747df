#include "tiny/dynamiclibrary.h"

namespace norvo {
namespace tiny {

namespace {

bool isFullPath(const std::string &path)
{
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'))
        return true;
    return path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
}

} // namespace

bool DynamicLibrary::load(const std::string &path)
{
    module_.reset();
    if (!isFullPath(path)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    module_.reset(LoadLibraryA(path.c_str()));
    return module_.valid();
}

bool DynamicLibrary::loadFromSystemFolder(const std::string &fileName)
{
    std::string folder = systemFolder();
    if (folder.empty())
        return false;
    return load(folder + "\\" + fileName);
}

FARPROC DynamicLibrary::symbol(const char *name) const
{
    if (!module_.valid())
        return nullptr;
    return GetProcAddress(module_.get(), name);
}

std::string DynamicLibrary::fileName() const
{
    char name[MAX_PATH] = {};
    if (!module_.valid())
        return std::string();
    GetModuleFileNameA(module_.get(), name, MAX_PATH);
    name[MAX_PATH - 1] = '\0';
    return name;
}

int DynamicLibrary::free()
{
    module_.reset();
    return 0;
}

std::string systemFolder()
{
    char folder[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return std::string(folder, length);
}

} // namespace tiny
} // namespace norvo
