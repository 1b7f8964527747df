#include "session.h"

#include "inspection/inspection.h"
#include "updatercomm.h"
#include "updaterlog.h"
#include "widetext.h"

#include <objbase.h>
#include <wchar.h>

namespace nvupdater {

namespace {

// ---- protocol ----------------------------------------------------------------------------------
const wchar_t kServiceIdentity[] = L"NUS";
const wchar_t kClientIdentity[] = L"NSW";
const int kProtocolVersion = 1;
const wchar_t kGreetingFormat[] = L"200 %ls %d";
const wchar_t kResultFormat[] = L"220 RESULT %d";
const wchar_t kBye[] = L"230 BYE";
// The reply's identity token is read into at most this many units.
const size_t kMaxIdentityUnits = 259;

const wchar_t kNorvoPublisher[] = L"Norvo Technologies, Inc.";
const wchar_t kVardaPublisher[] = L"Varda Software Development Ltd.";

// ---- log texts ---------------------------------------------------------------------------------
const wchar_t kConnectingFails[] = L"Connecting to pipe fails with error: %d";
const wchar_t kPipeConnected[] = L"Pipe connected.";
const wchar_t kCleanupError[] = L"Checking old advertising script returns error: %d";
const wchar_t kSendingInitFails[] = L"Sending init command fails.";
const wchar_t kRecievingInitFails[] = L"Recieving init command fails.";
const wchar_t kInvalidCommand[] = L"Invalid command: %ls";
const wchar_t kInvalidSender[] = L"Invalid sender: %ls";
const wchar_t kConnectedToWrapper[] = L"Connected to Setup Wrapper with protocol version %d.";
const wchar_t kRecievingPackageFails[] = L"Recieving package fails.";
const wchar_t kRecievedWithTransforms[] = L"Recieved package '%ls' with transforms '%ls'.";
const wchar_t kRecieved[] = L"Recieved package '%ls'.";
const wchar_t kLockResult[] = L"Result of locking file: %d";
const wchar_t kUnlockResult[] = L"Result of unlocking file: %d";
const wchar_t kSignRejected[] = L"Sign check result: %d Publisher check result: Norvo: %d Tandem: %d";
const wchar_t kSignAccepted[] = L"The sign of package was accepted.";
const wchar_t kUpgradeNotNeeded[] = L"Upgrade of product isn't needed.";
const wchar_t kNoUpgradableProduct[] = L"Upgradable product wasn't found.";
const wchar_t kUpgradableFound[] = L"Upgradable product found.";
const wchar_t kAdvertisingFailed[] = L"Advertising failed with error: %d";
const wchar_t kAdvertised[] = L"Product was advertised.";
const wchar_t kSendingResultFails[] = L"Sending result fails.";
const wchar_t kRecievingResultFails[] = L"Recieving result fails.";
const wchar_t kInstallationResult[] = L"Result of installation %d.";
const wchar_t kUnadvertisingFailed[] = L"Unadvertising failed with error: %d";
const wchar_t kUnadvertised[] = L"Product was unadvertised.";
const wchar_t kRecievingEndFails[] = L"Recieving end command fails.";
const wchar_t kFinished[] = L"Communication with setup wrapper finished.";
const wchar_t kPipeClosed[] = L"Pipe closed.";

// What the checks of one package decided, and what the installation step needs from them.
struct Inspection {
    int decision = ResultGoAhead;
    std::wstring productCode;
    std::wstring productVersion;
    std::wstring scriptPath;
};

class Session {
public:
    Session(UpdaterComm &comm, UpdaterLog &log) : comm_(comm), log_(log) {}

    // Steps from the connected client to the end of the conversation; the caller closes.
    void Converse()
    {
        LONG stale = CleanupStaleScripts();
        if (stale != 0)
            log_.Write(FormatText(kCleanupError, static_cast<int>(stale)), LogError);

        if (!Greet())
            return;
        std::wstring packagePath, transforms;
        if (!ReceivePackage(packagePath, transforms))
            return;

        Inspection inspection = Inspect(packagePath, transforms);
        if (inspection.decision != ResultGoAhead)
            return;
        Install(inspection);
    }

private:
    bool Greet()
    {
        if (comm_.Send(FormatText(kGreetingFormat, kServiceIdentity, kProtocolVersion)) != 0) {
            log_.Write(kSendingInitFails, LogComm);
            return false;
        }
        std::wstring reply;
        if (comm_.Receive(reply) != 0) {
            log_.Write(kRecievingInitFails, LogComm);
            return false;
        }
        wchar_t identity[kMaxIdentityUnits + 1] = {};
        int version = 0;
        if (swscanf(reply.c_str(), L"200 %259ls %d", identity, &version) < 2) {
            log_.Write(FormatText(kInvalidCommand, reply.c_str()), LogError);
            return false;
        }
        if (wcscmp(identity, kClientIdentity) != 0) {
            log_.Write(FormatText(kInvalidSender, identity), LogError);
            return false;
        }
        log_.Write(FormatText(kConnectedToWrapper, version), LogComm);
        return true;
    }

    bool ReceivePackage(std::wstring &packagePath, std::wstring &transforms)
    {
        std::wstring command;
        if (comm_.Receive(command) != 0) {
            log_.Write(kRecievingPackageFails, LogComm);
            return false;
        }
        if (comm_.ParsePackageCommand(command, packagePath, transforms) != 0)
            return false;
        if (!transforms.empty())
            log_.Write(FormatText(kRecievedWithTransforms, packagePath.c_str(), transforms.c_str()), LogComm);
        else
            log_.Write(FormatText(kRecieved, packagePath.c_str()), LogComm);
        return true;
    }

    // Locks the file, checks and advertises the package, unlocks. A refusal is sent from here.
    Inspection Inspect(const std::wstring &packagePath, const std::wstring &transforms)
    {
        Inspection inspection;
        SavedFileSecurity saved;
        log_.Write(FormatText(kLockResult, static_cast<int>(LockPackageFile(packagePath, saved))), LogDebug);

        inspection.productCode = ReadPackageProperty(packagePath, L"ProductCode");
        log_.Write(inspection.productCode, LogDebug);
        inspection.productVersion = ReadPackageProperty(packagePath, L"ProductVersion");
        log_.Write(inspection.productVersion, LogDebug);

        inspection.decision = Decide(packagePath, transforms, inspection.scriptPath);

        if (inspection.decision != ResultGoAhead) {
            if (comm_.Send(FormatText(kResultFormat, inspection.decision)) != 0)
                log_.Write(kSendingResultFails, LogComm);
        }
        // Always: the unlock itself knows when the lock saved nothing to give back.
        log_.Write(FormatText(kUnlockResult, static_cast<int>(UnlockPackageFile(packagePath, saved))), LogDebug);
        return inspection;
    }

    int Decide(const std::wstring &packagePath, const std::wstring &transforms, std::wstring &scriptPath)
    {
        // All three are evaluated, in this order, whatever the first one says.
        LONG trust = VerifyPackageTrust(packagePath);
        LONG norvo = CheckPackagePublisher(packagePath, kNorvoPublisher);
        LONG varda = CheckPackagePublisher(packagePath, kVardaPublisher);
        if (trust != 0 || (norvo != 0 && varda != 0)) {
            log_.Write(FormatText(kSignRejected, static_cast<int>(trust), static_cast<int>(norvo), static_cast<int>(varda)),
                       LogDebug);
            return ResultSignRejected;
        }
        log_.Write(kSignAccepted, LogDebug);

        int upgradeNotNeeded = 0;
        if (FindUpgradableProduct(packagePath, upgradeNotNeeded) == 0) {
            if (upgradeNotNeeded) {
                log_.Write(kUpgradeNotNeeded, LogDebug);
                return ResultUpgradeNotNeeded;
            }
            log_.Write(kNoUpgradableProduct, LogError);
            return ResultNoUpgradableProduct;
        }
        log_.Write(kUpgradableFound, LogDebug);

        UINT advertised = AdvertisePackage(packagePath, transforms, scriptPath);
        if (advertised != 0) {
            log_.Write(FormatText(kAdvertisingFailed, static_cast<int>(advertised)), LogError);
            return ResultAdvertiseFailed;
        }
        log_.Write(kAdvertised, LogDebug);
        return ResultGoAhead;
    }

    // The go-ahead, the client's installation, and the advertisement's removal unless the
    // product is now installed at the package's version.
    void Install(const Inspection &inspection)
    {
        if (comm_.Send(FormatText(kResultFormat, static_cast<int>(ResultGoAhead))) != 0) {
            log_.Write(kSendingResultFails, LogComm);
            return;
        }
        std::wstring message;
        if (comm_.Receive(message) != 0) {
            log_.Write(kRecievingResultFails, LogComm);
            return;
        }
        int installResult = 0;
        if (swscanf(message.c_str(), L"220 RESULT %d", &installResult) < 1) {
            log_.Write(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return;
        }
        log_.Write(FormatText(kInstallationResult, installResult), LogError);

        // The installed version decides, not the number the client reported.
        if (CheckInstalledVersion(inspection.productCode, inspection.productVersion) == 0) {
            DeleteFileW(inspection.scriptPath.c_str());
        } else {
            UINT removed = UnadvertiseScript(inspection.scriptPath);
            if (removed != 0) {
                log_.Write(FormatText(kUnadvertisingFailed, static_cast<int>(removed)), LogError);
                return;
            }
            log_.Write(kUnadvertised, LogDebug);
        }

        if (comm_.Receive(message) != 0) {
            log_.Write(kRecievingEndFails, LogComm);
            return;
        }
        if (message != kBye) {
            log_.Write(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return;
        }
        log_.Write(kFinished, LogComm);
    }

    UpdaterComm &comm_;
    UpdaterLog &log_;
};

// The test-and-set of the session flag: false when another thread holds the session.
bool ClaimSession(UpdaterComm &comm)
{
    norvo::tiny::NMutexLock claim(comm.lock);
    if (comm.sessionActive)
        return false;
    comm.sessionActive = 1;
    return true;
}

// Everything a claimed session does, inside the session gate.
void Serve(UpdaterComm &comm, UpdaterLog &log)
{
    // The installer's calls on this thread need COM; they must never show a user interface.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetInstallerUiLevelNone();

    DWORD waited = comm.WaitForClient();
    if (waited != 0) {
        log.Write(FormatText(kConnectingFails, static_cast<int>(waited)), LogError);
        comm.SetSessionActive(0);
        return;
    }
    log.Write(kPipeConnected, LogComm);

    Session(comm, log).Converse();

    comm.DisconnectClient();
    log.Write(kPipeClosed, LogComm);
    comm.SetSessionActive(0);
}

} // namespace

void CommunicationThread(int)
{
    UpdaterComm *comm = g_updaterComm;
    if (!comm || !ClaimSession(*comm))
        return;

    comm->EnterSessionGate();
    Serve(*comm, Log());
    comm->LeaveSessionGate();
}

} // namespace nvupdater
