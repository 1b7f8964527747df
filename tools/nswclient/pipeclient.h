// The client end of the updater's pipe: connect with a time limit, and exchange whole UTF-16
// messages, each send and receive bounded by a time limit.
#pragma once

#include "protocol/protocol.h"
#include "tiny/unique.h"

#include <windows.h>

#include <string>

namespace nswclient {

using nvupdater::protocol::kPipeName;

enum class PipeStatus {
    Ok,
    Closed,    // the other end went away (broken pipe, no data, not connected)
    TimedOut,  // nothing within the time limit
    Failed,    // any other error (see error())
};

class PipeClient {
public:
    // Opens the pipe, retrying while it is busy or not yet there, for at most `timeoutMs`, then
    // switches it to message read mode. false with error() set when that did not work.
    bool connect(const std::wstring &name, DWORD timeoutMs);

    PipeStatus send(const std::wstring &message, DWORD timeoutMs);
    // One whole message, however long.
    PipeStatus receive(std::wstring &message, DWORD timeoutMs);

    // The process that owns the other end of the pipe: true with its id, false with error() set.
    bool serverProcessId(DWORD &processId);

    DWORD error() const { return error_; }
    void close() { pipe_.reset(); }
    bool connected() const { return pipe_.valid(); }

private:
    // Runs one overlapped read or write to its end within `timeoutMs`; `done` gets the byte count.
    PipeStatus finish(BOOL started, OVERLAPPED &overlapped, DWORD timeoutMs, DWORD &done);
    PipeStatus classify(DWORD error);

    norvo::tiny::UniqueFile pipe_;
    norvo::tiny::UniqueHandle event_;
    DWORD error_ = 0;
};

// UTF-16 -> UTF-8, for printing.
std::string utf8(const std::wstring &text);

} // namespace nswclient
