#include "tiny/unwaitedopen.h"

#include <winternl.h>

namespace norvo {
namespace tiny {

namespace {

// A success code: the file is open, and another's opportunistic lock on it is being broken.
const LONG kOplockBreakInProgress = 0x00000108;   // STATUS_OPLOCK_BREAK_IN_PROGRESS
const DWORD kOplockBreakError = 742;              // ERROR_OPLOCK_BREAK_IN_PROGRESS, not in every SDK
const wchar_t kNtPrefix[] = L"\\??\\";
const wchar_t kNtLibrary[] = L"ntdll.dll";

typedef LONG(NTAPI *NtCreateFileRoutine)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                         ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef ULONG(NTAPI *StatusToErrorRoutine)(LONG);

// The native open, from the library every process has loaded: nothing is loaded for it.
struct NativeCalls {
    NativeCalls()
    {
        const HMODULE ntdll = GetModuleHandleW(kNtLibrary);
        if (!ntdll)
            return;
        createFile = reinterpret_cast<NtCreateFileRoutine>(
            reinterpret_cast<void *>(GetProcAddress(ntdll, "NtCreateFile")));
        toError = reinterpret_cast<StatusToErrorRoutine>(
            reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    }
    NtCreateFileRoutine createFile = nullptr;
    StatusToErrorRoutine toError = nullptr;
};

const NativeCalls &nativeCalls()
{
    static const NativeCalls calls;
    return calls;
}

} // namespace

DWORD openWithoutWaiting(const std::wstring &path, DWORD access, DWORD share, UniqueFile &file)
{
    file.reset();
    const NativeCalls &native = nativeCalls();
    if (!native.createFile || !native.toError)
        return ERROR_PROC_NOT_FOUND;
    std::wstring name = kNtPrefix + path;
    const size_t bytes = name.size() * sizeof(wchar_t);
    if (bytes > 0xFFFE)
        return ERROR_FILENAME_EXCED_RANGE;
    UNICODE_STRING ntName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), &name[0]};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &ntName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK status = {};
    HANDLE opened = INVALID_HANDLE_VALUE;
    // What CreateFileW asks for besides: SYNCHRONIZE and FILE_READ_ATTRIBUTES, synchronous I/O, no
    // folder, the reparse point itself.
    const ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                          FILE_COMPLETE_IF_OPLOCKED;
    const LONG result = native.createFile(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status,
                                          nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN, options, nullptr, 0);
    if (result < 0)
        return native.toError(result);
    UniqueFile held(opened);
    // The lock's holder has not let go: what it may still write is not what would be checked.
    if (result == kOplockBreakInProgress)
        return kOplockBreakError;
    file = std::move(held);
    return ERROR_SUCCESS;
}

} // namespace tiny
} // namespace norvo
