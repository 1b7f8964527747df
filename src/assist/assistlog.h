// The library's own diagnostic log, assist.err beside the program file, and the messages it hands
// to a host's log receiver.
#pragma once

#include "assist/assistconfig.h"
#include "tiny/format.h"

#include <string>

namespace norvo {
namespace assist {

// The error log's path: the program directory followed by "/assist.err".
std::string errorLogPath();
// One time-stamped line "MM/DD/YY HH:MM:SS (pid)<tab>message"; the message brings its line end.
// Lost silently when the log cannot be opened.
void assistLog(const char *format, ...) NORVO_PRINTF(1, 2);
// Empties the error log, leaving the one line "Error log has been truncated".
void truncateErrorLog();
// Keeps the error log as it is under the name "assist.err.1" (replacing an older one), so that a
// crash's lines outlive the truncation at the next start. False when there was none to keep.
bool keepPreviousErrorLog();

// The receiver of reportMessage texts; null drops them.
void setReportCallback(AssistLogCallback callback);
// Formats at most 1,023 characters and passes them to the receiver as ("%s", text).
void reportMessage(const char *format, ...) NORVO_PRINTF(1, 2);

} // namespace assist
} // namespace norvo
