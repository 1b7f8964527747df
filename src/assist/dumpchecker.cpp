#include "assist/dumpchecker.h"

#include "assist/assistlog.h"
#include "assist/dumpanalyzer.h"

namespace norvo {
namespace assist {

const char *const kWatchedKernelModules[4] = {"norvonet", "norvoflt", "norvoqos", "norvotap"};

namespace {

const char kFoundAndAnalyzed[] = " DumpChecker: kernel memory dump %s found and analyzed.\n";
const char kAnalyzing[] = "DumpChecker: analyzing kernel memory dump %s.\n";
const char kCannotInit[] = "DumpChecker: could not init dump analyzer.\n";
const char kCannotAnalyze[] = "DumpChecker: could not analyze file %s.\n";

} // namespace

DumpChecker::DumpChecker(const ProcessKey &key) : finder_(key, false, false) {}

bool DumpChecker::check(std::string &dumpPath)
{
    std::string found;
    if (!findKernelDump(finder_, found) || !analyzeKernelDump(found))
        return false;
    assistLog(kFoundAndAnalyzed, found.c_str());
    dumpPath = found;
    return true;
}

bool analyzeKernelDump(const std::string &dumpPath)
{
    assistLog(kAnalyzing, dumpPath.c_str());
    DumpAnalyzer analyzer("");
    if (!analyzer.init(kWatchedKernelModules, 4, kWatchedStackWords)) {
        assistLog(kCannotInit);
        return false;
    }
    bool positive = false;
    if (!analyzer.analyzeFile(dumpPath, positive)) {
        assistLog(kCannotAnalyze, dumpPath.c_str());
        return false;
    }
    return positive;
}

} // namespace assist
} // namespace norvo
