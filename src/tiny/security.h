// Who may use a file: well-known SIDs, explicit access entries written into a file's protected
// DACL, ownership by a well-known group, and the privileges that taking ownership needs, enabled
// for one operation and restored afterwards.
#pragma once

#include "tiny/unique.h"

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

namespace norvo {
namespace tiny {

enum WellKnownSidKind {
    kSidAdministrators = 0,  // S-1-5-32-544
    kSidLocalSystem = 1,     // S-1-5-18
    kSidUsers = 2,           // S-1-5-32-545
    kSidCreatorOwner = 3,    // S-1-3-0
    kSidService = 4,         // S-1-5-6
};

// 0, or the error of a failed AllocateAndInitializeSid (ERROR_INVALID_PARAMETER for other kinds).
[[nodiscard]] DWORD createWellKnownSid(int kind, UniqueSid &sid);

// A small bit set of what a trustee may do with a file.
enum AccessFlags {
    kAccessExecute = 1,
    kAccessWrite = 2,
    kAccessRead = 4,
};
// The file rights of `flags` (with WRITE_OWNER when `owner`): read and execute give 0x1200A9.
DWORD accessRights(unsigned flags, bool owner);
// Every right, for objects and sub-containers.
void fullAccessEntry(PSID sid, EXPLICIT_ACCESS_A &entry);
// One or two entries for `flags` (execute or write imply read); returns how many were written.
int flagEntries(PSID sid, unsigned flags, EXPLICIT_ACCESS_A entries[2]);

// Paths longer than this are refused (ERROR_FILENAME_EXCED_RANGE, or false).
const size_t kLongestSecurityPath = 259;

// Writes entries for `count` SIDs into the file's DACL, replacing it or merged into the current
// one, always protected from inheritance. `flags` -1: full access for every SID. A Win32 code.
// These work through a handle on the file itself: a link in its place is refused, never followed.
[[nodiscard]] DWORD setFileAcl(const char *path, int count, const int *kinds, bool replace, int flags);
// Makes the SID of `kind` the file's owner. 1 when the privileges could not all be enabled.
[[nodiscard]] DWORD takeFileOwnership(const char *path, int kind);
// Leaves the file to Administrators and SYSTEM (and read and execute to Users when asked),
// owned by Administrators. Every change goes through one handle on the file itself, opened with
// the ownership privileges enabled; a link or a name resolving elsewhere is refused (false).
bool restrictFileAccess(const char *path, bool allowUsers);

// Whether ordinary users (Users, Everyone, Authenticated Users, Interactive) may create files or
// folders in `folder`, by the allowing entries of its DACL; true as well when that cannot be read.
bool usersCanCreateIn(const char *folder);
// Creates `folder` for Administrators and SYSTEM only (inherited by what is created in it, nothing
// inherited from above), the descriptor given at creation. 0, or the error (an existing folder:
// ERROR_ALREADY_EXISTS, unchanged).
[[nodiscard]] DWORD createProtectedFolder(const char *folder);

// Enables privileges on a token for one scope and restores them, in enabling order, at its end.
class PrivilegeSet {
public:
    struct Request {
        const char *name;
        bool enable;
    };
    // `token` null: the thread's token (with `impersonate`), else the process token.
    PrivilegeSet(HANDLE token, const Request *requests, int count, bool impersonate);
    ~PrivilegeSet();
    PrivilegeSet(const PrivilegeSet &) = delete;
    PrivilegeSet &operator=(const PrivilegeSet &) = delete;

    bool allEnabled() const { return allEnabled_; }
    HANDLE token() const { return token_; }

private:
    friend bool enablePrivilege(PrivilegeSet &set, const char *name, bool enable, bool remember);

    HANDLE token_;
    bool allEnabled_ = true;
    std::vector<std::string> enabledNames_;
    bool impersonating_ = false;
};

// A token handle for one operation, and the reference it holds on it.
class TokenHolder {
public:
    // `token` given: used as it is; otherwise the thread's token, else the shared process token.
    TokenHolder(HANDLE token, bool finalRelease);
    ~TokenHolder();
    TokenHolder(const TokenHolder &) = delete;
    TokenHolder &operator=(const TokenHolder &) = delete;

    HANDLE token() const { return token_; }
    bool handOn = false;     // the handle may be handed on to a PrivilegeSet
    bool handedOn = false;   // it was: the set now holds the reference

private:
    HANDLE token_ = nullptr;
    bool ownsReference_ = false;
};

// Sets or clears SE_PRIVILEGE_ENABLED; with `remember` the earlier state is kept for restoring.
bool enablePrivilege(PrivilegeSet &set, const char *name, bool enable, bool remember);
// Brings back the state saved last for (token, name); false when none was saved. With `final`
// the set's reference to the token is given up.
bool restorePrivilege(HANDLE token, const char *name, bool final);
bool getPrivilegeAttributes(HANDLE token, DWORD &attributes, const LUID &privilege);
// True only when the token holds the privilege and the change was made.
bool setPrivilegeAttributes(HANDLE token, DWORD attributes, const LUID &privilege);

// How many saved states wait for (token, name); for checks of the bookkeeping.
size_t savedPrivilegeStates(HANDLE token, const char *name);

} // namespace tiny
} // namespace norvo
