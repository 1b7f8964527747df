#include "inspection/transformconditions.h"

#include "inspection/heldfilebytes.h"
#include "tiny/unique.h"

namespace nvupdater {

namespace {

using norvo::tiny::UniqueCom;

const PROPID kCharacterCount = 14;   // PID_CHARCOUNT
// The conditions the installer knows (adding an existing row or table, deleting a missing one,
// updating a missing row, a changed code page); nothing else of the word is passed on.
const int kKnownConditions = 0x3F;

const DWORD kOpenInner = STGM_READ | STGM_SHARE_EXCLUSIVE;

int conditionsOf(IStorage *transform)
{
    UniqueCom<IPropertySetStorage> sets;
    if (FAILED(transform->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void **>(sets.put()))))
        return 0;
    UniqueCom<IPropertyStorage> summary;
    if (FAILED(sets.get()->Open(FMTID_SummaryInformation, kOpenInner, summary.put())))
        return 0;
    PROPSPEC which = {};
    which.ulKind = PRSPEC_PROPID;
    which.propid = kCharacterCount;
    PROPVARIANT value;
    PropVariantInit(&value);
    int conditions = 0;
    if (summary.get()->ReadMultiple(1, &which, &value) == S_OK && value.vt == VT_I4)
        conditions = static_cast<int>(static_cast<unsigned long>(value.lVal) & 0xFFFFu) & kKnownConditions;
    (void)PropVariantClear(&value);   // an integer owns nothing
    return conditions;
}

} // namespace

int TransformFileConditions(HANDLE transform)
{
    HeldFileBytes bytes(transform);
    UniqueCom<IStorage> storage;
    if (FAILED(OpenHeldStorage(bytes, storage.put())))
        return 0;
    return conditionsOf(storage.get());
}

int EmbeddedTransformConditions(HANDLE package, const std::wstring &name)
{
    HeldFileBytes bytes(package);
    UniqueCom<IStorage> storage;
    if (FAILED(OpenHeldStorage(bytes, storage.put())))
        return 0;
    UniqueCom<IStorage> transform;
    if (FAILED(storage.get()->OpenStorage(name.c_str(), nullptr, kOpenInner, nullptr, 0, transform.put())))
        return 0;
    return conditionsOf(transform.get());
}

} // namespace nvupdater
