// The report tool's command lines: one list for a crash dump, one for a kernel dump.
#pragma once

#include "assist/assistconfig.h"

#include <string>
#include <vector>

namespace norvo {
namespace assist {

struct ReportArguments {
    std::vector<std::string> crash;   // "-c", the common options, the attachments
    std::vector<std::string> kernel;  // "-k", the common options, the attachments
};

// One element per command-line word: an option letter bare, a text trimmed and in double quotes,
// a number in decimal. `dumpDirectory` is passed after -m; when empty it is first set to the
// program directory.
ReportArguments buildReportArguments(const AssistConfig &config, std::string &dumpDirectory);

// A text value as the report tool gets it: trimmed of blanks, tabs and line ends, in double quotes
// by the platform's command-line rules (quotedArgument).
std::string quotedValue(const std::string &text);
// `text` in double quotes so that the platform's command-line parsing gives it back as one word:
// C:\dumps\ becomes "C:\dumps\\" and a"b becomes "a\"b".
std::string quotedArgument(const std::string &text);

} // namespace assist
} // namespace norvo
