// The examination of one package, step by step, as the service runs it: hold, lock, the two
// properties, the signature, the transforms, the eligibility, the advertisement, the unlock; and
// after a go-ahead the advertisement's removal while the package is still held. The session, the
// check tool and the benchmark's floor all run it; they differ only in the options below.
#pragma once

#include "inspection/eligibilityobserver.h"
#include "inspection/packagedatabase.h"
#include "inspection/packagedecision.h"
#include "inspection/packagehold.h"
#include "inspection/protectedfolder.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace nvupdater {

// Holds a file the client named (HoldFile, or HoldFile as the client): its result, `hold` filled on 0.
using FileHolder = std::function<DWORD(const std::wstring &path, FileHold &hold)>;

// What a caller sees of the steps as they happen, in this order. Every step has its own call, so a
// log line or a report row can be written at the moment the service would write it.
class ExaminationObserver {
public:
    virtual ~ExaminationObserver() = default;
    // Asked before each check and before the advertisement: true ends the examination there, with
    // nothing advertised (the decision is then 28403); what was locked is still unlocked.
    virtual bool Stopped() { return false; }
    virtual void PackageHeld(DWORD /*result*/) {}
    virtual void PackageLocked(DWORD /*result*/) {}
    virtual void PropertyRead(const std::wstring & /*value*/) {}   // ProductCode, then ProductVersion
    virtual void SignatureChecked(const SignatureChecks & /*signature*/) {}
    virtual void TransformsChecked(const std::vector<TransformCheck> & /*transforms*/) {}
    virtual void EligibilityChecked(const EligibilityChecks & /*eligibility*/) {}
    // Asked just before the advertisement is made; false makes none (the decision is then 28403).
    virtual bool MayAdvertise() { return true; }
    virtual void Advertised(UINT /*result*/) {}
    // The decision, before the unlock: a refusal goes out while the file is still locked.
    virtual void Decided(int /*decision*/) {}
    virtual void PackageUnlocked(DWORD /*result*/) {}
};

// Where the callers differ.
struct ExaminationOptions {
    FileHolder hold;                 // empty: HoldFile with the calling thread's identity
    bool lockAndAdvertise = false;   // the service's lock and advertisement; the check tool does neither
    const HeldFolder *scripts = nullptr;   // where the advertise script goes; none: no advertisement
    ExaminationObserver *observer = nullptr;
    EligibilityObserver *eligibility = nullptr;
    // Where the properties and the NVUpdate table are read. Empty: the examination's own database,
    // opened once on the held file. The benchmark passes one that opens the package again for
    // each read, as the service used to, to measure the difference.
    PackageReader *reader = nullptr;
};

// One package's examination, and what it holds until it ends: the package file and every transform
// file stay held, so nothing the checks read can change before the examination is let go; the
// package's database, opened once the file is held (and locked), is closed before the holds go.
struct Examination {
    std::wstring packagePath;
    std::wstring transforms;
    FileHold package;
    std::vector<FileHold> transformFiles;
    PackageDatabase database;
    std::wstring productCode;      // read once the file is held
    std::wstring productVersion;
    PackageChecks checks;
    bool advertised = false;       // the advertise script was made and applied
    std::wstring scriptPath;
    // The service's answer: the checks' decision, or ResultAdvertiseFailed.
    int decision = protocol::ResultGoAhead;
};

// Runs the steps on `packagePath` with `transforms` (the package command's text). A file that cannot
// be held is refused unread; each step runs only when the steps before it passed.
void ExaminePackage(const std::wstring &packagePath, const std::wstring &transforms,
                    const ExaminationOptions &options, Examination &examination);

// After a go-ahead: the advertisement goes unless the product is now installed at the package's
// version (then only its script is deleted). The installed version decides, not what the client says.
struct AdvertisementRemoval {
    bool installed = false;   // the product is registered at the package's version
    UINT unadvertised = 0;    // UnadvertiseScript's result, when it ran
    bool removed() const { return installed || unadvertised == 0; }
};
AdvertisementRemoval RemoveAdvertisement(const Examination &examination);

} // namespace nvupdater
