// Advertise scripts: written for a package and applied machine-wide, taken away again after the
// installation, and cleaned up when a session left one behind.
#include "inspection/advertisement.h"

#include "inspection/msiapi.h"
#include "inspection/productinventory.h"

namespace nvupdater {

namespace {

const LANGID kScriptLanguage = 0x409;
// All registration data (configuration 0x20, classes 0x80, extensions 0x100), assigned to the
// machine (0x8).
const DWORD kScriptFlags = 0x1A8;
const wchar_t kScriptExtension[] = L".aas";
const size_t kProductCodeLength = 38;

bool isHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f'); }

} // namespace

bool IsRegistryGuid(const std::wstring &text)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != kProductCodeLength || text.front() != L'{' || text.back() != L'}')
        return false;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != L'-' : !isHexDigit(text[i]))
            return false;
    }
    return true;
}

UINT AdvertisePackage(PackageReader &package, const HeldFolder &scripts, const std::wstring &packagePath,
                      const std::wstring &transforms, std::wstring &scriptPath)
{
    // The script's name is made from the package's text: only a GUID may become a file name there.
    const std::wstring productCode = package.Property(L"ProductCode");
    if (!IsRegistryGuid(productCode)) {
        scriptPath.clear();
        return ERROR_INVALID_PARAMETER;
    }
    scriptPath = scripts.path() + L"\\" + productCode + kScriptExtension;
    // The service writes and applies scripts only where nobody else may put or change one.
    if (!scripts.isProtected())
        return ERROR_ACCESS_DENIED;
    UINT result = msi::AdvertiseProduct(packagePath, scriptPath, transforms, kScriptLanguage);
    if (result != ERROR_SUCCESS)
        return result;
    result = msi::AdvertiseScript(scriptPath, kScriptFlags, nullptr, FALSE);
    if (result != ERROR_SUCCESS) {
        DeleteFileW(scriptPath.c_str());
        return result;
    }
    return ERROR_SUCCESS;
}

UINT UnadvertiseScript(const std::wstring &scriptPath)
{
    const UINT result = msi::AdvertiseScript(scriptPath, kScriptFlags, nullptr, TRUE);
    // A script whose advertisement is still applied stays, so that the next clean-up tries again.
    if (result == ERROR_SUCCESS)
        DeleteFileW(scriptPath.c_str());
    return result;
}

LONG CleanupStaleScripts(const HeldFolder &scripts, const std::function<bool()> &stopping,
                         const ScriptRemoved &removed)
{
    const std::wstring folder = scripts.path() + L"\\";
    // No folder, nothing left over; one that others may write to is not touched.
    if (!scripts.isProtected())
        return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES ? 0 : ERROR_ACCESS_DENIED;
    WIN32_FIND_DATAW entry = {};
    norvo::tiny::UniqueFind listing(FindFirstFileW((folder + L"*" + kScriptExtension).c_str(), &entry));
    if (!listing)
        return 0;
    LONG last = 0;
    do {
        if (stopping && stopping())
            break;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::wstring name = entry.cFileName;
        const std::wstring path = folder + name;
        const std::wstring productCode = name.substr(0, kProductCodeLength);
        last = IsProductRegistered(productCode);
        // A product that is not installed keeps no use for the advertisement. One that could not be
        // taken away keeps its script, so that the next clean-up tries again.
        if (last != ERROR_SUCCESS && msi::AdvertiseScript(path, kScriptFlags, nullptr, TRUE) != ERROR_SUCCESS)
            continue;
        DeleteFileW(path.c_str());
        if (removed)
            removed(productCode);
    } while (FindNextFileW(listing.get(), &entry));
    return last;
}

} // namespace nvupdater
