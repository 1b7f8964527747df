#include "inspection/packagepipeline.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagelock.h"
#include "inspection/productinventory.h"

namespace nvupdater {

namespace {

// Every step of one examination reaches its caller through here.
class Steps {
public:
    Steps(const std::wstring &packagePath, const std::wstring &transforms, const ExaminationOptions &options,
          Examination &examination)
        : options_(options), observer_(options.observer ? *options.observer : silent_), examination_(examination)
    {
        examination_.packagePath = packagePath;
        examination_.transforms = transforms;
    }

    void Run()
    {
        PackageChecks &checks = examination_.checks;
        checks.hold = Hold(examination_.packagePath, examination_.package);
        observer_.PackageHeld(checks.hold);
        SavedFileSecurity saved;
        if (checks.hold == ERROR_SUCCESS) {
            if (options_.lockAndAdvertise)
                observer_.PackageLocked(LockPackageFile(examination_.package, saved));
            // Opened from the path the hold has just proved to name the held file, which nobody can
            // rename, replace or change while it is held; a failure leaves every read empty.
            if (!options_.reader)
                (void)examination_.database.Open(examination_.packagePath);
            examination_.productCode = ReadProperty(L"ProductCode");
            examination_.productVersion = ReadProperty(L"ProductVersion");
            checks.decision = Check();
        } else {
            // Nothing that could change under the checks is checked at all.
            checks.decision = protocol::ResultSignRejected;
        }
        examination_.decision = checks.decision;
        if (examination_.decision == protocol::ResultGoAhead && options_.lockAndAdvertise)
            examination_.decision = Advertise();
        observer_.Decided(examination_.decision);
        // Always: the unlock itself knows when the lock saved nothing to give back.
        if (options_.lockAndAdvertise)
            observer_.PackageUnlocked(UnlockPackageFile(examination_.package, saved));
    }

private:
    PackageReader &Reader() { return options_.reader ? *options_.reader : examination_.database; }

    DWORD Hold(const std::wstring &path, FileHold &hold) const
    {
        return options_.hold ? options_.hold(path, hold) : HoldFile(path, hold);
    }

    std::wstring ReadProperty(const wchar_t *name)
    {
        std::wstring value = Reader().Property(name);
        observer_.PropertyRead(value);
        return value;
    }

    // The signature, the transforms, the eligibility: ResultGoAhead when the package may be advertised.
    int Check()
    {
        PackageChecks &checks = examination_.checks;
        if (observer_.Stopped())
            return protocol::ResultAdvertiseFailed;
        checks.signatureRun = true;
        checks.signature = CheckPackageSignature(examination_.package.file.get(), examination_.packagePath);
        observer_.SignatureChecked(checks.signature);
        if (!checks.signature.accepted())
            return protocol::ResultSignRejected;
        if (observer_.Stopped())
            return protocol::ResultAdvertiseFailed;

        // Each transform file is held, like the package, until the examination is let go.
        checks.transformsRun = true;
        checks.transforms = CheckTransforms(examination_.transforms, [this](const std::wstring &file, HANDLE &held) {
            FileHold hold;
            const DWORD result = Hold(file, hold);
            if (result == ERROR_SUCCESS) {
                held = hold.file.get();
                examination_.transformFiles.push_back(std::move(hold));
            }
            return result;
        });
        observer_.TransformsChecked(checks.transforms);
        if (!checks.transforms.empty() && !checks.transforms.back().accepted())
            return protocol::ResultSignRejected;
        if (observer_.Stopped())
            return protocol::ResultAdvertiseFailed;

        checks.eligibilityRun = true;
        checks.eligibility = CheckEligibility(Reader(), options_.eligibility);
        observer_.EligibilityChecked(checks.eligibility);
        return checks.eligibility.decision;
    }

    int Advertise()
    {
        if (observer_.Stopped() || !observer_.MayAdvertise())
            return protocol::ResultAdvertiseFailed;
        const HeldFolder none;   // no folder given: no script is written
        const HeldFolder &scripts = options_.scripts ? *options_.scripts : none;
        const UINT result = AdvertisePackage(Reader(), scripts, examination_.packagePath, examination_.transforms,
                                             examination_.scriptPath);
        examination_.advertised = result == 0;
        observer_.Advertised(result);
        return result == 0 ? protocol::ResultGoAhead : protocol::ResultAdvertiseFailed;
    }

    const ExaminationOptions &options_;
    ExaminationObserver silent_;
    ExaminationObserver &observer_;
    Examination &examination_;
};

} // namespace

void ExaminePackage(const std::wstring &packagePath, const std::wstring &transforms,
                    const ExaminationOptions &options, Examination &examination)
{
    Steps(packagePath, transforms, options, examination).Run();
}

AdvertisementRemoval RemoveAdvertisement(const Examination &examination)
{
    AdvertisementRemoval removal;
    if (CheckInstalledVersion(examination.productCode, examination.productVersion) == 0) {
        removal.installed = true;
        DeleteFileW(examination.scriptPath.c_str());
        return removal;
    }
    removal.unadvertised = UnadvertiseScript(examination.scriptPath);
    return removal;
}

} // namespace nvupdater
