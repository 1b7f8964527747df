// The package lock: while the service inspects and advertises a package, only administrators and
// SYSTEM may change the file.
#include "inspection/inspection.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace nvupdater {

namespace {

// Owner SYSTEM, group Administrators, a protected list: full access for Administrators and SYSTEM.
const wchar_t kLockDescriptor[] = L"O:SYG:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)";
const SECURITY_INFORMATION kLockInformation = 0x80000007;   // protected DACL, DACL, group, owner
const SECURITY_INFORMATION kUnlockInformation = 0x20000006; // unprotected DACL, DACL, group

// The Set/GetNamedSecurityInfo calls take a writable name.
std::vector<wchar_t> writableName(const std::wstring &path)
{
    std::vector<wchar_t> name(path.begin(), path.end());
    name.push_back(L'\0');
    return name;
}

} // namespace

DWORD LockPackageFile(const std::wstring &packagePath, SavedFileSecurity &saved)
{
    std::vector<wchar_t> name = writableName(packagePath);
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR previous = nullptr;
    DWORD result = GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, kLockInformation, &owner, &group, &dacl,
                                         nullptr, &previous);
    if (result != ERROR_SUCCESS)
        return result;
    saved.descriptor.reset(previous);

    norvo::tiny::UniqueLocal lock;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockDescriptor, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR *>(lock.put()),
                                                              nullptr))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PSID lockOwner = nullptr, lockGroup = nullptr;
    PACL lockDacl = nullptr;
    if (!GetSecurityDescriptorOwner(lock.get(), &lockOwner, &defaulted) ||
        !GetSecurityDescriptorGroup(lock.get(), &lockGroup, &defaulted) ||
        !GetSecurityDescriptorDacl(lock.get(), &present, &lockDacl, &defaulted))
        return GetLastError();
    return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, kLockInformation, lockOwner, lockGroup, lockDacl,
                                 nullptr);
}

DWORD UnlockPackageFile(const std::wstring &packagePath, SavedFileSecurity &saved)
{
    // The lock failed before it read anything: there is nothing to restore, and the file's
    // security was never changed.
    if (!saved.descriptor)
        return ERROR_INVALID_PARAMETER;
    norvo::tiny::UniqueLocal descriptor(saved.descriptor.release());

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID group = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorGroup(descriptor.get(), &group, &defaulted))
        return GetLastError();
    std::vector<wchar_t> name = writableName(packagePath);
    return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, kUnlockInformation, nullptr, group, dacl, nullptr);
}

} // namespace nvupdater
