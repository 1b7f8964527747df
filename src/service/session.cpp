#include "service/session.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/packagepipeline.h"
#include "inspection/servicefolders.h"
#include "protocol/clientmessages.h"
#include "protocol/protocol.h"
#include "tiny/comapartment.h"
#include "service/brokercontext.h"
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
const wchar_t kFilesOutside[] = L"Package refused: its files are not all inside the signed package.";

// The examination's steps as the session's log tells them; none once the stop has come, since
// the session then ends without a word but for its advertisement's removal.
class Logged : public ExaminationObserver {
public:
    Logged(const PipeChannel &channel, UpdaterLog &log) : channel_(channel), log_(log) {}

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
    void FilesChecked(const FilesCheck &files) override
    {
        if (!files.inside())
            Write(kFilesOutside, LogError);
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
    void Advertised(UINT result) override
    {
        if (result == 0)
            Write(kAdvertised, LogDebug);
        else
            Write(FormatText(kAdvertisingFailed, static_cast<int>(result)), LogError);
    }
    void PackageUnlocked(DWORD result) override
    {
        Write(FormatText(kUnlockResult, static_cast<int>(result)), LogDebug);
    }

private:
    void Write(const std::wstring &line, int level)
    {
        if (!channel_.Stopping())
            log_.Write(line, level);
    }

    const PipeChannel &channel_;
    UpdaterLog &log_;
};

// The session's own part in the examination, beside its log: after the stop no further step; no
// advertisement after the stop, and the bracket closed when none was made; a refusal sent while
// the package is still locked.
class Steered : public Logged {
public:
    Steered(SessionGate &gate, PipeChannel &channel, UpdaterLog &log)
        : Logged(channel, log), gate_(gate), channel_(channel), log_(log)
    {
    }

    bool Stopped() override { return gate_.Stopping(); }
    // After the stop no advertisement is made: the session could not be sure to take it away.
    bool MayAdvertise() override { return gate_.BeginAdvertisement(); }
    void Advertised(UINT result) override
    {
        if (result != 0)
            gate_.EndAdvertisement();
        Logged::Advertised(result);
    }
    void Decided(int decision) override
    {
        if (decision != ResultGoAhead && channel_.Send(FormatText(protocol::kResultFormat, decision)) != 0 &&
            !channel_.Stopping())
            log_.Write(kSendingResultFails, LogComm);
    }

private:
    SessionGate &gate_;
    PipeChannel &channel_;
    UpdaterLog &log_;
};

class Session {
public:
    explicit Session(BrokerContext &context)
        : gate_(context.gate()), channel_(context.channel()), kept_(context.kept()), log_(context.log())
    {
    }

    // Steps from the connected client to the end of the conversation; the caller closes. What the
    // session holds (the package, its transforms) is let go when the session object ends, or kept
    // by the service while its advertisement stays applied.
    void Converse()
    {
        // What earlier sessions kept held for an advertisement they could not remove goes with it.
        const LONG stale = CleanupStaleScripts(ServiceScriptsFolder(), [this] { return channel_.Stopping(); },
                                               [this](const std::wstring &product) { kept_.Release(product); });
        if (channel_.Stopping())
            return;
        if (stale != 0)
            log_.Write(FormatText(kCleanupError, static_cast<int>(stale)), LogError);

        if (!Greet())
            return;
        protocol::PackageCommand package;
        if (!ReceivePackage(package) || channel_.Stopping())
            return;

        ExaminationOptions options;
        options.hold = [this](const std::wstring &path, FileHold &hold) { return HoldAsClient(path, hold); };
        options.lockAndAdvertise = true;
        options.scripts = &ServiceScriptsFolder();
        options.observer = &steered_;
        ExaminePackage(package.packagePath, package.transforms, options, examination_);
        if (examination_.decision != ResultGoAhead)
            return;
        Install();
    }

private:
    // A step's line. After the service's stop the session ends without a word but for its
    // advertisement's removal: the pipe calls were cut short by the stop, not failed by the client.
    void Say(const std::wstring &line, int level)
    {
        if (!channel_.Stopping())
            log_.Write(line, level);
    }

    bool Greet()
    {
        const std::wstring hello =
            FormatText(protocol::kGreetingFormat, protocol::kServiceIdentity, protocol::kProtocolVersion);
        if (channel_.Send(hello) != 0) {
            Say(kSendingInitFails, LogComm);
            return false;
        }
        std::wstring reply;
        if (channel_.Receive(reply, channel_.limits().messageMs) != 0) {
            Say(kRecievingInitFails, LogComm);
            return false;
        }
        protocol::Greeting greeting;
        if (!protocol::ParseGreeting(reply, greeting)) {
            Say(FormatText(kInvalidCommand, reply.c_str()), LogError);
            return false;
        }
        if (greeting.identity != protocol::kClientIdentity) {
            Say(FormatText(kInvalidSender, greeting.identity.c_str()), LogError);
            return false;
        }
        Say(FormatText(kConnectedToWrapper, greeting.version), LogComm);
        return true;
    }

    bool ReceivePackage(protocol::PackageCommand &package)
    {
        std::wstring command;
        if (channel_.Receive(command, channel_.limits().messageMs) != 0) {
            Say(kRecievingPackageFails, LogComm);
            return false;
        }
        if (!protocol::ParsePackageCommand(command, package)) {
            Say(FormatText(kInvalidCommand, command.c_str()), LogError);
            return false;
        }
        if (!package.transforms.empty())
            Say(FormatText(kRecievedWithTransforms, package.packagePath.c_str(), package.transforms.c_str()),
                LogComm);
        else
            Say(FormatText(kRecieved, package.packagePath.c_str()), LogComm);
        return true;
    }

    // Opens a file the client named, as the client: the service reads nothing the client could not
    // read itself, and keeps what it opened until the session ends.
    DWORD HoldAsClient(const std::wstring &path, FileHold &hold)
    {
        PipeChannel::ClientIdentity client(channel_);
        if (client.error() != ERROR_SUCCESS)
            return client.error();
        return HoldFile(path, hold);
    }

    // The go-ahead, the client's installation, and the advertisement's removal unless the product
    // is now installed at the package's version. Whichever way the installation step ends (the
    // result, a failed send or receive, a time-out, a malformed result, the stop), the advertisement
    // goes first, while the package and its transforms are still held; only then are they let go.
    // Otherwise the client could swap the package and install its own file on the advertisement.
    // When it could not be taken away the service keeps them until a clean-up has removed it.
    void Install()
    {
        const bool reported = AwaitInstallation();
        const bool removed = TakeAdvertisementAway();
        gate_.EndAdvertisement();
        if (!removed)
            kept_.Keep(examination_);
        examination_ = Examination();
        if (reported && removed)
            ReceiveGoodbye();
    }

    // True when the client reported its installation's result.
    bool AwaitInstallation()
    {
        if (channel_.Send(FormatText(protocol::kResultFormat, static_cast<int>(ResultGoAhead))) != 0) {
            Say(kSendingResultFails, LogComm);
            return false;
        }
        std::wstring message;
        if (channel_.Receive(message, channel_.limits().installationMs) != 0) {
            Say(kRecievingResultFails, LogComm);
            return false;
        }
        int installResult = 0;
        if (!protocol::ParseInstallationResult(message, installResult)) {
            Say(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return false;
        }
        Say(FormatText(kInstallationResult, installResult), LogError);
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
        if (channel_.Receive(message, channel_.limits().messageMs) != 0) {
            Say(kRecievingEndFails, LogComm);
            return;
        }
        if (message != protocol::kBye) {
            Say(FormatText(kInvalidCommand, message.c_str()), LogComm);
            return;
        }
        Say(kFinished, LogComm);
    }

    SessionGate &gate_;
    PipeChannel &channel_;
    KeptHolds &kept_;
    UpdaterLog &log_;
    Steered steered_{gate_, channel_, log_};
    // Holds the package and its transforms until the session ends or the advertisement is gone.
    Examination examination_;
};

// Everything a claimed session does. True when a client was served.
bool Serve(BrokerContext &context)
{
    // The installer's calls on this thread need COM; they must never show a user interface. The
    // apartment is left once the session has closed everything it opened.
    const norvo::tiny::ComApartment apartment;
    SetInstallerUiLevelNone();

    PipeChannel &channel = context.channel();
    UpdaterLog &log = context.log();
    DWORD waited = channel.WaitForClient();
    if (waited != 0) {
        if (!channel.Stopping())
            log.Write(FormatText(kConnectingFails, static_cast<int>(waited)), LogError);
        return false;
    }
    if (!channel.Stopping())
        log.Write(kPipeConnected, LogComm);

    Session(context).Converse();

    channel.DisconnectClient();
    if (!channel.Stopping())
        log.Write(kPipeClosed, LogComm);
    return true;
}

} // namespace

void CommunicationThread(void *context)
{
    BrokerContext *broker = static_cast<BrokerContext *>(context);
    if (!broker || !broker->gate().ClaimSession())
        return;
    const bool served = Serve(*broker);
    broker->gate().ReleaseSession(served);
}

} // namespace nvupdater
