// The service's end of the named pipe "\\.\pipe\NVUpdatePipe": one instance, serving one client
// after another; whole UTF-16 messages in and out, every wait on the client bounded by a time limit
// and cut short by the service's stop.
#pragma once

#include "protocol/protocol.h"
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

class PipeChannel {
public:
    using Limits = SessionLimits;

    static const DWORD kMaxMessageBytes = protocol::kMaxMessageBytes;

    // `stop`, not owned, is the service's stop (set once): every wait of the channel ends at it.
    PipeChannel(UpdaterLog &log, HANDLE stop, const Limits &limits = Limits());
    ~PipeChannel();
    PipeChannel(const PipeChannel &) = delete;
    PipeChannel &operator=(const PipeChannel &) = delete;

    // 0, or -1 when already initialised.
    [[nodiscard]] int Initialize();
    // 0 when the pipe exists afterwards, -1 when it could not be created (retried by the caller).
    [[nodiscard]] int CreatePipe();
    // True once the pipe instance exists (or its creation is under way).
    bool IsOpen() const { return open_ != 0; }

    // One message each way, each bounded by a time limit. 0, or -1: logged with the system's error
    // number (1460 for a time-out), except when the service's stop cut the call short, which is
    // not logged (see Stopping()).
    [[nodiscard]] int Send(std::wstring message);
    [[nodiscard]] int Receive(std::wstring &message, DWORD timeoutMs);
    const Limits &limits() const { return limits_; }
    // True once the service's stop has come.
    bool Stopping() const;

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

private:
    // Runs one overlapped pipe operation that `started` began to its end, within `timeoutMs` and
    // until the stop. True on success with the byte count; false with the last error set.
    bool Complete(BOOL started, OVERLAPPED &overlapped, DWORD timeoutMs, DWORD &bytes);
    // Waits, within the send limit and until the stop, until the client has read what was sent.
    void AwaitClientRead();

    UpdaterLog &log_;
    const HANDLE stop_;
    const Limits limits_;
    norvo::tiny::UniqueFile pipe_;
    norvo::tiny::UniqueHandle ioDone_;    // the overlapped operations' event
    std::atomic<LONG> open_{0};           // claimed by CreatePipe, cleared when creation fails
    bool lastCallWasSend_ = false;
    int initialized_ = 0;
};

class PipeChannel::ClientIdentity {
public:
    explicit ClientIdentity(PipeChannel &channel);
    ~ClientIdentity();
    ClientIdentity(const ClientIdentity &) = delete;
    ClientIdentity &operator=(const ClientIdentity &) = delete;

    // 0 while the thread runs as the client, else the reason it does not.
    DWORD error() const { return error_; }

private:
    DWORD error_;
};

} // namespace nvupdater
