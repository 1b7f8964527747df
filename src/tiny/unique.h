// One RAII owner for every kind of platform handle: get() to use it, put() as an out-parameter
// slot (frees the old value first), release() to hand it over, reset() to free it now.
#pragma once

#include <windows.h>

#include <stdio.h>

namespace norvo {
namespace tiny {

template <typename Traits>
class Unique {
public:
    using pointer = typename Traits::pointer;

    Unique() noexcept : value_(Traits::invalid()) {}
    explicit Unique(pointer value) noexcept : value_(value) {}
    ~Unique() { reset(); }

    Unique(Unique &&other) noexcept : value_(other.release()) {}
    Unique &operator=(Unique &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Unique(const Unique &) = delete;
    Unique &operator=(const Unique &) = delete;

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    pointer *put() noexcept
    {
        reset();
        return &value_;
    }
    pointer release() noexcept
    {
        pointer value = value_;
        value_ = Traits::invalid();
        return value;
    }
    void reset(pointer value = Traits::invalid()) noexcept
    {
        if (valid())
            Traits::close(value_);
        value_ = value;
    }

private:
    pointer value_;
};

// Kernel objects that use null for "none": threads, events, processes, pipes' client ends, tokens.
struct HandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
// Files and named pipes, where CreateFile/CreateNamedPipe report failure as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
struct KeyTraits {
    using pointer = HKEY;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer k) noexcept { ::RegCloseKey(k); }
};
struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};
// Memory the platform hands out with LocalAlloc (security descriptors, FormatMessage buffers).
struct LocalTraits {
    using pointer = HLOCAL;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::LocalFree(p); }
};
// SIDs made by AllocateAndInitializeSid.
struct SidTraits {
    using pointer = PSID;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::FreeSid(p); }
};
struct ModuleTraits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer m) noexcept { ::FreeLibrary(m); }
};
struct FindTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};
// Event log sources opened with RegisterEventSource.
struct EventSourceTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeregisterEventSource(h); }
};
// C runtime streams (fopen and its kin).
struct StdFileTraits {
    using pointer = FILE *;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer f) noexcept { ::fclose(f); }
};

// COM interfaces (the debugger engine's among them): the owner holds one reference.
template <typename Interface>
struct ComTraits {
    using pointer = Interface *;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer object) noexcept { object->Release(); }
};

using UniqueHandle = Unique<HandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueKey = Unique<KeyTraits>;
using UniqueServiceHandle = Unique<ServiceHandleTraits>;
using UniqueLocal = Unique<LocalTraits>;
using UniqueSid = Unique<SidTraits>;
using UniqueModule = Unique<ModuleTraits>;
using UniqueFind = Unique<FindTraits>;
using UniqueEventSource = Unique<EventSourceTraits>;
using UniqueStdFile = Unique<StdFileTraits>;
template <typename Interface>
using UniqueCom = Unique<ComTraits<Interface>>;

} // namespace tiny
} // namespace norvo
