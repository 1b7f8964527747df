#include "inspection/embeddedsignature.h"

#include "tiny/unique.h"

#include <objbase.h>
#include <wincrypt.h>

namespace nvupdater {

namespace {

// Where an installer storage file keeps its Authenticode signature.
const wchar_t kSignatureStream[] = L"\x05" L"DigitalSignature";
// A signature with its certificates is a few kilobytes; anything far beyond that is no signature.
const ULONGLONG kMaxSignatureBytes = 1024 * 1024;
const LONG kNoSignature = static_cast<LONG>(0x80092009u);   // CRYPT_E_NO_MATCH

// The storage's bytes, read from the held handle at the offsets it asks for; nothing is written.
// A COM interface: released through Release, never deleted through the base, so its missing
// virtual destructor is no fault here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
class HeldFileBytes : public ILockBytes {
public:
    explicit HeldFileBytes(HANDLE file) : file_(file) {}
    HeldFileBytes(const HeldFileBytes &) = delete;
    HeldFileBytes &operator=(const HeldFileBytes &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (!IsEqualIID(id, IID_IUnknown) && !IsEqualIID(id, IID_ILockBytes)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<ILockBytes *>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the reader's stack, past every reference the storage takes.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&references_)); }

    HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER offset, void *buffer, ULONG size, ULONG *read) override
    {
        OVERLAPPED at = {};
        at.Offset = offset.LowPart;
        at.OffsetHigh = offset.HighPart;
        DWORD got = 0;
        if (!ReadFile(file_, buffer, size, &got, &at) && GetLastError() != ERROR_HANDLE_EOF)
            return STG_E_READFAULT;
        if (read)
            *read = got;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER, const void *, ULONG, ULONG *) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG *stat, DWORD) override
    {
        LARGE_INTEGER size = {};
        if (!stat || !GetFileSizeEx(file_, &size))
            return STG_E_INVALIDHANDLE;
        *stat = STATSTG();
        stat->type = STGTY_LOCKBYTES;
        stat->cbSize.QuadPart = static_cast<ULONGLONG>(size.QuadPart);
        stat->grfMode = STGM_READ;
        return S_OK;
    }

private:
    HANDLE file_;
    volatile LONG references_ = 1;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

} // namespace

LONG ReadEmbeddedSignature(HANDLE file, std::vector<BYTE> &signature)
{
    signature.clear();
    HeldFileBytes bytes(file);
    norvo::tiny::UniqueCom<IStorage> storage;
    if (FAILED(StgOpenStorageOnILockBytes(&bytes, nullptr, STGM_DIRECT | STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                          storage.put())))
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
