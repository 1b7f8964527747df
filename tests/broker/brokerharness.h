// What the broker suites share: the service installed under the real service control manager from
// a copy inside the prefix, a Setup Wrapper client on the real pipe with every wait bounded, and
// the service log read line by line.
#pragma once

#include "testsupport.h"

#include "protocol/protocol.h"

#include <windows.h>

#include <string>
#include <vector>

namespace brokertest {

// ---- the service -------------------------------------------------------------------------------

// Where the suites install the service: its logs folder is then the suite prefix's own.
std::wstring serviceFolder();
std::wstring serviceExe();
std::wstring serviceLogPath();

// Copies the built executable into serviceFolder() and creates the service (demand start).
bool installService();
void deleteService();
// Asks the service control manager to start the service; does not wait.
bool requestStart();
// Starts the service and waits (bounded) until it reports running. False on failure or time-out.
bool startService();
// Sends the stop control without waiting.
bool requestStop();
// Sends the stop control; true once the service reports stopped within `timeoutMs`.
bool stopService(DWORD timeoutMs);
DWORD serviceState();
DWORD serviceProcessId();

// Registers a GoogleTest environment that installs and starts the service before a suite's first
// test and deletes it after the last. Returns true, so a test file can call it at namespace scope.
bool runServiceForWholeSuite();

// The longest a step that waits for one of the main loop's 250 ms polls may take. A loaded machine
// slows the poll's neighbours as much as the step, so the bound grows with `paceMs`: what a
// comparable step without a poll in it (a round trip through the same processes) took just now.
inline ULONGLONG onePollWithin(ULONGLONG paceMs) { return 250 + 100 + 3 * paceMs; }

// ---- the service log ---------------------------------------------------------------------------

// The log from a mark on, as "Level - message" lines (the time stamp is checked and cut off).
class LogWatch {
public:
    // The service's log, or another file written by an UpdaterLog.
    explicit LogWatch(const std::wstring &path = serviceLogPath()) : path_(path) { mark(); }
    void mark();
    void markStart() { offset_ = 0; }
    std::vector<std::string> lines() const;
    bool holds(const std::string &line) const;
    // Waits until a line equal to `line` appears after the mark.
    bool waitForLine(const std::string &line, DWORD timeoutMs) const;

private:
    std::wstring path_;
    size_t offset_ = 0;
};

using nvtest::compareLines;

// ---- the Setup Wrapper's end of the pipe -------------------------------------------------------

using nvupdater::protocol::kPipeName;

class PipeClient {
public:
    PipeClient() = default;
    ~PipeClient() { close(); }
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;

    // One attempt: 0 or the system's error (231 busy, 2 no pipe).
    DWORD open();
    // Retries while the pipe is busy or missing, for at most `timeoutMs`.
    DWORD openWithin(DWORD timeoutMs);
    void close();
    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    // Writes raw bytes as one message: 0 or the error.
    DWORD writeBytes(const std::string &bytes);
    DWORD write(const std::wstring &message);
    // Reads one message: 0, the error (109 and 233 when the service disconnected), or WAIT_TIMEOUT.
    DWORD read(std::wstring &message, DWORD timeoutMs = 5000);
    // True when the service ends the connection within `timeoutMs` without sending anything more.
    bool disconnectedWithin(DWORD timeoutMs);

private:
    DWORD complete(BOOL started, OVERLAPPED &overlapped, DWORD &bytes, DWORD timeoutMs);
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Bytes of a UTF-16 message as they travel in the pipe.
std::string bytesOf(const std::wstring &message);

} // namespace brokertest
