#include "floor.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagedecision.h"
#include "inspection/packagelock.h"
#include "inspection/productinventory.h"
#include "servicefolders.h"

#include <objbase.h>

namespace nvbench {

using namespace nvupdater;

void PrepareFloor()
{
    // Kept for the life of the process: one apartment for every pass, like the check tool.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetInstallerUiLevelNone();
    CreateServiceFolders();
}

FloorPass RunFloorPass(const std::wstring &packagePath, double (*nowMs)())
{
    FloorPass pass;
    const double start = nowMs();
    std::wstring productCode, productVersion, scriptPath;
    FileHold hold;
    SavedFileSecurity saved;
    const DWORD held = HoldFile(packagePath, hold);
    if (held == ERROR_SUCCESS) {
        (void)LockPackageFile(hold, saved);   // timed only: the session logs the result, the floor does not
        productCode = ReadPackageProperty(packagePath, L"ProductCode");
        productVersion = ReadPackageProperty(packagePath, L"ProductVersion");
    }
    // The session's checks, with their own decision rules; the benchmark names no transforms.
    pass.decision = CheckPackage(packagePath, hold.file.get(), held, std::wstring(), [](const std::wstring &, HANDLE &) {
                        return static_cast<DWORD>(ERROR_SUCCESS);
                    }).decision;
    if (pass.decision == protocol::ResultGoAhead && AdvertisePackage(packagePath, L"", scriptPath) != 0)
        pass.decision = protocol::ResultAdvertiseFailed;
    // A refusal is sent before the unlock, the go-ahead after it.
    if (pass.decision != protocol::ResultGoAhead)
        pass.toDecisionMs = nowMs() - start;
    (void)UnlockPackageFile(hold, saved);   // as the lock: timed, not judged
    if (pass.decision != protocol::ResultGoAhead)
        return pass;
    pass.toDecisionMs = nowMs() - start;
    // The session takes the advertisement away while it still holds the package, and lets go after.
    const double resulted = nowMs();
    if (CheckInstalledVersion(productCode, productVersion) == 0)
        DeleteFileW(scriptPath.c_str());
    else
        (void)UnadvertiseScript(scriptPath);   // as the lock: timed, not judged
    pass.afterResultMs = nowMs() - resulted;
    return pass;
}

} // namespace nvbench
