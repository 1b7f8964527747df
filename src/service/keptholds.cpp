#include "service/keptholds.h"

#include <algorithm>
#include <iterator>

namespace nvupdater {

void KeptHolds::Keep(Examination &examination)
{
    Kept kept;
    kept.productCode = examination.productCode;
    kept.package = std::move(examination.package);
    kept.transforms = std::move(examination.transformFiles);
    examination.transformFiles.clear();
    norvo::tiny::NMutexLock guard(lock_);
    kept_.push_back(std::move(kept));
}

void KeptHolds::Release(const std::wstring &productCode)
{
    std::vector<Kept> released;
    {
        norvo::tiny::NMutexLock guard(lock_);
        const auto gone = std::stable_partition(kept_.begin(), kept_.end(), [&productCode](const Kept &kept) {
            return CompareStringOrdinal(kept.productCode.c_str(), -1, productCode.c_str(), -1, TRUE) != CSTR_EQUAL;
        });
        std::move(gone, kept_.end(), std::back_inserter(released));
        kept_.erase(gone, kept_.end());
    }
    // The files are let go here, outside the lock.
}

} // namespace nvupdater
