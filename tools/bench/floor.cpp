#include "floor.h"

#include "inspection/eligibility.h"
#include "inspection/packagepipeline.h"
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

namespace {

// A refusal is sent before the unlock, the go-ahead after it.
class RefusalClock : public ExaminationObserver {
public:
    RefusalClock(FloorPass &pass, double (*nowMs)(), double start) : pass_(pass), nowMs_(nowMs), start_(start) {}
    void Decided(int decision) override
    {
        if (decision != protocol::ResultGoAhead)
            pass_.toDecisionMs = nowMs_() - start_;
    }

private:
    FloorPass &pass_;
    double (*nowMs_)();
    double start_;
};

} // namespace

FloorPass RunFloorPass(const std::wstring &packagePath, double (*nowMs)())
{
    FloorPass pass;
    const double start = nowMs();
    RefusalClock clock(pass, nowMs, start);
    ExaminationOptions options;
    options.lockAndAdvertise = true;
    options.observer = &clock;
    // The session's examination, with its own decision rules; the benchmark names no transforms.
    Examination examination;
    ExaminePackage(packagePath, std::wstring(), options, examination);
    pass.decision = examination.decision;
    if (pass.decision != protocol::ResultGoAhead)
        return pass;
    pass.toDecisionMs = nowMs() - start;
    // The session takes the advertisement away while it still holds the package, and lets go after.
    const double resulted = nowMs();
    RemoveAdvertisement(examination);
    pass.afterResultMs = nowMs() - resulted;
    return pass;
}

} // namespace nvbench
