#include "assist/memdumphandler.h"

#include "assist/assistlog.h"
#include "tiny/process.h"

namespace norvo {
namespace assist {

namespace {
const char kExecuting[] = "%s: executing process %s with command line %s\n";
const char kCrashRoutine[] = "norvo::assist::DefaultMemDumpHandler::crashPostAction";
const char kKernelRoutine[] = "norvo::assist::DefaultMemDumpHandler::kernelPostAction";
} // namespace

void DefaultMemDumpHandler::crashPostAction()
{
    startReportTool(kCrashRoutine, crashArguments);
}

void DefaultMemDumpHandler::kernelPostAction()
{
    startReportTool(kKernelRoutine, kernelArguments);
}

void DefaultMemDumpHandler::startReportTool(const char *routine, const std::vector<std::string> &arguments)
{
    std::string line;
    for (const std::string &argument : arguments) {
        if (!line.empty())
            line += ' ';
        line += argument;
    }
    assistLog(kExecuting, routine, programPath.c_str(), line.c_str());
    // Neither the process id nor a failure changes what the caller does next.
    tiny::startProcess(programPath, line, &childProcess);
}

} // namespace assist
} // namespace norvo
