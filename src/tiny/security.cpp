#include "tiny/security.h"

#include "tiny/fileitself.h"
#include "tiny/nmutex.h"

#include <sddl.h>

#include <map>
#include <utility>
#include <vector>

namespace norvo {
namespace tiny {

namespace {

const DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
const DWORD kProtectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
const DWORD kAllInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;  // 3
// Full access in an entry of its own: every bit of the mask, the generic rights included.
const DWORD kEveryAccessBit = 0xFFFFFFFF;
const int kMostSids = 16;
// SYSTEM and Administrators: full control, inherited by what is created inside; nothing from above.
const char kProtectedFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The one process token handle that holders share, and how many hold it.
NMutex &tokenMutex()
{
    static NMutex mutex;
    return mutex;
}
HANDLE g_processToken = nullptr;
int g_processTokenReferences = 0;

// Earlier attribute words of each (token, privilege), newest last.
typedef std::map<std::pair<HANDLE, std::string>, std::vector<DWORD>> SavedStates;
NMutex &savedMutex()
{
    static NMutex mutex;
    return mutex;
}
SavedStates &savedStates()
{
    static SavedStates states;
    return states;
}

// Drops one reference: the shared token is closed with its last one, any other handle at once.
void dropReference(HANDLE token)
{
    NMutexLock lock(tokenMutex());
    if (token == g_processToken) {
        if (--g_processTokenReferences <= 0) {
            CloseHandle(g_processToken);
            g_processToken = nullptr;
            g_processTokenReferences = 0;
        }
        return;
    }
    CloseHandle(token);
}

bool tooLong(const char *path)
{
    return !path || strnlen(path, kLongestSecurityPath + 1) > kLongestSecurityPath;
}

// A checked handle on the file itself (never a link's target), so that every change concerns the
// named object.
DWORD openForSecurity(const char *path, DWORD access, UniqueFile &file)
{
    if (tooLong(path))
        return ERROR_FILENAME_EXCED_RANGE;
    return openFileItself(path, access, file);
}

const PrivilegeSet::Request kOwnershipPrivileges[] = {
    {"SeTakeOwnershipPrivilege", true},
    {"SeRestorePrivilege", true},
    {"SeBackupPrivilege", true},
    {"SeChangeNotifyPrivilege", true},
};
const int kOwnershipPrivilegeCount = 4;

void trusteeGroup(PSID sid, EXPLICIT_ACCESS_A &entry)
{
    entry.grfAccessMode = SET_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(sid);
}

} // namespace

DWORD createWellKnownSid(int kind, UniqueSid &sid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    BOOL made = FALSE;
    switch (kind) {
    case kSidAdministrators:
        made = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                        0, sid.put());
        break;
    case kSidLocalSystem:
        made = AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, sid.put());
        break;
    case kSidUsers:
        made = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0,
                                        0, sid.put());
        break;
    case kSidCreatorOwner:
        made = AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RID, 0, 0, 0, 0, 0, 0, 0, sid.put());
        break;
    case kSidService:
        made = AllocateAndInitializeSid(&nt, 1, SECURITY_SERVICE_RID, 0, 0, 0, 0, 0, 0, 0, sid.put());
        break;
    default:
        sid.reset();
        return ERROR_INVALID_PARAMETER;
    }
    return made ? ERROR_SUCCESS : GetLastError();
}

DWORD accessRights(unsigned flags, bool owner)
{
    DWORD rights = READ_CONTROL | SYNCHRONIZE;
    if (flags & (kAccessRead | kAccessWrite))
        rights |= FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES;
    if (flags & kAccessWrite)
        rights |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC;
    if (flags & kAccessExecute)
        rights |= FILE_EXECUTE;
    const unsigned all = kAccessRead | kAccessWrite | kAccessExecute;
    if ((flags & all) == all)
        rights |= FILE_DELETE_CHILD;
    if (owner)
        rights |= WRITE_OWNER;
    return rights;
}

void fullAccessEntry(PSID sid, EXPLICIT_ACCESS_A &entry)
{
    entry = EXPLICIT_ACCESS_A();
    trusteeGroup(sid, entry);
    entry.grfAccessPermissions = kEveryAccessBit;
    entry.grfInheritance = kAllInheritance;
}

int flagEntries(PSID sid, unsigned flags, EXPLICIT_ACCESS_A entries[2])
{
    if (flags & (kAccessExecute | kAccessWrite))
        flags |= kAccessRead;
    entries[0] = EXPLICIT_ACCESS_A();
    trusteeGroup(sid, entries[0]);
    entries[0].grfAccessPermissions = accessRights(flags, false);
    entries[0].grfInheritance = kAllInheritance;
    if ((flags & kAccessRead) && !(flags & kAccessExecute)) {
        // Folders below must stay traversable.
        entries[1] = EXPLICIT_ACCESS_A();
        trusteeGroup(sid, entries[1]);
        entries[1].grfAccessPermissions = accessRights(flags | kAccessExecute, false);
        entries[1].grfInheritance = CONTAINER_INHERIT_ACE;
        return 2;
    }
    return 1;
}

namespace {

// The entries for `count` SIDs written into the DACL of the open file (READ_CONTROL, WRITE_DAC).
DWORD writeFileAcl(HANDLE file, int count, const int *kinds, bool replace, int flags)
{
    UniqueLocal entryRoom(LocalAlloc(LPTR, sizeof(EXPLICIT_ACCESS_A) * 2 * static_cast<size_t>(count)));
    if (!entryRoom)
        return ERROR_OUTOFMEMORY;
    EXPLICIT_ACCESS_A *entries = static_cast<EXPLICIT_ACCESS_A *>(entryRoom.get());
    UniqueSid sids[kMostSids];
    ULONG entryCount = 0;
    for (int i = 0; i < count; ++i) {
        DWORD made = createWellKnownSid(kinds[i], sids[i]);
        if (made != ERROR_SUCCESS)
            return made;
        if (flags == -1)
            fullAccessEntry(sids[i].get(), entries[entryCount++]);
        else
            entryCount += static_cast<ULONG>(flagEntries(sids[i].get(), static_cast<unsigned>(flags), &entries[entryCount]));
    }

    PACL current = nullptr;
    UniqueLocal descriptor;
    if (!replace) {
        PSECURITY_DESCRIPTOR read = nullptr;
        DWORD got = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                                    nullptr, &read);
        descriptor.reset(read);
        if (got != ERROR_SUCCESS)
            return got;
    }
    PACL merged = nullptr;
    DWORD set = SetEntriesInAclA(entryCount, entries, current, &merged);
    UniqueLocal mergedOwner(merged);
    if (set != ERROR_SUCCESS)
        return set;
    return SetSecurityInfo(file, SE_FILE_OBJECT, kProtectedDacl, nullptr, nullptr, merged, nullptr);
}

// Makes the SID of `kind` the owner of the open file (WRITE_OWNER).
DWORD writeFileOwner(HANDLE file, int kind)
{
    UniqueSid owner;
    DWORD made = createWellKnownSid(kind, owner);
    if (made != ERROR_SUCCESS)
        return made;
    return SetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner.get(), nullptr, nullptr, nullptr);
}

bool validKinds(int count, const int *kinds) { return count > 0 && count <= kMostSids && kinds; }

} // namespace

DWORD setFileAcl(const char *path, int count, const int *kinds, bool replace, int flags)
{
    if (!validKinds(count, kinds))
        return ERROR_INVALID_PARAMETER;
    UniqueFile file;
    DWORD opened = openForSecurity(path, READ_CONTROL | WRITE_DAC, file);
    if (opened != ERROR_SUCCESS)
        return opened;
    return writeFileAcl(file.get(), count, kinds, replace, flags);
}

DWORD takeFileOwnership(const char *path, int kind)
{
    if (tooLong(path))
        return ERROR_FILENAME_EXCED_RANGE;
    PrivilegeSet privileges(nullptr, kOwnershipPrivileges, kOwnershipPrivilegeCount, true);
    if (!privileges.allEnabled())
        return 1;
    UniqueFile file;
    DWORD opened = openForSecurity(path, WRITE_OWNER, file);
    if (opened != ERROR_SUCCESS)
        return opened;
    return writeFileOwner(file.get(), kind);
}

bool restrictFileAccess(const char *path, bool allowUsers)
{
    if (tooLong(path))
        return false;
    // One handle, checked once, for the access list and the owner: nothing in between can put
    // another file or a link under the name.
    PrivilegeSet privileges(nullptr, kOwnershipPrivileges, kOwnershipPrivilegeCount, true);
    if (!privileges.allEnabled())
        return false;
    UniqueFile file;
    if (openForSecurity(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, file) != ERROR_SUCCESS)
        return false;
    const int owners[] = {kSidAdministrators, kSidLocalSystem};
    if (writeFileAcl(file.get(), 2, owners, true, -1) != ERROR_SUCCESS)
        return false;
    if (writeFileOwner(file.get(), kSidAdministrators) != ERROR_SUCCESS)
        return false;
    const int users[] = {kSidUsers};
    if (allowUsers && writeFileAcl(file.get(), 1, users, false, kAccessRead | kAccessExecute) != ERROR_SUCCESS)
        return false;
    return true;
}

bool usersCanCreateIn(const char *folder)
{
    UniqueFile handle;
    if (openForSecurity(folder, READ_CONTROL, handle) != ERROR_SUCCESS)
        return true;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    DWORD got = GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &read);
    UniqueLocal descriptor(read);
    if (got != ERROR_SUCCESS || !dacl)
        return true;  // unreadable, or no DACL at all: everyone may do everything
    const WELL_KNOWN_SID_TYPE ordinary[] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                            WinInteractiveSid};
    const DWORD creating = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            return true;
        const ACCESS_ALLOWED_ACE *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (allowed->Header.AceFlags & INHERIT_ONLY_ACE) ||
            !(allowed->Mask & creating))
            continue;
        PSID trustee = const_cast<DWORD *>(&allowed->SidStart);
        for (WELL_KNOWN_SID_TYPE type : ordinary) {
            BYTE sid[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(sid);
            if (CreateWellKnownSid(type, nullptr, sid, &size) && EqualSid(trustee, sid))
                return true;
        }
    }
    return false;
}

DWORD createProtectedFolder(const char *folder)
{
    UniqueLocal descriptor;
    PSECURITY_DESCRIPTOR *made = reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put());
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kProtectedFolderSecurity, SDDL_REVISION_1, made, nullptr))
        return GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    return CreateDirectoryA(folder, &attributes) ? ERROR_SUCCESS : GetLastError();
}

PrivilegeSet::PrivilegeSet(HANDLE token, const Request *requests, int count, bool impersonate) : token_(token)
{
    if (impersonate)
        impersonating_ = ImpersonateSelf(SecurityImpersonation) != FALSE;
    for (int i = 0; i < count && allEnabled_; ++i) {
        allEnabled_ = enablePrivilege(*this, requests[i].name, requests[i].enable, true);
        if (allEnabled_)
            enabledNames_.push_back(requests[i].name);
    }
}

PrivilegeSet::~PrivilegeSet()
{
    HANDLE token = token_;
    for (size_t i = 0; i < enabledNames_.size(); ++i)
        restorePrivilege(token, enabledNames_[i].c_str(), i + 1 == enabledNames_.size());
    if (impersonating_)
        RevertToSelf();
}

TokenHolder::TokenHolder(HANDLE token, bool finalRelease)
{
    if (token) {
        token_ = token;
        NMutexLock lock(tokenMutex());
        if (token == g_processToken) {
            if (!finalRelease)
                ++g_processTokenReferences;
            ownsReference_ = true;  // its own reference, or, when final, the set's
        } else {
            ownsReference_ = finalRelease;  // a set's own thread token ends with its last use
        }
        return;
    }
    if (OpenThreadToken(GetCurrentThread(), kTokenAccess, TRUE, &token_)) {
        ownsReference_ = true;
        return;
    }
    token_ = nullptr;
    if (GetLastError() != ERROR_NO_TOKEN)
        return;
    NMutexLock lock(tokenMutex());
    if (!g_processToken) {
        HANDLE opened = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &opened))
            return;
        g_processToken = opened;
        g_processTokenReferences = 0;
    }
    ++g_processTokenReferences;
    token_ = g_processToken;
    ownsReference_ = true;
}

TokenHolder::~TokenHolder()
{
    if (token_ && ownsReference_ && !handedOn)
        dropReference(token_);
}

bool getPrivilegeAttributes(HANDLE token, DWORD &attributes, const LUID &privilege)
{
    if (!token)
        return false;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size) || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size))
        return false;
    char wanted[128];
    DWORD length = sizeof(wanted);
    LUID lookup = privilege;
    if (!LookupPrivilegeNameA(nullptr, &lookup, wanted, &length))
        return false;
    const TOKEN_PRIVILEGES *held = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        char name[128];
        DWORD nameLength = sizeof(name);
        LUID each = held->Privileges[i].Luid;
        if (!LookupPrivilegeNameA(nullptr, &each, name, &nameLength))
            return false;
        if (strcmp(name, wanted) == 0) {
            attributes = held->Privileges[i].Attributes;
            return true;
        }
    }
    return false;
}

bool setPrivilegeAttributes(HANDLE token, DWORD attributes, const LUID &privilege)
{
    if (!token)
        return false;
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Luid = privilege;
    change.Privileges[0].Attributes = attributes;
    if (!AdjustTokenPrivileges(token, FALSE, &change, sizeof(change), nullptr, nullptr))
        return false;
    return GetLastError() == ERROR_SUCCESS;  // ERROR_NOT_ALL_ASSIGNED: the token lacks it
}

bool enablePrivilege(PrivilegeSet &set, const char *name, bool enable, bool remember)
{
    LUID privilege = {};
    if (!name || !LookupPrivilegeValueA(nullptr, name, &privilege))
        return false;
    TokenHolder holder(set.token_, false);
    holder.handOn = remember;
    if (!holder.token())
        return false;
    {
        NMutexLock lock(savedMutex());
        DWORD earlier = 0;
        if (!getPrivilegeAttributes(holder.token(), earlier, privilege))
            return false;
        DWORD wanted = enable ? (earlier | SE_PRIVILEGE_ENABLED) : (earlier & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
        if (!setPrivilegeAttributes(holder.token(), wanted, privilege))
            return false;
        if (remember)
            savedStates()[std::make_pair(holder.token(), std::string(name))].push_back(earlier);
    }
    if (remember && !set.token_) {
        set.token_ = holder.token();
        holder.handedOn = true;
    }
    return true;
}

bool restorePrivilege(HANDLE token, const char *name, bool final)
{
    LUID privilege = {};
    if (!name || !LookupPrivilegeValueA(nullptr, name, &privilege))
        return false;
    TokenHolder holder(token, final);
    NMutexLock lock(savedMutex());
    SavedStates &states = savedStates();
    SavedStates::iterator saved = states.find(std::make_pair(holder.token(), std::string(name)));
    if (saved == states.end())
        return false;
    bool applied = setPrivilegeAttributes(holder.token(), saved->second.back(), privilege);
    if (applied) {
        saved->second.pop_back();
        if (saved->second.empty())
            states.erase(saved);
    }
    return applied;
}

size_t savedPrivilegeStates(HANDLE token, const char *name)
{
    NMutexLock lock(savedMutex());
    SavedStates::const_iterator saved = savedStates().find(std::make_pair(token, std::string(name)));
    return saved == savedStates().end() ? 0 : saved->second.size();
}

} // namespace tiny
} // namespace norvo
