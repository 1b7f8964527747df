// What the checks read of a package, and the one read-only database they read it from: the package
// file is opened once per examination, and every property read and table query goes to that open.
#pragma once

#include "inspection/msiapi.h"

#include <windows.h>

#include <string>

namespace nvupdater {

// The reads the checks make of one package.
class PackageReader {
public:
    virtual ~PackageReader() = default;
    // The property's value, or empty when the package or the property cannot be read (a value of
    // 260 characters or more included).
    virtual std::wstring Property(const wchar_t *name) = 0;
    // Runs `query` on the package's database: 0 with `view` executed and ready to fetch, otherwise
    // the installer's error (1615: no such table).
    [[nodiscard]] virtual UINT Query(const std::wstring &query, msi::UniqueHandle &view) = 0;
};

// The package's database opened read-only once, and the installer session made over that open at
// the first property read, so the properties are the installer's own view of them as before.
class PackageDatabase : public PackageReader {
public:
    // 0, or the installer's error, which every query then reports (and no property is read).
    [[nodiscard]] UINT Open(const std::wstring &packagePath);
    std::wstring Property(const wchar_t *name) override;
    [[nodiscard]] UINT Query(const std::wstring &query, msi::UniqueHandle &view) override;

private:
    UINT opened_ = ERROR_INVALID_HANDLE;   // until Open
    msi::UniqueHandle database_;
    bool sessionTried_ = false;            // a session that cannot be made is not asked for again
    msi::UniqueHandle session_;            // closed before the database
};

// One property of the package at `packagePath`, read through a database of its own.
std::wstring ReadPackageProperty(const std::wstring &packagePath, const std::wstring &property);

} // namespace nvupdater
