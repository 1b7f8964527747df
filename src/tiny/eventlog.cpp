#include "tiny/eventlog.h"

#include "tiny/registry.h"

#include <string.h>

#include <string>

namespace norvo {
namespace tiny {

namespace {

const char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
const char kTypesSupported[] = "TypesSupported";
const char kEventMessageFile[] = "EventMessageFile";
const DWORD kErrorWarningInformation = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
const size_t kMaxPath = 2048;

} // namespace

WindowsEventLogWriter::WindowsEventLogWriter(const char *logName, const char *sourceName, const char *messageFile)
{
    registerSource(logName, sourceName, messageFile);
    if (sourceName)
        source_.reset(RegisterEventSourceA(serverName_, sourceName));
}

WindowsEventLogWriter::~WindowsEventLogWriter() { close(); }

bool WindowsEventLogWriter::open(const char *sourceName)
{
    if (!sourceName)
        return false;
    // Opening again replaces the old source rather than leaking it.
    if (source_ && !close())
        return false;
    source_.reset(RegisterEventSourceA(serverName_, sourceName));
    return source_.valid();
}

bool WindowsEventLogWriter::close()
{
    if (!source_)
        return true;
    if (!DeregisterEventSource(source_.get()))
        return false;
    source_.release();   // deregistered: nothing left to free
    return true;
}

bool WindowsEventLogWriter::registerSource(const char *logName, const char *sourceName, const char *messageFile)
{
    if (!logName || !sourceName)
        return false;
    const std::string key = std::string(kEventLogKey) + logName + "\\" + sourceName;
    if (!writeRegistryDword(HKEY_LOCAL_MACHINE, key.c_str(), kTypesSupported, kErrorWarningInformation))
        return false;

    std::string path;
    if (messageFile) {
        path.assign(messageFile, strnlen(messageFile, kMaxPath - 1));
    } else {
        char own[kMaxPath] = {};
        DWORD length = GetModuleFileNameA(nullptr, own, sizeof(own));
        if (length == 0 || length >= sizeof(own))
            return false;
        path.assign(own, length);
    }
    return writeRegistryString(HKEY_LOCAL_MACHINE, key.c_str(), kEventMessageFile, path.c_str());
}

bool WindowsEventLogWriter::report(WORD eventType, DWORD eventId, const char *text, const void *rawData, DWORD rawDataSize)
{
    if (!source_)
        return false;
    const char *strings[1] = {text ? text : ""};
    return ReportEventA(source_.get(), eventType, 0, eventId, nullptr, 1, rawDataSize, strings,
                        const_cast<void *>(rawData)) != FALSE;
}

} // namespace tiny
} // namespace norvo
