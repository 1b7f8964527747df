// The package and transform holds of sessions whose advertisement could not be taken away. The
// advertisement stays applied machine-wide until a later clean-up removes it; until then nobody may
// change, replace, rename or delete the files it names, so the service keeps them held. They end
// with the process at the latest; the script then stays for the clean-up at the next start.
#pragma once

#include "inspection/packagepipeline.h"
#include "tiny/nmutex.h"

#include <string>
#include <vector>

namespace nvupdater {

class KeptHolds {
public:
    KeptHolds() = default;
    KeptHolds(const KeptHolds &) = delete;
    KeptHolds &operator=(const KeptHolds &) = delete;

    // Takes over the package's and the transforms' holds of `examination`, for its product.
    void Keep(Examination &examination);
    // Lets go of everything kept for `productCode` (letter case aside): its advertisement is gone.
    void Release(const std::wstring &productCode);

private:
    struct Kept {
        std::wstring productCode;
        FileHold package;
        std::vector<FileHold> transforms;
    };

    norvo::tiny::NMutex lock_;
    std::vector<Kept> kept_;
};

} // namespace nvupdater
