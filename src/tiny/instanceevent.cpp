// The single-instance event: one named event per machine, open for the whole run.
#include "tiny/service.h"

#include "tiny/unique.h"

#include <sddl.h>

#include <string>

namespace norvo {
namespace tiny {

namespace {

const char kGlobalPrefix[] = "Global\\";
const int kLocalNameFlags = 0xF7;   // any of these: the name stays in the session's namespace
const int kDefaultSecurityFlags = 0x07; // any of these: no explicit security descriptor
// SYSTEM and Administrators: EVENT_ALL_ACCESS; Everyone: SYNCHRONIZE only; nothing inherited.
const char kInstanceEventSecurity[] = "D:P(A;;0x001F0003;;;SY)(A;;0x001F0003;;;BA)(A;;0x00100000;;;WD)";

} // namespace

UniqueHandle createGuardedEvent(const char *name, int platformFlags)
{
    if ((platformFlags & kDefaultSecurityFlags) != 0)
        return UniqueHandle(CreateEventA(nullptr, FALSE, FALSE, name));

    // Any account may open the event to wait on it; only SYSTEM and administrators may signal it,
    // change it or its access list.
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kInstanceEventSecurity, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()),
                                                              nullptr))
        return UniqueHandle();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueHandle event(CreateEventA(&attributes, FALSE, FALSE, name));
    const DWORD error = GetLastError();
    descriptor.reset();
    SetLastError(error); // the caller tells an existing event by it
    return event;
}

UniqueHandle createInstanceEvent(const char *name, int platformFlags)
{
    if (!name)
        return UniqueHandle();
    std::string objectName = name;
    if ((platformFlags & 0xFF & kLocalNameFlags) == 0)
        objectName = kGlobalPrefix + objectName;

    UniqueHandle event = createGuardedEvent(objectName.c_str(), platformFlags);
    if (!event || GetLastError() == ERROR_ALREADY_EXISTS)
        return UniqueHandle();
    return event;
}

} // namespace tiny
} // namespace norvo
