// A library loaded at run time, by full path, and the symbols looked up in it.
#pragma once

#include "tiny/unique.h"

#include <string>

namespace norvo {
namespace tiny {

class DynamicLibrary {
public:
    // Loads the library at `path`. The path must be a full one: a bare name would be searched for
    // in folders ordinary users may write to. False (with the system's error left in place) when
    // the path is not a full one or the library cannot be loaded.
    bool load(const std::string &path);
    // The system folder's copy of `fileName` ("dbghelp.dll").
    bool loadFromSystemFolder(const std::string &fileName);
    FARPROC symbol(const char *name) const;
    static bool hasSymbol(FARPROC symbol) { return symbol != nullptr; }
    // The file the loaded module came from; empty when none is loaded.
    std::string fileName() const;
    // Unloads the library; always 0.
    int free();
    bool loaded() const { return module_.valid(); }

private:
    UniqueModule module_;
};

// The system folder ("C:\Windows\System32", or SysWOW64 for a 32-bit process), without a trailing
// backslash; empty on failure.
std::string systemFolder();

} // namespace tiny
} // namespace norvo
