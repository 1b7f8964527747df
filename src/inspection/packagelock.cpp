// The package lock: while the service inspects and advertises a package, only administrators and
// SYSTEM may change the file. It acts on the held file itself, never on a name.
#include "inspection/packagelock.h"

#include <aclapi.h>
#include <sddl.h>

namespace nvupdater {

namespace {

// Owner SYSTEM, group Administrators, a protected list: full access for Administrators and SYSTEM.
const wchar_t kLockDescriptor[] = L"O:SYG:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)";
const SECURITY_INFORMATION kLockInformation =
    PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
    OWNER_SECURITY_INFORMATION;
// What the unlock puts back: the group and the list, with the list's protection as it was.
const SECURITY_INFORMATION kRestoredInformation = DACL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

} // namespace

DWORD LockPackageFile(const FileHold &hold, SavedFileSecurity &saved)
{
    // The client may not change the file's security itself: neither may the service on its behalf.
    if (!hold || !hold.canChangeSecurity)
        return ERROR_ACCESS_DENIED;
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR previous = nullptr;
    DWORD result =
        GetSecurityInfo(hold.file.get(), SE_FILE_OBJECT, kLockInformation, &owner, &group, &dacl, nullptr, &previous);
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
    return SetSecurityInfo(hold.file.get(), SE_FILE_OBJECT, kLockInformation, lockOwner, lockGroup, lockDacl, nullptr);
}

DWORD UnlockPackageFile(const FileHold &hold, SavedFileSecurity &saved)
{
    // The lock failed before it read anything: there is nothing to restore, and the file's
    // security was never changed.
    if (!saved.descriptor || !hold)
        return ERROR_INVALID_PARAMETER;
    norvo::tiny::UniqueLocal descriptor(saved.descriptor.release());

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID group = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorGroup(descriptor.get(), &group, &defaulted) ||
        !GetSecurityDescriptorControl(descriptor.get(), &control, &revision))
        return GetLastError();
    // A list that was protected stays protected: were it opened to inheritance, a folder such as
    // Program Files would hand its parent's entries to the file.
    const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                          : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return SetSecurityInfo(hold.file.get(), SE_FILE_OBJECT, kRestoredInformation | protection, nullptr, group, dacl,
                           nullptr);
}

} // namespace nvupdater
