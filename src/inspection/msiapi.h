// The Windows Installer functions the service uses, reached by ordinal in the system's msi.dll,
// and an owner for installer handles. msi.dll is loaded once, from the system folder only, and
// stays loaded for the life of the process.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace nvupdater {
namespace msi {

using Handle = unsigned long;   // an installer handle (MSIHANDLE); 0 is none
// The installer's null integer: what an empty field, or one that cannot be read, reports.
const int kNullInteger = static_cast<int>(0x80000000u);

// Closes an installer handle (ordinal 8).
UINT CloseHandle(Handle handle);

struct HandleTraits {
    using pointer = Handle;
    static pointer invalid() noexcept { return 0; }
    static void close(pointer handle) noexcept { msi::CloseHandle(handle); }
};
using UniqueHandle = norvo::tiny::Unique<HandleTraits>;

// Every call answers ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND when msi.dll or the entry point
// is missing, otherwise the installer's own result.
[[nodiscard]] UINT OpenPackage(const std::wstring &packagePath, UniqueHandle &session);                   // 94
[[nodiscard]] UINT GetProductProperty(Handle session, const wchar_t *name, wchar_t *buffer, DWORD *capacity); // 72
[[nodiscard]] UINT OpenDatabase(const std::wstring &packagePath, UniqueHandle &database);                 // 92, read-only
[[nodiscard]] UINT OpenView(Handle database, const std::wstring &query, UniqueHandle &view);              // 32
// Applies a transform (a file's path, or ":" and the name of one stored in the package) to the open
// database, suppressing the error conditions given.
[[nodiscard]] UINT DatabaseApplyTransform(Handle database, const std::wstring &transform, int conditions);  // 19
// The summary information of the open database (no update count: read only).
[[nodiscard]] UINT GetSummaryInformation(Handle database, UniqueHandle &summary);                         // 78
// An integer property of the summary information; its type (VT_I2 or VT_I4 when an integer) is given.
[[nodiscard]] UINT SummaryInfoGetInteger(Handle summary, UINT property, UINT &type, int &value);           // 150
[[nodiscard]] UINT ViewExecute(Handle view);                                                              // 159
[[nodiscard]] UINT ViewClose(Handle view);                                                                // 158
[[nodiscard]] UINT ViewFetch(Handle view, UniqueHandle &record);                                          // 160
[[nodiscard]] UINT RecordGetString(Handle record, UINT field, wchar_t *buffer, DWORD *capacity);          // 118
// A text field of at most `capacity` - 1 characters; false when it cannot be read (too long included).
[[nodiscard]] bool RecordText(Handle record, UINT field, DWORD capacity, std::wstring &text);
int RecordGetInteger(Handle record, UINT field);                                            // 116
[[nodiscard]] UINT AdvertiseProduct(const std::wstring &packagePath, const std::wstring &scriptPath,
                      const std::wstring &transforms, LANGID language);                     // 6
[[nodiscard]] UINT AdvertiseScript(const std::wstring &scriptPath, DWORD flags, PHKEY registryData, BOOL remove); // 177
// The user-interface level (ordinal 141); returns the previous level, or 0 when unavailable.
int SetInternalUI(int level);

// True when msi.dll was loaded and every entry point above was found.
bool Available();

} // namespace msi
} // namespace nvupdater
