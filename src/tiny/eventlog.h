// Messages to the Windows event log: a source registered under the log's registry key, opened once
// and given each message as its single insertion string.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

namespace norvo {
namespace tiny {

class WindowsEventLogWorker {
public:
    virtual ~WindowsEventLogWorker() = default;
    virtual bool open(const char *sourceName) = 0;
    virtual bool close() = 0;
    virtual bool registerSource(const char *logName, const char *sourceName, const char *messageFile) = 0;
};

class WindowsEventLogWriter : private WindowsEventLogWorker {
public:
    // Registers the source (its result disregarded) and opens it. `logName` and `sourceName` are
    // required; a null `messageFile` means the program's own executable.
    WindowsEventLogWriter(const char *logName, const char *sourceName, const char *messageFile);
    // Closes a source the owner left open, so that no event source handle outlives its writer.
    ~WindowsEventLogWriter() override;
    WindowsEventLogWriter(const WindowsEventLogWriter &) = delete;
    WindowsEventLogWriter &operator=(const WindowsEventLogWriter &) = delete;

    bool open(const char *sourceName) override;
    // True when no source is open or it was closed; a failed close keeps the handle.
    bool close() override;
    // Writes "TypesSupported" (7) and "EventMessageFile" under
    // HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>.
    bool registerSource(const char *logName, const char *sourceName, const char *messageFile) override;

    // One event with `text` as its insertion string; false when no source is open.
    bool report(WORD eventType, DWORD eventId, const char *text, const void *rawData, DWORD rawDataSize);

private:
    UniqueEventSource source_;
    const char *serverName_ = nullptr; // the local computer
};

} // namespace tiny
} // namespace norvo
