#include "inspection/packagedatabase.h"

namespace nvupdater {

namespace {

const DWORD kValueCapacity = 260;   // characters, terminator included

} // namespace

UINT PackageDatabase::Open(const std::wstring &packagePath)
{
    session_.reset();
    sessionTried_ = false;
    opened_ = msi::OpenDatabase(packagePath, database_);
    return opened_;
}

std::wstring PackageDatabase::Property(const wchar_t *name)
{
    if (!database_)
        return std::wstring();
    if (!sessionTried_) {
        sessionTried_ = true;
        // The installer takes an open database as "#" and its handle's number in place of a path,
        // and then reads nothing from the file again.
        (void)msi::OpenPackage(L"#" + std::to_wstring(database_.get()), session_);   // no session, no value
    }
    if (!session_)
        return std::wstring();
    wchar_t value[kValueCapacity] = {};
    DWORD capacity = kValueCapacity;
    if (msi::GetProductProperty(session_.get(), name, value, &capacity) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

UINT PackageDatabase::Query(const std::wstring &query, msi::UniqueHandle &view)
{
    if (!database_)
        return opened_;
    msi::UniqueHandle opened;
    UINT result = msi::OpenView(database_.get(), query, opened);
    if (result != ERROR_SUCCESS)
        return result;
    result = msi::ViewExecute(opened.get());
    if (result != ERROR_SUCCESS) {
        (void)msi::ViewClose(opened.get());   // the failed execution is the result to report
        return result;
    }
    view = std::move(opened);
    return ERROR_SUCCESS;
}

std::wstring ReadPackageProperty(const std::wstring &packagePath, const std::wstring &property)
{
    PackageDatabase package;
    if (package.Open(packagePath) != ERROR_SUCCESS)
        return std::wstring();
    return package.Property(property.c_str());
}

} // namespace nvupdater
