#include "assist/assistlog.h"

#include "assist/assistpaths.h"
#include "tiny/unique.h"

#include <windows.h>

#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace norvo {
namespace assist {

namespace {

const char kTruncated[] = "Error log has been truncated\n";
const char kPreviousSuffix[] = ".1";
const size_t kMessageSize = 1024;

// Read by a crashing thread without a lock: a plain pointer-sized value.
AssistLogCallback volatile g_reportCallback = nullptr;

} // namespace

std::string errorLogPath()
{
    return programDirectory() + "/assist.err";
}

void assistLog(const char *format, ...)
{
    char message[kMessageSize];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof(message), format, arguments);
    va_end(arguments);
    message[sizeof(message) - 1] = '\0';
    if (IsDebuggerPresent())
        OutputDebugStringA(message);

    char date[9] = {};
    char clock[9] = {};
    _strdate(date);
    _strtime(clock);
    // The whole line in one write, so that threads crashing together never mix their lines.
    char line[kMessageSize + 64];
    int length = snprintf(line, sizeof(line), "%s %s (%lu)\t%s", date, clock,
                          static_cast<unsigned long>(GetCurrentProcessId()), message);
    if (length < 0)
        return;
    size_t size = static_cast<size_t>(length) < sizeof(line) ? static_cast<size_t>(length) : sizeof(line) - 1;

    norvo::tiny::UniqueStdFile log(_fsopen(errorLogPath().c_str(), "at", _SH_DENYNO));
    if (!log)
        return;
    fwrite(line, 1, size, log.get());
}

void truncateErrorLog()
{
    norvo::tiny::UniqueStdFile log(_fsopen(errorLogPath().c_str(), "wt", _SH_DENYNO));
    if (!log)
        return;
    fputs(kTruncated, log.get());
}

bool keepPreviousErrorLog()
{
    const std::string log = errorLogPath();
    return MoveFileExA(log.c_str(), (log + kPreviousSuffix).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void setReportCallback(AssistLogCallback callback)
{
    g_reportCallback = callback;
}

void reportMessage(const char *format, ...)
{
    AssistLogCallback callback = g_reportCallback;
    if (!callback)
        return;
    char text[kMessageSize];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    text[sizeof(text) - 1] = '\0';
    callback("%s", text);
}

} // namespace assist
} // namespace norvo
