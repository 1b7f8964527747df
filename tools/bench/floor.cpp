#include "floor.h"

#include "inspection/eligibility.h"
#include "inspection/packagepipeline.h"
#include "inspection/servicefolders.h"

#include <objbase.h>

#include <string>

namespace nvbench {

using namespace nvupdater;

void PrepareFloor()
{
    // Kept for the life of the process: one apartment for every pass, like the check tool.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetInstallerUiLevelNone();
    CreateServiceFolders();
    (void)ServiceScriptsFolder();   // held from here on, as the service holds it from its start
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

// The service's first sequence of installer calls, kept here only as the yardstick of the floor: each
// property read is an installer session of its own on the package's path, each table query a
// database of its own on it, kept until the next query like the view it serves.
class ReopeningReader : public PackageReader {
public:
    explicit ReopeningReader(const std::wstring &packagePath) : packagePath_(packagePath) {}

    std::wstring Property(const wchar_t *name) override
    {
        msi::UniqueHandle session;
        wchar_t value[260] = {};
        DWORD capacity = 260;
        if (msi::OpenPackage(packagePath_, session) != ERROR_SUCCESS ||
            msi::GetProductProperty(session.get(), name, value, &capacity) != ERROR_SUCCESS)
            return std::wstring();
        return value;
    }
    UINT Query(const std::wstring &query, msi::UniqueHandle &view) override
    {
        database_ = PackageDatabase();
        const UINT opened = database_.Open(packagePath_);
        return opened != ERROR_SUCCESS ? opened : database_.Query(query, view);
    }

private:
    std::wstring packagePath_;
    PackageDatabase database_;
};

} // namespace

FloorPass RunFloorPass(const std::wstring &packagePath, FloorKind kind, double (*nowMs)())
{
    FloorPass pass;
    const double start = nowMs();
    RefusalClock clock(pass, nowMs, start);
    ReopeningReader reopening(packagePath);
    ExaminationOptions options;
    options.lockAndAdvertise = true;
    options.scripts = &ServiceScriptsFolder();
    options.observer = &clock;
    if (kind == FloorKind::PerStep)
        options.reader = &reopening;
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
