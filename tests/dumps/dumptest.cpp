#include "dumptest.h"

#include "assist/assistlog.h"
#include "assist/assistpaths.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

using norvo::tiny::UniqueFile;
using norvo::tiny::UniqueKey;

namespace dumptest {

namespace {

FILETIME fileTime(int64_t seconds)
{
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(seconds) * 10000000ULL + 116444736000000000ULL;
    FILETIME time;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

void removeTree(const std::string &folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

REGSAM viewOf(const std::string &key)
{
    return _strnicmp(key.c_str(), "SYSTEM\\", 7) == 0 ? 0 : nvtest::kBuildView;
}

} // namespace

std::string buildRoot()
{
    std::string relative = nvtest::narrow(nvtest::buildDir()) + "\\..\\..\\..";
    char full[MAX_PATH] = {};
    GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::string freshFolder(const std::string &name)
{
    std::string folder = nvtest::narrow(nvtest::suiteDir()) + "\\" + name;
    removeTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

bool makeFile(const std::string &path, const std::string &bytes, int64_t seconds)
{
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    if (!bytes.empty() && !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return false;
    FILETIME time = fileTime(seconds);
    return SetFileTime(file.get(), &time, &time, &time) != FALSE;
}

void resetFolder(const std::string &folder)
{
    removeTree(folder);
    norvo::assist::createFolderWithParents(folder);
}

bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string readText(const std::string &path) { return nvtest::readFile(nvtest::widen(path)); }

int64_t modificationTime(const std::string &path)
{
    struct __stat64 info;
    return _stat64(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : -1;
}

void clearErrorLog() { DeleteFileA(norvo::assist::errorLogPath().c_str()); }

// The log is written in text mode: its line ends are read back as "\n".
std::string errorLog()
{
    std::string text = readText(norvo::assist::errorLogPath()), lines;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lines += text[i];
    return lines;
}

std::vector<std::string> &reports()
{
    static std::vector<std::string> lines;
    return lines;
}

void reportReceiver(const char *format, ...)
{
    char text[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    text[sizeof(text) - 1] = '\0';
    reports().push_back(text);
}

bool reported(const std::string &line)
{
    for (const std::string &report : reports())
        if (report == line)
            return true;
    return false;
}

bool setMachineText(const std::string &key, const std::string &name, DWORD type, const std::string &text)
{
    UniqueKey handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | viewOf(key), nullptr,
                        handle.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(handle.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool setMachineQword(const std::string &key, const std::string &name, int64_t value)
{
    UniqueKey handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | viewOf(key), nullptr,
                        handle.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(handle.get(), name.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

void deleteMachineValue(const std::string &key, const std::string &name)
{
    UniqueKey handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE | viewOf(key), handle.put()) == ERROR_SUCCESS)
        RegDeleteValueA(handle.get(), name.c_str());
}

void deleteMachineKey(const std::string &key)
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), viewOf(key), 0);
}

} // namespace dumptest
