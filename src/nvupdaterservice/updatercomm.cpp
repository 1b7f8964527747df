#include "updatercomm.h"

#include "widetext.h"

namespace nvupdater {

UpdaterComm *g_updaterComm = nullptr;

namespace {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\NVUpdatePipe";
const DWORD kBufferBytes = 2048;
const DWORD kDefaultTimeoutMs = 1000;
const DWORD kTerminationWaitMs = 5000;

const wchar_t kAlreadyInitialized[] = L"Communication module is already initialized.";
const wchar_t kInitializing[] = L"Initializing communication module.";
const wchar_t kPipeAlreadyOpened[] = L"Pipe is already opened.";
const wchar_t kCreatingPipeFails[] = L"Creating pipe fails with error: %d";
const wchar_t kPipeCreated[] = L"Pipe created.";
const wchar_t kSendingFails[] = L"Sending fails with error: %d";
const wchar_t kRecievingFails[] = L"Recieving fails with error: %d";

} // namespace

class UpdaterComm::PipeCall {
public:
    explicit PipeCall(UpdaterComm &comm) : comm_(comm), holder_(comm.gateHolder_ == GetCurrentThreadId())
    {
        if (!holder_)
            return;
        comm_.holderInPipeCall_ = 1;
        comm_.sessionGate_.unlock();
    }
    ~PipeCall()
    {
        if (!holder_)
            return;
        DWORD error = GetLastError();   // the pipe call's error outlives the gate
        comm_.sessionGate_.lock();
        comm_.holderInPipeCall_ = 0;
        SetLastError(error);
    }
    PipeCall(const PipeCall &) = delete;
    PipeCall &operator=(const PipeCall &) = delete;

private:
    UpdaterComm &comm_;
    const bool holder_;
};

UpdaterComm::UpdaterComm(UpdaterLog *log) : log_(log) {}

UpdaterComm::~UpdaterComm()
{
    if (pipe_)
        DisconnectNamedPipe(pipe_.get());
    pipe_.reset();
    pipeOpen = 0;
    sessionActive = 0;
}

int UpdaterComm::Initialize()
{
    if (initialized_) {
        log_->Write(kAlreadyInitialized, LogError);
        return -1;
    }
    pipe_.reset();
    initialized_ = 1;
    log_->Write(kInitializing, LogDebug);
    return 0;
}

int UpdaterComm::CreatePipe()
{
    {
        norvo::tiny::NMutexLock claim(lock);
        if (pipeOpen) {
            log_->Write(kPipeAlreadyOpened, LogError);
            return 0;
        }
        pipeOpen = 1;
    }

    // A present, null access list: the unprivileged Setup Wrapper of any account may open the pipe.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};

    // Local clients only; and the first instance of its name, so that no other process can have
    // put up a pipe of that name to catch the Setup Wrapper's requests.
    pipe_.reset(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 1, kBufferBytes, kBufferBytes, kDefaultTimeoutMs, &attributes));
    if (!pipe_) {
        log_->Write(FormatText(kCreatingPipeFails, static_cast<int>(GetLastError())), LogError);
        pipeOpen = 0;
        return -1;
    }
    log_->Write(kPipeCreated, LogComm);
    sessionActive = 0;
    return 0;
}

int UpdaterComm::Send(std::wstring message)
{
    // Up to the first zero unit, as the text would be read by the client.
    size_t units = wcslen(message.c_str());
    DWORD written = 0;
    BOOL ok;
    {
        PipeCall call(*this);
        ok = WriteFile(pipe_.get(), message.c_str(), static_cast<DWORD>(units * sizeof(wchar_t)), &written, nullptr);
    }
    if (ok && written > 0)
        return 0;
    log_->Write(FormatText(kSendingFails, static_cast<int>(GetLastError())), LogError);
    return -1;
}

int UpdaterComm::Receive(std::wstring &message)
{
    message.assign(kMaxMessageBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = 0;
    BOOL ok;
    {
        PipeCall call(*this);
        ok = ReadFile(pipe_.get(), &message[0], kMaxMessageBytes, &got, nullptr);
    }
    if (ok && got > 0) {
        // An odd last byte is no whole unit and is dropped.
        message.resize(got / sizeof(wchar_t));
        return 0;
    }
    // A message longer than the buffer fails with the more-data error; its rest stays in the pipe
    // until the session disconnects the client.
    log_->Write(FormatText(kRecievingFails, static_cast<int>(GetLastError())), LogError);
    message.clear();
    return -1;
}

DWORD UpdaterComm::WaitForClient()
{
    for (;;) {
        BOOL connected;
        {
            PipeCall call(*this);
            connected = ConnectNamedPipe(pipe_.get(), nullptr);
        }
        if (connected)
            return 0;
        DWORD error = GetLastError();
        // The client opened the pipe before this wait began: it is connected and is served.
        if (error == ERROR_PIPE_CONNECTED)
            return 0;
        // The client came and went before this wait began: clear its traces and wait again.
        if (error == ERROR_NO_DATA) {
            DisconnectNamedPipe(pipe_.get());
            continue;
        }
        // Anything else: leave the instance disconnected, so the next wait starts afresh.
        DisconnectNamedPipe(pipe_.get());
        SetLastError(error);
        return error;
    }
}

void UpdaterComm::DisconnectClient()
{
    // Disconnecting throws away what the client has not read yet, such as a refusal sent just
    // before: wait until it has been read (or the client has gone) first.
    {
        PipeCall call(*this);
        FlushFileBuffers(pipe_.get());
    }
    DisconnectNamedPipe(pipe_.get());
}

void UpdaterComm::EnterSessionGate()
{
    sessionGate_.lock();
    gateHolder_ = GetCurrentThreadId();
}

void UpdaterComm::LeaveSessionGate()
{
    gateHolder_ = 0;
    sessionGate_.unlock();
}

void UpdaterComm::EndSessionByForce()
{
    sessionGate_.lock();
    if (holderInPipeCall_ && gateHolder_) {
        // By the holder's id, not by a handle kept elsewhere: only this thread holds the session.
        norvo::tiny::UniqueHandle holder(OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, gateHolder_));
        if (holder && TerminateThread(holder.get(), 0))
            WaitForSingleObject(holder.get(), kTerminationWaitMs);   // termination completes asynchronously
        gateHolder_ = 0;
        holderInPipeCall_ = 0;
    }
    sessionGate_.unlock();
}

} // namespace nvupdater
