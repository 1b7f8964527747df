#include "inspection/protectedfolder.h"

#include "tiny/finalpath.h"
#include "tiny/unique.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>
#include <wchar.h>

using norvo::tiny::UniqueFile;
using norvo::tiny::UniqueHandle;
using norvo::tiny::UniqueLocal;

namespace nvupdater {

namespace {

// Rights that let their holder change the folder, its contents or its security.
const DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const int kAttempts = 3;
const size_t kStampUnits = 17;   // 16 hexadecimal digits and the terminator

enum class Verdict { Protected, Unprotected, LeadsElsewhere };

// What a look at a folder asks for: its security and attributes.
const DWORD kJudgeRights = READ_CONTROL | FILE_READ_ATTRIBUTES;
// A hold reads the folder's listing as well: only a handle with data access keeps others from
// opening the folder for deletion (a rename included).
const DWORD kHoldRights = kJudgeRights | FILE_LIST_DIRECTORY;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kShareAllButDeletion = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The folder itself, never what a reparse point names. A look shares everything so that nobody is
// kept out by it.
UniqueFile openFolder(const std::wstring &path, DWORD access, DWORD share = kShareAll)
{
    return UniqueFile(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The account the service runs as (SYSTEM for the installed service).
class OwnAccount {
public:
    OwnAccount()
    {
        UniqueHandle token;
        DWORD size = 0;
        known_ = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
                 GetTokenInformation(token.get(), TokenUser, buffer_, sizeof(buffer_), &size);
    }
    // Null when the account could not be read.
    PSID sid() const { return known_ ? reinterpret_cast<const TOKEN_USER *>(buffer_)->User.Sid : nullptr; }

private:
    alignas(TOKEN_USER) BYTE buffer_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    bool known_ = false;
};

bool isTrustedAccount(PSID sid, const OwnAccount &self)
{
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return true;
    return self.sid() && EqualSid(sid, self.sid());
}

// Whether any entry, for the folder or inherited by what is created in it, lets an account other
// than the trusted ones write. An entry of a kind not read here counts as one that does.
bool othersMayWrite(PACL dacl, const OwnAccount &self)
{
    if (!dacl)
        return true;   // no access list: everyone may do everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header)))
            return true;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return true;
        const auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
        if ((allowed->Mask & kWriteRights) != 0 &&
            !isTrustedAccount(const_cast<DWORD *>(&allowed->SidStart), self))
            return true;
    }
    return false;
}

Verdict judge(HANDLE folder, const std::wstring &path)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(folder, &information))
        return Verdict::Unprotected;
    // A reparse point (a junction, a link) was opened itself: moving it aside moves only the link.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return Verdict::Unprotected;
    // Anything else that leads elsewhere: the handle is of the place it leads to, which is not ours.
    if (!norvo::tiny::handleResolvesTo(folder, path))
        return Verdict::LeadsElsewhere;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocal descriptor;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put())) !=
        ERROR_SUCCESS)
        return Verdict::Unprotected;
    const OwnAccount self;
    if (!owner || !isTrustedAccount(owner, self) || othersMayWrite(dacl, self))
        return Verdict::Unprotected;
    return Verdict::Protected;
}

// Renames the folder that `folder` holds to "<path>.untrusted-<time>", through the handle.
bool moveAside(HANDLE folder, const std::wstring &path)
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    wchar_t stamp[kStampUnits] = {};
    _snwprintf(stamp, kStampUnits - 1, L"%08lX%08lX", static_cast<unsigned long>(now.dwHighDateTime),
               static_cast<unsigned long>(now.dwLowDateTime));
    const std::wstring aside = path + L".untrusted-" + stamp;
    const size_t nameBytes = aside.size() * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(rename->FileName, aside.data(), nameBytes);
    return SetFileInformationByHandle(folder, FileRenameInfo, buffer.data(), static_cast<DWORD>(buffer.size())) != FALSE;
}

} // namespace

bool IsProtectedFolder(const std::wstring &path)
{
    UniqueFile folder = openFolder(path, kJudgeRights);
    return folder && judge(folder.get(), path) == Verdict::Protected;
}

HeldFolder HoldFolder(const std::wstring &path)
{
    HeldFolder held;
    held.path_ = path;
    held.folder_ = openFolder(path, kHoldRights, kShareAllButDeletion);
    held.protected_ = held.folder_ && judge(held.folder_.get(), path) == Verdict::Protected;
    return held;
}

bool EnsureProtectedFolder(const std::wstring &path, const wchar_t *security)
{
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()),
                                                              nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    // Another attempt only when someone put a folder there again between the move and the creation.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!CreateDirectoryW(path.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        // Judged without the right to delete, which a hold on a protected folder does not let anyone have.
        UniqueFile folder = openFolder(path, kJudgeRights);
        if (!folder)
            return false;
        switch (judge(folder.get(), path)) {
        case Verdict::Protected:
            return true;
        case Verdict::LeadsElsewhere:
            return false;
        case Verdict::Unprotected:
            // What is moved is judged again through the handle that moves it.
            folder = openFolder(path, kJudgeRights | DELETE);
            if (!folder || judge(folder.get(), path) != Verdict::Unprotected || !moveAside(folder.get(), path))
                return false;
            break;
        }
    }
    return false;
}

} // namespace nvupdater
