#include "assist/reportarguments.h"

#include "assist/assistpaths.h"

namespace norvo {
namespace assist {

namespace {

const char kBlanks[] = " \t\n\r";

void addText(std::vector<std::string> &list, const char *option, const char *value)
{
    if (!value)
        return;
    list.push_back(option);
    list.push_back(quotedValue(value));
}

void addNumber(std::vector<std::string> &list, const char *option, int32_t value)
{
    if (value < 0)
        return;
    list.push_back(option);
    list.push_back(std::to_string(value));
}

void addJoined(std::vector<std::string> &list, const char *option, const std::vector<std::string> *items)
{
    if (!items || items->empty())
        return;
    std::string joined;
    for (const std::string &item : *items) {
        if (!joined.empty())
            joined += ';';
        joined += item;
    }
    list.push_back(option);
    list.push_back(quotedValue(joined));
}

} // namespace

std::string quotedValue(const std::string &text)
{
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return "\"\"";
    size_t last = text.find_last_not_of(kBlanks);
    return quotedArgument(text.substr(first, last - first + 1));
}

// The platform's parsing reads backslashes literally except before a quote, where each pair gives
// one backslash and an odd one makes the quote a literal. So the backslashes before an embedded
// quote and before the closing quote are doubled, and an embedded quote gets one more.
std::string quotedArgument(const std::string &text)
{
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

ReportArguments buildReportArguments(const AssistConfig &config, std::string &dumpDirectory)
{
    std::vector<std::string> common;
    if (config.flagQ)
        common.push_back("-q");
    addText(common, "-U", config.uploadUrl);
    addText(common, "-u", config.uploadUser);
    addText(common, "-p", config.uploadPassword);
    addNumber(common, "-D", config.numberD);
    addNumber(common, "-R", config.numberR);
    addText(common, "-P", config.productCode);
    addText(common, "-V", config.version);
    if (!config.deleteAfterUpload)
        common.push_back("--nodelete");
    addText(common, "-e", config.textE);
    addText(common, "-n", config.textN);
    addText(common, "-r", config.textR);
    if (config.flagS)
        common.push_back("-s");
    addJoined(common, "-g", config.listG);
    if (dumpDirectory.empty())
        dumpDirectory = programDirectory();
    addText(common, "-m", dumpDirectory.c_str());
    addText(common, "-N", config.dumpName);
    addText(common, "-S", config.processName);

    std::vector<std::string> attachments;
    addJoined(attachments, "-f", config.attachFiles);

    ReportArguments lists;
    lists.crash.push_back("-c");
    lists.crash.insert(lists.crash.end(), common.begin(), common.end());
    lists.crash.insert(lists.crash.end(), attachments.begin(), attachments.end());
    lists.kernel.push_back("-k");
    lists.kernel.insert(lists.kernel.end(), common.begin(), common.end());
    lists.kernel.insert(lists.kernel.end(), attachments.begin(), attachments.end());
    return lists;
}

} // namespace assist
} // namespace norvo
