#include "service/pipechannel.h"

#include "service/widetext.h"

#include <sddl.h>

namespace nvupdater {

namespace {

const DWORD kBufferBytes = 2048;
const DWORD kDefaultTimeoutMs = 1000;

// SYSTEM and Administrators: full access. Everyone: read and write data, attributes and extended
// attributes (a client switches its end to message mode), read the access list, wait on the pipe;
// nothing else: no WRITE_DAC, no WRITE_OWNER, no new instance (FILE_CREATE_PIPE_INSTANCE). Any
// local caller may talk to the service; none may change who else may.
const DWORD kEveryoneOnPipe = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
const wchar_t kPipeSecurityFormat[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x%08lx;;;WD)";

const wchar_t kAlreadyInitialized[] = L"Communication module is already initialized.";
const wchar_t kInitializing[] = L"Initializing communication module.";
const wchar_t kPipeAlreadyOpened[] = L"Pipe is already opened.";
const wchar_t kCreatingPipeFails[] = L"Creating pipe fails with error: %d";
const wchar_t kPipeCreated[] = L"Pipe created.";
const wchar_t kSendingFails[] = L"Sending fails with error: %d";
const wchar_t kRecievingFails[] = L"Recieving fails with error: %d";

DWORD WINAPI flushPipe(void *pipe)
{
    FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
}

} // namespace

PipeChannel::PipeChannel(UpdaterLog &log, HANDLE stop, const Limits &limits)
    : log_(log), stop_(stop), limits_(limits), ioDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

PipeChannel::~PipeChannel()
{
    if (pipe_)
        DisconnectNamedPipe(pipe_.get());
}

int PipeChannel::Initialize()
{
    if (initialized_) {
        log_.Write(kAlreadyInitialized, LogError);
        return -1;
    }
    pipe_.reset();
    initialized_ = 1;
    log_.Write(kInitializing, LogDebug);
    return 0;
}

int PipeChannel::CreatePipe()
{
    if (open_.exchange(1) != 0) {
        log_.Write(kPipeAlreadyOpened, LogError);
        return 0;
    }

    norvo::tiny::UniqueLocal descriptor;
    const std::wstring security = FormatText(kPipeSecurityFormat, static_cast<unsigned long>(kEveryoneOnPipe));
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1,
                                                             reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()),
                                                             nullptr)) {
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
        // Local clients only; and the first instance of its name, so that no other process can have
        // put up a pipe of that name to catch the Setup Wrapper's requests.
        pipe_.reset(CreateNamedPipeW(protocol::kPipeName,
                                     PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     1, kBufferBytes, kBufferBytes, kDefaultTimeoutMs, &attributes));
    }
    if (!pipe_ || !ioDone_ || !stop_) {
        log_.Write(FormatText(kCreatingPipeFails, static_cast<int>(GetLastError())), LogError);
        pipe_.reset();
        open_ = 0;
        return -1;
    }
    log_.Write(kPipeCreated, LogComm);
    return 0;
}

bool PipeChannel::Complete(BOOL started, OVERLAPPED &overlapped, DWORD timeoutMs, DWORD &bytes)
{
    bytes = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    // The stop comes first: signalled together with the operation's end, it ends the session.
    const HANDLE waits[] = {stop_, overlapped.hEvent};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (waited != WAIT_OBJECT_0 + 1)
        CancelIoEx(pipe_.get(), &overlapped);
    // Given back either way. An operation that completed just as its time ran out did complete:
    // a cancel that came too late changes nothing, and its bytes are kept.
    const bool completed = GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE) != FALSE;
    const DWORD error = completed ? ERROR_SUCCESS : GetLastError();
    if (Stopping()) {
        bytes = 0;
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    if (completed)
        return true;
    SetLastError(waited == WAIT_TIMEOUT && error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : error);
    return false;
}

int PipeChannel::Send(std::wstring message)
{
    lastCallWasSend_ = false;
    if (Stopping())
        return -1;
    // Up to the first zero unit, as the text would be read by the client.
    const size_t units = wcslen(message.c_str());
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioDone_.get();
    ResetEvent(ioDone_.get());
    DWORD written = 0;
    const BOOL started =
        WriteFile(pipe_.get(), message.c_str(), static_cast<DWORD>(units * sizeof(wchar_t)), nullptr, &overlapped);
    if (Complete(started, overlapped, limits_.sendMs, written) && written > 0) {
        lastCallWasSend_ = true;
        return 0;
    }
    if (!Stopping())
        log_.Write(FormatText(kSendingFails, static_cast<int>(GetLastError())), LogError);
    return -1;
}

int PipeChannel::Receive(std::wstring &message, DWORD timeoutMs)
{
    lastCallWasSend_ = false;
    message.clear();
    if (Stopping())
        return -1;
    std::wstring buffer(kMaxMessageBytes / sizeof(wchar_t) + 1, L'\0');
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioDone_.get();
    ResetEvent(ioDone_.get());
    DWORD got = 0;
    const BOOL started = ReadFile(pipe_.get(), &buffer[0], kMaxMessageBytes, nullptr, &overlapped);
    if (Complete(started, overlapped, timeoutMs, got) && got > 0) {
        // An odd last byte is no whole unit and is dropped.
        buffer.resize(got / sizeof(wchar_t));
        message.swap(buffer);
        return 0;
    }
    // A message longer than the buffer fails with the more-data error; its rest stays in the pipe
    // until the session disconnects the client.
    if (!Stopping())
        log_.Write(FormatText(kRecievingFails, static_cast<int>(GetLastError())), LogError);
    return -1;
}

DWORD PipeChannel::WaitForClient()
{
    lastCallWasSend_ = false;
    for (;;) {
        if (Stopping())
            return ERROR_OPERATION_ABORTED;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = ioDone_.get();
        ResetEvent(ioDone_.get());
        DWORD error = ERROR_SUCCESS;
        if (!ConnectNamedPipe(pipe_.get(), &overlapped)) {
            error = GetLastError();
            DWORD unused = 0;
            if (error == ERROR_IO_PENDING)
                error = Complete(FALSE, overlapped, INFINITE, unused) ? ERROR_SUCCESS : GetLastError();
        }
        // The client opened the pipe before this wait began: it is connected and is served.
        if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED)
            return 0;
        // The client came and went before this wait began: clear its traces and wait again.
        // Anything else: leave the instance disconnected, so the next wait starts afresh.
        DisconnectNamedPipe(pipe_.get());
        if (error != ERROR_NO_DATA) {
            SetLastError(error);
            return error;
        }
    }
}

void PipeChannel::DisconnectClient()
{
    if (lastCallWasSend_ && !Stopping())
        AwaitClientRead();
    lastCallWasSend_ = false;
    DisconnectNamedPipe(pipe_.get());
}

void PipeChannel::AwaitClientRead()
{
    // Hanging up throws away what the client has not read yet, such as a refusal sent just before:
    // give it the time of one send to read it. The flush has no time limit of its own, so it runs
    // on a thread of its own.
    norvo::tiny::UniqueHandle flusher(CreateThread(nullptr, 0, flushPipe, pipe_.get(), 0, nullptr));
    if (!flusher)
        return;
    const HANDLE waits[] = {stop_, flusher.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, limits_.sendMs) == WAIT_OBJECT_0 + 1)
        return;
    // Unread at the limit, or the stop: the flush is taken back and the client hung up on, either
    // of which ends it (a flush not yet begun then fails at once). It is waited for to its end, so
    // that it never outlives the session and never meets the next client on this pipe.
    CancelSynchronousIo(flusher.get());
    DisconnectNamedPipe(pipe_.get());
    WaitForSingleObject(flusher.get(), INFINITE);
}

bool PipeChannel::Stopping() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }

PipeChannel::ClientIdentity::ClientIdentity(PipeChannel &channel)
    : error_(ImpersonateNamedPipeClient(channel.pipe_.get()) ? ERROR_SUCCESS : GetLastError())
{
}

PipeChannel::ClientIdentity::~ClientIdentity()
{
    // Whatever happened, the thread goes back to the service's own identity.
    RevertToSelf();
}

} // namespace nvupdater
