#include "assist/outputcallbacks.h"

#include "assist/assistlog.h"

#include <stdio.h>
#include <string.h>

#include <stdexcept>

namespace norvo {
namespace assist {

namespace {

const char kOutputRoutine[] = "norvo::assist::StdioOutputCallbacks::Output";
const char kInvalidIndex[] = "Invalid index in ModuleInfoList[]";
const char kOutputException[] = "### Exception in %s() (%s) ###\n";
const char kLoadingDump[] = "Loading Dump File";
const char kKernelKind[] = "Kernel";
const char kModuleCommand[] = "lmv m";
const char kModuleCommandFormat[] = "lmv m%s";
const char kBugCheckCommand[] = ".bugcheck";
const char kArguments[] = "Arguments";
const char kCommandLog[] = "szCommand = %s\n";
const char kModuleName[] = "MODULE NAME: %s\n";
const char kPositive[] = "Positive kernel dump has been found. <%s>\n";
const char kValue64[] = "%s: 0x%08x%08xh\n";
const char kValue32[] = "%s: 0x%08xh\n";
const char kLineEnd[] = "\n";
const int kBugCheckArguments = 4;
const size_t kStep32 = 9;    // "%08x" and a blank
const size_t kStep64 = 18;   // "%08x`%08x" and a blank

bool startsWith(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool isLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }

// The character after the second line end, or null.
const char *afterSecondLine(const char *text)
{
    const char *first = strchr(text, '\n');
    const char *second = first ? strchr(first + 1, '\n') : nullptr;
    return second ? second + 1 : nullptr;
}

} // namespace

ModuleInfoList::ModuleInfoList(const char *const *names, int count)
{
    for (int i = 0; names && i < count; ++i) {
        ModuleInfo module = {};
        lstrcpynA(module.name, names[i] ? names[i] : "", sizeof(module.name));
        modules_.push_back(module);
    }
}

ModuleInfo &ModuleInfoList::operator[](int index)
{
    if (index < 0 || index >= count())
        throw std::invalid_argument(kInvalidIndex);
    return modules_[static_cast<size_t>(index)];
}

const ModuleInfo &ModuleInfoList::operator[](int index) const
{
    return const_cast<ModuleInfoList &>(*this)[index];
}

StdioOutputCallbacks::StdioOutputCallbacks(ModuleInfoList *modules, int stackWords)
    : modules_(modules), stackWords_(stackWords)
{
}

STDMETHODIMP StdioOutputCallbacks::QueryInterface(REFIID interfaceId, PVOID *object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(interfaceId, IID_IUnknown) || IsEqualIID(interfaceId, IID_IDebugOutputCallbacks)) {
        *object = static_cast<IDebugOutputCallbacks *>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void StdioOutputCallbacks::reset()
{
    positive_ = kernelDump_ = is64Bit_ = false;
    stackAddress_ = 0;
    loadState_ = kWaitingForLoad;
    if (modules_)
        for (int i = 0; i < modules_->count(); ++i)
            (*modules_)[i].begin = (*modules_)[i].end = 0;
}

ModuleInfoList &StdioOutputCallbacks::modules()
{
    // Without a list every index is outside it.
    if (!modules_)
        throw std::invalid_argument(kInvalidIndex);
    return *modules_;
}

uint64_t StdioOutputCallbacks::parseHexValue(const char *text, const char *label, HexFormat format)
{
    if (!text)
        return 0;
    unsigned int high = 0, low = 0;
    int read = format == kSplit ? sscanf(text, "%08x`%08x", &high, &low) : sscanf(text, "%08x%08x", &high, &low);
    uint64_t value = 0;
    if (read == 2) {
        is64Bit_ = true;
        value = (static_cast<uint64_t>(high) << 32) | low;
    } else if (read == 1) {
        value = high;
    }
    if (label) {
        if (is64Bit_)
            assistLog(kValue64, label, static_cast<unsigned int>(value >> 32), static_cast<unsigned int>(value));
        else
            assistLog(kValue32, label, static_cast<unsigned int>(value));
    }
    return value;
}

STDMETHODIMP StdioOutputCallbacks::Output(ULONG mask, PCSTR text)
{
    (void)mask;
    if (!text)
        return S_OK;
    try {
        detectDumpKind(text);
        if (startsWith(text, kModuleCommand))
            readModuleRange(text);
        else if (startsWith(text, kBugCheckCommand))
            checkBugCheckArguments(text);
        else if (startsWith(text, is64Bit_ ? "r rsp" : "r ebp"))
            readStackAddress(text);
        else if (startsWith(text, is64Bit_ ? "dq " : "dd "))
            checkStackWords(text);
    } catch (const std::exception &error) {
        assistLog(kOutputException, kOutputRoutine, error.what());
    } catch (...) {
        assistLog(kOutputException, kOutputRoutine, "unknown");
    }
    return S_OK;
}

// The piece after the one that names "Loading Dump File" says which kind of dump it is.
void StdioOutputCallbacks::detectDumpKind(const char *text)
{
    if (loadState_ == kNextDecides) {
        kernelDump_ = startsWith(text, kKernelKind);
        loadState_ = kDecided;
    }
    if (loadState_ == kWaitingForLoad && strstr(text, kLoadingDump))
        loadState_ = kNextDecides;
}

// "lmv m<name>", the column header, then "<begin> <end>   <name> ...".
void StdioOutputCallbacks::readModuleRange(const char *text)
{
    ModuleInfoList &list = modules();
    for (int i = 0; i < list.count(); ++i) {
        char command[96];
        _snprintf(command, sizeof(command) - 1, kModuleCommandFormat, list[i].name);
        command[sizeof(command) - 1] = '\0';
        assistLog(kCommandLog, command);
        if (!startsWith(text, command))
            continue;
        assistLog(kModuleName, list[i].name);
        const char *range = afterSecondLine(text);
        uint64_t begin = parseHexValue(range, "BEGIN ADDRESS", kSplit);
        const char *blank = range ? strchr(range, ' ') : nullptr;
        uint64_t end = parseHexValue(blank ? blank + 1 : nullptr, "END ADDRESS", kSplit);
        list[i].begin = begin;
        list[i].end = end;
        break;
    }
    assistLog(kLineEnd);
}

void StdioOutputCallbacks::markPositive(const char *moduleName)
{
    assistLog(kPositive, moduleName);
    positive_ = true;
}

// "Arguments" and up to four values; one strictly inside a module's range makes the dump positive.
void StdioOutputCallbacks::checkBugCheckArguments(const char *text)
{
    const char *arguments = strstr(text, kArguments);
    if (!arguments)
        return;
    ModuleInfoList &list = modules();
    const size_t length = strlen(text);
    size_t at = static_cast<size_t>(arguments - text) + strlen(kArguments);
    for (int n = 0; n < kBugCheckArguments && at < length && !isLineEnd(text[at]); ++n) {
        uint64_t value = parseHexValue(text + at + 1, "BUG CHECK ARGUMENT", kSplit);
        for (int i = 0; i < list.count(); ++i) {
            if (list[i].begin < value && value < list[i].end) {
                markPositive(list[i].name);
                return;
            }
        }
        at += is64Bit_ ? kStep64 : kStep32;
    }
    assistLog(kLineEnd);
}

// "r ebp" / "r rsp", then "ebp=<value>" with no separator inside the value.
void StdioOutputCallbacks::readStackAddress(const char *text)
{
    const char *lineEnd = strchr(text, '\n');
    if (!lineEnd || strlen(lineEnd) <= 5)
        return;
    stackAddress_ = parseHexValue(lineEnd + 5, is64Bit_ ? "STACK ADDRESS [RSP]" : "STACK ADDRESS [EBP]",
                                  kJoined);
}

// Lines of "<address>  <word> <word> ..."; a word inside a module's range, ends included, makes
// the dump positive. At most stackWords words are read.
void StdioOutputCallbacks::checkStackWords(const char *text)
{
    ModuleInfoList &list = modules();
    const size_t length = strlen(text);
    size_t at = 0;
    int words = 0;
    while (words < stackWords_) {
        const char *blanks = strstr(text + at, "  ");
        if (!blanks)
            break;
        at = static_cast<size_t>(blanks - text) + 1;
        while (at < length && !isLineEnd(text[at]) && words < stackWords_) {
            uint64_t value = parseHexValue(text + at + 1, "STACK", kSplit);
            for (int i = 0; i < list.count(); ++i) {
                const ModuleInfo &module = list[i];
                if ((module.begin != 0 || module.end != 0) && module.begin <= value && value <= module.end) {
                    markPositive(module.name);
                    return;
                }
            }
            ++words;
            at += is64Bit_ ? kStep64 : kStep32;
        }
        if (at >= length)
            break;
    }
    assistLog(kLineEnd);
}

} // namespace assist
} // namespace norvo
