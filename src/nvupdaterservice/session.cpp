#include "session.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagedecision.h"
#include "inspection/packagelock.h"
#include "inspection/productinventory.h"
#include "protocol.h"
#include "updatercomm.h"
#include "updaterlog.h"
#include "widetext.h"

#include <objbase.h>
#include <vector>
#include <wchar.h>

namespace nvupdater {

namespace {

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
const wchar_t kCannotHold[] = L"Package refused: the file can't be held unchanged.";
const wchar_t kTransformRefused[] = L"Transform refused: %ls";

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

    // Steps from the connected client to the end of the conversation; the caller closes. What the
    // session holds (the package, its transforms) is let go when the session object ends.
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
    // A step's own failure line. After the service's stop the session ends without a word: the
    // pipe calls were cut short by the stop, not failed by the client.
    void Failed(const std::wstring &line, int level)
    {
        if (!comm_.Stopping())
            log_.Write(line, level);
    }

    bool Greet()
    {
        if (comm_.Send(FormatText(protocol::kGreetingFormat, protocol::kServiceIdentity, protocol::kProtocolVersion)) !=
            0) {
            Failed(kSendingInitFails, LogComm);
            return false;
        }
        std::wstring reply;
        if (comm_.Receive(reply, comm_.limits().messageMs) != 0) {
            Failed(kRecievingInitFails, LogComm);
            return false;
        }
        wchar_t identity[protocol::kMaxIdentityUnits + 1] = {};
        int version = 0;
        if (swscanf(reply.c_str(), protocol::kGreetingParse, identity, &version) < 2) {
            log_.Write(FormatText(kInvalidCommand, reply.c_str()), LogError);
            return false;
        }
        if (wcscmp(identity, protocol::kClientIdentity) != 0) {
            log_.Write(FormatText(kInvalidSender, identity), LogError);
            return false;
        }
        log_.Write(FormatText(kConnectedToWrapper, version), LogComm);
        return true;
    }

    bool ReceivePackage(std::wstring &packagePath, std::wstring &transforms)
    {
        std::wstring command;
        if (comm_.Receive(command, comm_.limits().messageMs) != 0) {
            Failed(kRecievingPackageFails, LogComm);
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

    // Opens a file the client named, as the client: the service reads nothing the client could not
    // read itself, and keeps what it opened until the session ends.
    DWORD HoldAsClient(const std::wstring &path, FileHold &hold)
    {
        UpdaterComm::ClientIdentity client(comm_);
        if (client.error() != ERROR_SUCCESS)
            return client.error();
        return HoldFile(path, hold);
    }

    // Holds and locks the file, checks and advertises the package, unlocks. A refusal is sent from
    // here.
    Inspection Inspect(const std::wstring &packagePath, const std::wstring &transforms)
    {
        Inspection inspection;
        SavedFileSecurity saved;
        const DWORD held = HoldAsClient(packagePath, package_);
        if (held != ERROR_SUCCESS) {
            // Nothing that could change under the checks is checked at all.
            log_.Write(FormatText(kLockResult, static_cast<int>(held)), LogDebug);
            log_.Write(kCannotHold, LogError);
            inspection.decision = ResultSignRejected;
        } else {
            log_.Write(FormatText(kLockResult, static_cast<int>(LockPackageFile(package_, saved))), LogDebug);
            inspection.productCode = ReadPackageProperty(packagePath, L"ProductCode");
            log_.Write(inspection.productCode, LogDebug);
            inspection.productVersion = ReadPackageProperty(packagePath, L"ProductVersion");
            log_.Write(inspection.productVersion, LogDebug);
            inspection.decision = Decide(packagePath, transforms, inspection.scriptPath);
        }

        if (inspection.decision != ResultGoAhead) {
            if (comm_.Send(FormatText(protocol::kResultFormat, inspection.decision)) != 0)
                Failed(kSendingResultFails, LogComm);
        }
        // Always: the unlock itself knows when the lock saved nothing to give back.
        log_.Write(FormatText(kUnlockResult, static_cast<int>(UnlockPackageFile(package_, saved))), LogDebug);
        return inspection;
    }

    // Every transform file must be held and signed like the package, since a transform can change
    // what the signed package installs. Transforms inside the package are covered by its signature.
    bool TransformsAccepted(const std::wstring &transforms)
    {
        const std::vector<TransformCheck> checks = CheckTransforms(transforms, [this](const std::wstring &file, HANDLE &held) {
            FileHold hold;
            const DWORD result = HoldAsClient(file, hold);
            if (result == ERROR_SUCCESS) {
                held = hold.file.get();
                transforms_.push_back(std::move(hold));
            }
            return result;
        });
        if (checks.empty() || checks.back().accepted())
            return true;
        log_.Write(FormatText(kTransformRefused, checks.back().item.text.c_str()), LogError);
        return false;
    }

    int Decide(const std::wstring &packagePath, const std::wstring &transforms, std::wstring &scriptPath)
    {
        const SignatureChecks signature = CheckPackageSignature(package_.file.get(), packagePath);
        if (!signature.accepted()) {
            log_.Write(FormatText(kSignRejected, static_cast<int>(signature.trust), static_cast<int>(signature.norvo),
                                  static_cast<int>(signature.varda)),
                       LogDebug);
            return ResultSignRejected;
        }
        log_.Write(kSignAccepted, LogDebug);
        if (!TransformsAccepted(transforms))
            return ResultSignRejected;

        const EligibilityChecks eligibility = CheckEligibility(packagePath);
        if (eligibility.decision == ResultUpgradeNotNeeded) {
            log_.Write(kUpgradeNotNeeded, LogDebug);
            return ResultUpgradeNotNeeded;
        }
        if (eligibility.decision == ResultNoUpgradableProduct) {
            log_.Write(kNoUpgradableProduct, LogError);
            return ResultNoUpgradableProduct;
        }
        log_.Write(kUpgradableFound, LogDebug);

        // After the stop no advertisement is made: the session could not be sure to take it away.
        if (!comm_.BeginAdvertisement())
            return ResultAdvertiseFailed;
        UINT advertised = AdvertisePackage(packagePath, transforms, scriptPath);
        if (advertised != 0) {
            comm_.EndAdvertisement();
            log_.Write(FormatText(kAdvertisingFailed, static_cast<int>(advertised)), LogError);
            return ResultAdvertiseFailed;
        }
        log_.Write(kAdvertised, LogDebug);
        return ResultGoAhead;
    }

    // The go-ahead, the client's installation, and the advertisement's removal unless the product
    // is now installed at the package's version. Whichever way the installation step ends (the
    // result, a failed send or receive, a time-out, a malformed result, the stop), the advertisement
    // goes first, while the package and its transforms are still held; only then are they let go.
    // Otherwise the client could swap the package and install its own file on the advertisement.
    void Install(const Inspection &inspection)
    {
        const bool reported = AwaitInstallation();
        const bool removed = RemoveAdvertisement(inspection);
        comm_.EndAdvertisement();
        package_ = FileHold();
        transforms_.clear();
        if (reported && removed)
            ReceiveGoodbye();
    }

    // True when the client reported its installation's result.
    bool AwaitInstallation()
    {
        if (comm_.Send(FormatText(protocol::kResultFormat, static_cast<int>(ResultGoAhead))) != 0) {
            Failed(kSendingResultFails, LogComm);
            return false;
        }
        std::wstring message;
        if (comm_.Receive(message, comm_.limits().installationMs) != 0) {
            Failed(kRecievingResultFails, LogComm);
            return false;
        }
        int installResult = 0;
        if (swscanf(message.c_str(), protocol::kResultParse, &installResult) < 1) {
            log_.Write(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return false;
        }
        log_.Write(FormatText(kInstallationResult, installResult), LogError);
        return true;
    }

    // False when the advertisement could not be taken away; its script then stays for the next
    // clean-up.
    bool RemoveAdvertisement(const Inspection &inspection)
    {
        // The installed version decides, not the number the client reported.
        if (CheckInstalledVersion(inspection.productCode, inspection.productVersion) == 0) {
            DeleteFileW(inspection.scriptPath.c_str());
            return true;
        }
        const UINT removed = UnadvertiseScript(inspection.scriptPath);
        if (removed != 0) {
            log_.Write(FormatText(kUnadvertisingFailed, static_cast<int>(removed)), LogError);
            return false;
        }
        log_.Write(kUnadvertised, LogDebug);
        return true;
    }

    void ReceiveGoodbye()
    {
        std::wstring message;
        if (comm_.Receive(message, comm_.limits().messageMs) != 0) {
            Failed(kRecievingEndFails, LogComm);
            return;
        }
        if (message != protocol::kBye) {
            log_.Write(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return;
        }
        log_.Write(kFinished, LogComm);
    }

    UpdaterComm &comm_;
    UpdaterLog &log_;
    FileHold package_;
    std::vector<FileHold> transforms_;
};

// Everything a claimed session does.
void Serve(UpdaterComm &comm, UpdaterLog &log)
{
    // The installer's calls on this thread need COM; they must never show a user interface.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetInstallerUiLevelNone();

    DWORD waited = comm.WaitForClient();
    if (waited != 0) {
        if (!comm.Stopping())
            log.Write(FormatText(kConnectingFails, static_cast<int>(waited)), LogError);
        return;
    }
    log.Write(kPipeConnected, LogComm);

    Session(comm, log).Converse();

    comm.DisconnectClient();
    if (!comm.Stopping())
        log.Write(kPipeClosed, LogComm);
}

} // namespace

void CommunicationThread(void *channel)
{
    UpdaterComm *comm = static_cast<UpdaterComm *>(channel);
    if (!comm || !comm->ClaimSession())
        return;
    Serve(*comm, comm->log());
    comm->SetSessionActive(0);
}

} // namespace nvupdater
