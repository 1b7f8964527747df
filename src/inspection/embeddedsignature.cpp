#include "inspection/embeddedsignature.h"

#include "inspection/heldfilebytes.h"
#include "tiny/unique.h"

#include <wincrypt.h>

namespace nvupdater {

namespace {

// Where an installer storage file keeps its Authenticode signature.
const wchar_t kSignatureStream[] = L"\x05" L"DigitalSignature";
// A signature with its certificates is a few kilobytes; anything far beyond that is no signature.
const ULONGLONG kMaxSignatureBytes = 1024 * 1024;
const LONG kNoSignature = static_cast<LONG>(0x80092009u);   // CRYPT_E_NO_MATCH

} // namespace

LONG ReadEmbeddedSignature(HANDLE file, std::vector<BYTE> &signature)
{
    signature.clear();
    HeldFileBytes bytes(file);
    norvo::tiny::UniqueCom<IStorage> storage;
    if (FAILED(OpenHeldStorage(bytes, storage.put())))
        return kNoSignature;
    norvo::tiny::UniqueCom<IStream> stream;
    if (FAILED(storage.get()->OpenStream(kSignatureStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put())))
        return kNoSignature;
    STATSTG stat = {};
    HRESULT result = stream.get()->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(result))
        return result;
    if (stat.cbSize.QuadPart == 0 || stat.cbSize.QuadPart > kMaxSignatureBytes)
        return kNoSignature;
    try {
        signature.resize(static_cast<size_t>(stat.cbSize.QuadPart));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    ULONG read = 0;
    result = stream.get()->Read(signature.data(), static_cast<ULONG>(signature.size()), &read);
    if (FAILED(result) || read != signature.size()) {
        signature.clear();
        return FAILED(result) ? result : STG_E_READFAULT;
    }
    return 0;
}

} // namespace nvupdater
