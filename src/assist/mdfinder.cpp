#include "assist/mdfinder.h"

#include "assist/assistlog.h"
#include "assist/assistpaths.h"
#include "assist/norvoprocesses.h"
#include "assist/registrytext.h"
#include "tiny/directorywalker.h"
#include "tiny/fileitself.h"
#include "tiny/format.h"
#include "tiny/registry.h"
#include "tiny/unique.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <windows.h>

namespace norvo {
namespace assist {

namespace {

const char kCheckRoutine[] = "norvo::assist::MDFinder::checkDumpExistence";
const char kFindRoutine[] = "norvo::assist::MDFinder::findMemoryDump";
const char kKernelPathRoutine[] = "norvo::assist::MDFinder::getKernelCrashDumpPath";
const char kNewKernelRoutine[] = "norvo::assist::MDFinder::isItNewKrnDump";

const char kFoundDump[] = "%s: found dump: %s\n";
const char kCannotSetFilter[] = "%s(): Cannot set filter for dumps %s\n";
const char kDumpNotFound[] = "%s: dump %s not found in %s\n";
const char kOldDeleted[] = "Old core file %s has been deleted.";
const char kCannotDelete[] = "WRN: Cannot delete core file: %s.";
const char kNoDumpPath[] = "%s: getDumpPath() has failed!\n";
const char kDumpPath[] = "%s: dumpPath = %s\n";
const char kAlternativePath[] = "%s: alternative dumpPath = %s\n";
const char kKernelPath[] = "%s: kernel dump path is %s\n";
const char kKernelPathFallback[] = "%s: kernel dump path is %s.\n";
const char kNoWindowsFolder[] = "%s: windows directory could not be obtained, using %s.\n";
const char kNoKernelStatus[] = "%s: could not get status informations of kernel dump file %s.\n";
const char kOlderKernelDump[] = "%s: dump %s is older than last dump.\n";

const char kDumpExtension[] = "dmp";
const char kDefaultBaseName[] = "user";
const char kUnknownProcess[] = "unknown";

const char kCrashControlKey[] = "SYSTEM\\ControlSet001\\Control\\CrashControl";
const char kDumpFileValue[] = "DumpFile";
const char kKernelDumpName[] = "\\memory.dmp";
const char kKernelDumpLastResort[] = "c:\\windows\\memory.dmp";
const char kProductKeyRoot[] = "Software\\Norvo\\";
const char kLastKernelDumpValue[] = "LastKernelDumpTime";

bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Dump-name patterns; the buffer grows until the whole pattern fits.
const char kGenericPattern[] = ".*\\.?%s$";
const char kNamedPattern[] = "^%s$";
const char kProcessPattern[] = "%s.*\\.?%s$";
const char kDefaultPattern[] = "^%s\\.%s$";

} // namespace

std::string escapeDots(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '.')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

MDFinder::MDFinder(const ProcessKey &key, bool useProductLayout, bool deleteOldDumps)
    : key_(key), deleteOldDumps_(deleteOldDumps), useProductLayout_(useProductLayout)
{
}

bool MDFinder::checkDumpExistence(const std::string &pattern, const std::string &folder, std::string &dump) const
{
    if (!dump.empty() && exists(dump)) {
        assistLog(kFoundDump, kCheckRoutine, dump.c_str());
        return true;
    }

    int64_t best = 0;
    std::string bestPath;
    {
        tiny::DirectoryWalker walker;
        if (walker.addFilter(pattern, false) <= 0) {
            assistLog(kCannotSetFilter, kCheckRoutine, pattern.c_str());
            return false;
        }
        walker.open(true, false, folder);
        for (int seen = 0; !walker.atEnd() && seen < kMaxEntriesPerPass; ++seen, walker.advance()) {
            if (!walker.isRegularFile())
                continue;
            int64_t created = walker.creationTime();
            if (created > best) {
                best = created;
                bestPath = normalizePath(folder, true, true) + walker.currentName();
            }
        }
    }
    {
        tiny::DirectoryWalker walker;
        if (walker.addFilter(pattern, false) <= 0) {
            assistLog(kCannotSetFilter, kCheckRoutine, pattern.c_str());
            return false;
        }
        walker.open(true, false, folder);
        // Only files older than the newest one go: a dump written since the first pass stays.
        for (int seen = 0; deleteOldDumps_ && best > 0 && !walker.atEnd() && seen < kMaxEntriesPerPass;
             ++seen, walker.advance()) {
            if (!walker.isRegularFile() || walker.creationTime() >= best)
                continue;
            std::string path = walker.currentPath();
            // Through a handle on the file itself: a link among the dumps stays, and so does its target.
            if (tiny::deleteFileItself(path.c_str()) == ERROR_SUCCESS)
                reportMessage(kOldDeleted, path.c_str());
            else
                reportMessage(kCannotDelete, path.c_str());
        }
    }

    if (best > 0) {
        dump = bestPath;
        assistLog(kFoundDump, kCheckRoutine, dump.c_str());
        return true;
    }
    assistLog(kDumpNotFound, kCheckRoutine, pattern.c_str(), folder.c_str());
    return false;
}

int MDFinder::findMemoryDump(std::string &dump, const std::string &folder) const
{
    std::string dumpPath = folder.empty() ? programDirectory() : folder;
    if (dumpPath.empty()) {
        assistLog(kNoDumpPath, kFindRoutine);
        return kNotFound;
    }
    assistLog(kDumpPath, kFindRoutine, dumpPath.c_str());

    const NorvoProcesses &table = NorvoProcesses::instance();
    // A product known only by its processes' rows has no product row to read its folders from:
    // then the search goes by file names, as for an unknown product.
    if (useProductLayout_ && table.contains(key_.first, key_.second) && table.find(key_.first, kUnknownProcess))
        return searchProductFolders(dump, dumpPath) ? kFound : kNotFound;
    return searchByName(dump, dumpPath);
}

bool MDFinder::searchProductFolders(std::string &dump, const std::string &dumpPath) const
{
    const NorvoProcesses &table = NorvoProcesses::instance();
    std::string alternative =
        normalizePath(temporaryCrashFolder() + table.productFolder(key_.first, key_.second) + "/", true, true);
    assistLog(kAlternativePath, kFindRoutine, alternative.c_str());

    const NorvoProcess *product = table.find(key_.first, kUnknownProcess);
    std::string folder = dumpPath;
    size_t separator = product->executable.find_last_of("/\\");
    if (separator != std::string::npos)
        folder += product->executable.substr(0, separator);
    alternative += product->executableName;

    std::string pattern;
    tiny::appendFormatted(pattern, kGenericPattern, kDumpExtension);
    return checkDumpExistence(pattern, alternative, dump) || checkDumpExistence(pattern, folder, dump);
}

int MDFinder::searchByName(std::string &dump, const std::string &dumpPath) const
{
    bool nameMissing = false;
    if (!dump.empty()) {
        size_t separator = dump.find_last_of("/\\");
        std::string folderPart = separator == std::string::npos ? std::string() : dump.substr(0, separator + 1);
        std::string namePart = separator == std::string::npos ? dump : dump.substr(separator + 1);
        std::string pattern;
        tiny::appendFormatted(pattern, kNamedPattern, escapeDots(namePart).c_str());
        if (!folderPart.empty() && checkDumpExistence(pattern, folderPart, dump))
            return kFound;
        if (checkDumpExistence(pattern, dumpPath, dump))
            return kFound;
        nameMissing = true;
    }
    const int found = nameMissing ? kNameMissing : kFound;
    if (key_.second != kUnknownProcess) {
        std::string byProcess;
        tiny::appendFormatted(byProcess, kProcessPattern, key_.second.c_str(), kDumpExtension);
        if (checkDumpExistence(byProcess, dumpPath, dump))
            return found;
    }
    std::string byDefaultName, generic;
    tiny::appendFormatted(byDefaultName, kDefaultPattern, kDefaultBaseName, kDumpExtension);
    if (checkDumpExistence(byDefaultName, dumpPath, dump))
        return found;
    tiny::appendFormatted(generic, kGenericPattern, kDumpExtension);
    if (checkDumpExistence(generic, dumpPath, dump))
        return kGenericOnly;
    return kNotFound;
}

std::string MDFinder::getKernelCrashDumpPath() const
{
    std::string path;
    if (readMachineRegistryText(kCrashControlKey, kDumpFileValue, path) == kRegistryTextRead) {
        assistLog(kKernelPath, kKernelPathRoutine, path.c_str());
        return path;
    }
    char windows[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        path = std::string(windows, length) + kKernelDumpName;
        assistLog(kKernelPathFallback, kKernelPathRoutine, path.c_str());
    } else {
        path = kKernelDumpLastResort;
        assistLog(kNoWindowsFolder, kKernelPathRoutine, path.c_str());
    }
    return path;
}

bool MDFinder::isItNewKrnDump(const std::string &path) const
{
    struct __stat64 info;
    if (_stat64(path.c_str(), &info) != 0) {
        assistLog(kNoKernelStatus, kNewKernelRoutine, path.c_str());
        return false;
    }
    int64_t last = 0;
    std::string key = kProductKeyRoot + NorvoProcesses::instance().productFolder(key_.first, key_.second);
    if (!tiny::readRegistryValue(HKEY_LOCAL_MACHINE, key.c_str(), kLastKernelDumpValue, sizeof(last), &last))
        last = 0;
    if (last != 0 && last >= static_cast<int64_t>(info.st_mtime)) {
        assistLog(kOlderKernelDump, kNewKernelRoutine, path.c_str());
        return false;
    }
    return true;
}

bool findKernelDump(const MDFinder &finder, std::string &path)
{
    path.clear();
    std::string candidate = finder.getKernelCrashDumpPath();
    tiny::UniqueFile file(CreateFileA(candidate.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    file.reset();
    path = candidate;
    return finder.isItNewKrnDump(path);
}

} // namespace assist
} // namespace norvo
