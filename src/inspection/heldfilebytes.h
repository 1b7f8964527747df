// An installer storage file (a package or a transform) as structured storage reads it, from a
// handle the caller holds: the bytes read are those of the held file, whatever its name leads to
// meanwhile. Nothing is written.
#pragma once

#include <objbase.h>

namespace nvupdater {

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
    HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER, const void *, ULONG, ULONG *) override
    {
        return STG_E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
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

// The structured storage over `bytes`, for reading only; `bytes` outlives it.
inline HRESULT OpenHeldStorage(HeldFileBytes &bytes, IStorage **storage)
{
    return StgOpenStorageOnILockBytes(&bytes, nullptr, STGM_DIRECT | STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                      storage);
}

} // namespace nvupdater
