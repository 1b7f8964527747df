// The single-instance event: one named event per machine, open for the whole run.
#include "tiny/service.h"

#include "tiny/unique.h"

#include <string>

namespace norvo {
namespace tiny {

namespace {

const char kGlobalPrefix[] = "Global\\";
const int kLocalNameFlags = 0xF7;   // any of these: the name stays in the session's namespace
const int kDefaultSecurityFlags = 0x07; // any of these: no explicit security descriptor
const size_t kAclBufferSize = 1024;

} // namespace

HANDLE createWorldEvent(const char *name, int platformFlags)
{
    if ((platformFlags & kDefaultSecurityFlags) != 0)
        return CreateEventA(nullptr, FALSE, FALSE, name);

    // Everyone may open and signal the event, whichever account the other instance runs under.
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    UniqueSid everyone;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.put()))
        return nullptr;
    alignas(DWORD) BYTE aclBuffer[kAclBufferSize];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    if (!InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, everyone.get()))
        return nullptr;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};

    HANDLE event = CreateEventA(&attributes, FALSE, FALSE, name);
    const DWORD error = GetLastError();
    everyone.reset();
    SetLastError(error); // the caller tells an existing event by it
    return event;
}

HANDLE createInstanceEvent(const char *name, int platformFlags)
{
    if (!name)
        return nullptr;
    std::string objectName = name;
    if ((platformFlags & 0xFF & kLocalNameFlags) == 0)
        objectName = kGlobalPrefix + objectName;

    UniqueHandle event(createWorldEvent(objectName.c_str(), platformFlags));
    if (!event || GetLastError() == ERROR_ALREADY_EXISTS)
        return nullptr;
    return event.release();
}

} // namespace tiny
} // namespace norvo
