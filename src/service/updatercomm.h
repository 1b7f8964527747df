// The service's end of the named pipe "\\.\pipe\NVUpdatePipe": one instance, serving one client
// after another; whole UTF-16 messages in and out, every wait on the client bounded by a time limit
// and cut short by the service's stop; the claim by which the main loop and the communication
// threads agree on who owns the pipe.
#pragma once

#include "protocol/protocol.h"
#include "tiny/nmutex.h"
#include "tiny/unique.h"
#include "service/updaterlog.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace nvupdater {

// How long the session waits for the client: each message, the installation result, each send (and
// the flush before hanging up).
struct SessionLimits {
    DWORD messageMs = protocol::kMessageLimitMs;
    DWORD installationMs = protocol::kInstallationLimitMs;
    DWORD sendMs = protocol::kSendLimitMs;
};

class UpdaterComm {
public:
    using Limits = SessionLimits;

    static const DWORD kMaxMessageBytes = protocol::kMaxMessageBytes;

    explicit UpdaterComm(UpdaterLog *log, const Limits &limits = Limits());
    virtual ~UpdaterComm();
    UpdaterComm(const UpdaterComm &) = delete;
    UpdaterComm &operator=(const UpdaterComm &) = delete;

    // 0, or -1 when already initialised.
    [[nodiscard]] int Initialize();
    // 0 when the pipe exists afterwards, -1 when it could not be created (retried by the caller).
    [[nodiscard]] int CreatePipe();

    // One message each way, each bounded by a time limit. 0, or -1: logged with the system's error
    // number (1460 for a time-out), except when the service's stop cut the call short, which is
    // not logged (see Stopping()).
    [[nodiscard]] int Send(std::wstring message);
    [[nodiscard]] int Receive(std::wstring &message, DWORD timeoutMs);
    const Limits &limits() const { return limits_; }
    // Where the channel and its session write (the process-wide log in the service).
    UpdaterLog &log() const { return *log_; }

    // Waits, without a time limit, until a client is connected or the service stops. 0, or the
    // system's error number (ERROR_OPERATION_ABORTED after the stop).
    [[nodiscard]] DWORD WaitForClient();
    // Ends the current client's connection; the instance stays for the next client. When the last
    // pipe call was a send, waits (at most the send limit, and not past the stop) until the client has
    // read it, since hanging up throws away what it has not read yet.
    void DisconnectClient();

    // Runs the calling thread as the connected client until the returned guard ends. False (with
    // the system's error) when the client cannot be impersonated.
    class ClientIdentity;

    // The session claim: true for the one thread that may serve the next client; false for every
    // thread once the stop has come. The claim's end wakes AwaitSessionEnd.
    bool ClaimSession();
    void ReleaseSession();
    void SetSessionActive(int value);
    // True when a session let go of the pipe within `timeoutMs` (each end is told once).
    bool AwaitSessionEnd(DWORD timeoutMs);

    // The service's stop: every wait of the session ends at once, no new one begins, and every
    // other step of the session looks at the stop before it begins. Returns once no session holds
    // the pipe and `thread` (when given) has ended, or after `waitMs`; when the session has an
    // advertisement in place then, after at most `removalMs` more, the time it has to take it away.
    void StopSession(DWORD waitMs, DWORD removalMs = 0, HANDLE thread = nullptr);
    bool Stopping() const;

    // Brackets an advertisement, from before it is made until it is taken away. False, and nothing
    // to end, once the stop has come: no advertisement is made after it.
    bool BeginAdvertisement();
    void EndAdvertisement();

    // Guards the test-and-set of the two flags below.
    norvo::tiny::NMutex lock;
    // Written under the lock (or by their only owner), read by the main loop without it.
    std::atomic<LONG> pipeOpen{0};
    std::atomic<LONG> sessionActive{0};

private:
    // Runs one overlapped pipe operation that `started` began to its end, within `timeoutMs` and
    // until the stop. True on success with the byte count; false with the last error set.
    bool Complete(BOOL started, OVERLAPPED &overlapped, DWORD timeoutMs, DWORD &bytes);
    // Waits, within the send limit and until the stop, until the client has read what was sent.
    void AwaitClientRead();

    UpdaterLog *log_;
    const Limits limits_;
    norvo::tiny::UniqueFile pipe_;
    norvo::tiny::UniqueHandle ioDone_;    // the overlapped operations' event
    norvo::tiny::UniqueHandle stop_;      // set once, by the service's stop
    norvo::tiny::UniqueHandle idle_;      // set while no session holds the pipe
    norvo::tiny::UniqueHandle ended_;     // auto-reset: a session let go of the pipe
    bool lastCallWasSend_ = false;
    std::atomic<LONG> advertising_{0};    // between BeginAdvertisement and EndAdvertisement
    int initialized_ = 0;
};

class UpdaterComm::ClientIdentity {
public:
    explicit ClientIdentity(UpdaterComm &comm);
    ~ClientIdentity();
    ClientIdentity(const ClientIdentity &) = delete;
    ClientIdentity &operator=(const ClientIdentity &) = delete;

    // 0 while the thread runs as the client, else the reason it does not.
    DWORD error() const { return error_; }

private:
    DWORD error_;
};

} // namespace nvupdater
