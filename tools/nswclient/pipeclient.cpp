#include "pipeclient.h"

#include "tiny/textconversion.h"

#include <vector>

namespace nswclient {

namespace {
const DWORD kRetryStepMs = 50;
const DWORD kChunkBytes = 4096;

DWORD remainingUntil(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}
} // namespace

bool PipeClient::serverProcessId(DWORD &processId)
{
    processId = 0;
    if (GetNamedPipeServerProcessId(pipe_.get(), reinterpret_cast<PULONG>(&processId)))
        return true;
    error_ = GetLastError();
    return false;
}

bool PipeClient::connect(const std::wstring &name, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        pipe_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe_.valid())
            break;
        error_ = GetLastError();
        const DWORD left = remainingUntil(deadline);
        if (left == 0)
            return false;
        if (error_ == ERROR_PIPE_BUSY) {
            // Another client holds the only instance: wait until it is free (bounded), then retry.
            WaitNamedPipeW(name.c_str(), left);
            if (remainingUntil(deadline) == 0) {
                error_ = ERROR_PIPE_BUSY;
                return false;
            }
        } else if (error_ == ERROR_FILE_NOT_FOUND) {
            // No instance yet (the service may be starting or between clients).
            Sleep(left < kRetryStepMs ? left : kRetryStepMs);
        } else {
            return false;
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
        error_ = GetLastError();
        pipe_.reset();
        return false;
    }
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_.valid()) {
        error_ = GetLastError();
        pipe_.reset();
        return false;
    }
    error_ = 0;
    return true;
}

PipeStatus PipeClient::classify(DWORD error)
{
    error_ = error;
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_INVALID_HANDLE:
        return PipeStatus::Closed;
    default:
        return PipeStatus::Failed;
    }
}

PipeStatus PipeClient::finish(BOOL started, OVERLAPPED &overlapped, DWORD timeoutMs, DWORD &done)
{
    done = 0;
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return classify(error);
        if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(pipe_.get());
            GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
            error_ = WAIT_TIMEOUT;
            return PipeStatus::TimedOut;
        }
    }
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA) {
            error_ = error;
            return PipeStatus::Ok;  // the caller sees error() == ERROR_MORE_DATA and reads on
        }
        return classify(error);
    }
    error_ = 0;
    return PipeStatus::Ok;
}

PipeStatus PipeClient::send(const std::wstring &message, DWORD timeoutMs)
{
    if (!pipe_.valid())
        return PipeStatus::Closed;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    const DWORD bytes = static_cast<DWORD>(message.size() * sizeof(wchar_t));
    DWORD done = 0;
    const BOOL started = WriteFile(pipe_.get(), message.data(), bytes, nullptr, &overlapped);
    PipeStatus status = finish(started, overlapped, timeoutMs, done);
    if (status == PipeStatus::Ok && done != bytes)
        status = classify(ERROR_WRITE_FAULT);
    return status;
}

PipeStatus PipeClient::receive(std::wstring &message, DWORD timeoutMs)
{
    message.clear();
    if (!pipe_.valid())
        return PipeStatus::Closed;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<char> bytes;
    for (;;) {
        char chunk[kChunkBytes];
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event_.get();
        ResetEvent(event_.get());
        DWORD done = 0;
        const BOOL started = ReadFile(pipe_.get(), chunk, sizeof chunk, nullptr, &overlapped);
        const PipeStatus status = finish(started, overlapped, remainingUntil(deadline), done);
        if (status != PipeStatus::Ok)
            return status;
        bytes.insert(bytes.end(), chunk, chunk + done);
        if (error_ != ERROR_MORE_DATA)
            break;
    }
    // An odd trailing byte cannot be a UTF-16 unit: it is dropped.
    message.assign(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
    return PipeStatus::Ok;
}

std::string utf8(const std::wstring &text) { return norvo::tiny::toUtf8(text); }

} // namespace nswclient
