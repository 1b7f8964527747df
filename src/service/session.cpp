#include "service/session.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagepipeline.h"
#include "inspection/servicefolders.h"
#include "protocol/clientmessages.h"
#include "protocol/protocol.h"
#include "tiny/comapartment.h"
#include "service/updatercomm.h"
#include "service/updaterlog.h"
#include "service/widetext.h"

#include <vector>

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

// The examination's steps as the session's log tells them, and the session's part in them: after
// the stop no further step and no line of a check; no advertisement after the stop; a refusal sent
// while the package is still locked.
class Logged : public ExaminationObserver {
public:
    Logged(UpdaterComm &comm, UpdaterLog &log) : comm_(comm), log_(log) {}

    bool Stopped() override { return comm_.Stopping(); }
    void PackageHeld(DWORD result) override
    {
        if (result == ERROR_SUCCESS)
            return;
        Write(FormatText(kLockResult, static_cast<int>(result)), LogDebug);
        Write(kCannotHold, LogError);
    }
    void PackageLocked(DWORD result) override { Write(FormatText(kLockResult, static_cast<int>(result)), LogDebug); }
    void PropertyRead(const std::wstring &value) override { Write(value, LogDebug); }
    void SignatureChecked(const SignatureChecks &signature) override
    {
        if (signature.accepted()) {
            Write(kSignAccepted, LogDebug);
            return;
        }
        Write(FormatText(kSignRejected, static_cast<int>(signature.trust), static_cast<int>(signature.norvo),
                         static_cast<int>(signature.varda)),
              LogDebug);
    }
    void TransformsChecked(const std::vector<TransformCheck> &checks) override
    {
        if (!checks.empty() && !checks.back().accepted())
            Write(FormatText(kTransformRefused, checks.back().item.text.c_str()), LogError);
    }
    void EligibilityChecked(const EligibilityChecks &eligibility) override
    {
        if (eligibility.decision == ResultUpgradeNotNeeded)
            Write(kUpgradeNotNeeded, LogDebug);
        else if (eligibility.decision == ResultNoUpgradableProduct)
            Write(kNoUpgradableProduct, LogError);
        else
            Write(kUpgradableFound, LogDebug);
    }
    // After the stop no advertisement is made: the session could not be sure to take it away.
    bool MayAdvertise() override { return comm_.BeginAdvertisement(); }
    // Logged even after the stop: an advertisement begun before it is on record, as its removal is.
    void Advertised(UINT result) override
    {
        if (result == 0) {
            log_.Write(kAdvertised, LogDebug);
            return;
        }
        comm_.EndAdvertisement();
        log_.Write(FormatText(kAdvertisingFailed, static_cast<int>(result)), LogError);
    }
    void Decided(int decision) override
    {
        if (decision != ResultGoAhead && comm_.Send(FormatText(protocol::kResultFormat, decision)) != 0 &&
            !comm_.Stopping())
            log_.Write(kSendingResultFails, LogComm);
    }
    void PackageUnlocked(DWORD result) override
    {
        Write(FormatText(kUnlockResult, static_cast<int>(result)), LogDebug);
    }

private:
    // A check's line; none once the stop has come, since the session then ends without a word.
    void Write(const std::wstring &line, int level)
    {
        if (!comm_.Stopping())
            log_.Write(line, level);
    }

    UpdaterComm &comm_;
    UpdaterLog &log_;
};

class Session {
public:
    Session(UpdaterComm &comm, UpdaterLog &log) : comm_(comm), log_(log) {}

    // Steps from the connected client to the end of the conversation; the caller closes. What the
    // session holds (the package, its transforms) is let go when the session object ends.
    void Converse()
    {
        const LONG stale = CleanupStaleScripts(ServiceScriptsFolder(), [this] { return comm_.Stopping(); });
        if (comm_.Stopping())
            return;
        if (stale != 0)
            log_.Write(FormatText(kCleanupError, static_cast<int>(stale)), LogError);

        if (!Greet())
            return;
        protocol::PackageCommand package;
        if (!ReceivePackage(package) || comm_.Stopping())
            return;

        ExaminationOptions options;
        options.hold = [this](const std::wstring &path, FileHold &hold) { return HoldAsClient(path, hold); };
        options.lockAndAdvertise = true;
        options.scripts = &ServiceScriptsFolder();
        options.observer = &logged_;
        ExaminePackage(package.packagePath, package.transforms, options, examination_);
        if (examination_.decision != ResultGoAhead)
            return;
        Install();
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
        protocol::Greeting greeting;
        if (!protocol::ParseGreeting(reply, greeting)) {
            log_.Write(FormatText(kInvalidCommand, reply.c_str()), LogError);
            return false;
        }
        if (greeting.identity != protocol::kClientIdentity) {
            log_.Write(FormatText(kInvalidSender, greeting.identity.c_str()), LogError);
            return false;
        }
        log_.Write(FormatText(kConnectedToWrapper, greeting.version), LogComm);
        return true;
    }

    bool ReceivePackage(protocol::PackageCommand &package)
    {
        std::wstring command;
        if (comm_.Receive(command, comm_.limits().messageMs) != 0) {
            Failed(kRecievingPackageFails, LogComm);
            return false;
        }
        if (!protocol::ParsePackageCommand(command, package)) {
            log_.Write(FormatText(kInvalidCommand, command.c_str()), LogError);
            return false;
        }
        if (!package.transforms.empty())
            log_.Write(FormatText(kRecievedWithTransforms, package.packagePath.c_str(), package.transforms.c_str()),
                       LogComm);
        else
            log_.Write(FormatText(kRecieved, package.packagePath.c_str()), LogComm);
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

    // The go-ahead, the client's installation, and the advertisement's removal unless the product
    // is now installed at the package's version. Whichever way the installation step ends (the
    // result, a failed send or receive, a time-out, a malformed result, the stop), the advertisement
    // goes first, while the package and its transforms are still held; only then are they let go.
    // Otherwise the client could swap the package and install its own file on the advertisement.
    void Install()
    {
        const bool reported = AwaitInstallation();
        const bool removed = TakeAdvertisementAway();
        comm_.EndAdvertisement();
        examination_ = Examination();
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
        if (!protocol::ParseInstallationResult(message, installResult)) {
            log_.Write(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return false;
        }
        log_.Write(FormatText(kInstallationResult, installResult), LogError);
        return true;
    }

    // False when the advertisement could not be taken away; its script then stays for the next
    // clean-up.
    bool TakeAdvertisementAway()
    {
        const AdvertisementRemoval removal = RemoveAdvertisement(examination_);
        if (removal.installed)
            return true;
        if (removal.unadvertised != 0) {
            log_.Write(FormatText(kUnadvertisingFailed, static_cast<int>(removal.unadvertised)), LogError);
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
    Logged logged_{comm_, log_};
    // Holds the package and its transforms until the session ends or the advertisement is gone.
    Examination examination_;
};

// Everything a claimed session does.
void Serve(UpdaterComm &comm, UpdaterLog &log)
{
    // The installer's calls on this thread need COM; they must never show a user interface. The
    // apartment is left once the session has closed everything it opened.
    const norvo::tiny::ComApartment apartment;
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
    comm->ReleaseSession();
}

} // namespace nvupdater
