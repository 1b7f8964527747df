// The kernel-dump check run at initialisation: is there a new kernel memory dump that implicates
// one of our watched kernel modules?
#pragma once

#include "assist/mdfinder.h"

#include <string>

namespace norvo {
namespace assist {

// Our network drivers, whose addresses make a kernel dump ours.
extern const char *const kWatchedKernelModules[4];
const int kWatchedStackWords = 64;

class DumpChecker {
public:
    explicit DumpChecker(const ProcessKey &key);
    virtual ~DumpChecker() {}
    // True when a new, positive kernel dump exists; `dumpPath` is then its path.
    bool check(std::string &dumpPath);

private:
    MDFinder finder_;
};

// Whether the dump at `dumpPath` is positive; false on any failure as well.
bool analyzeKernelDump(const std::string &dumpPath);

} // namespace assist
} // namespace norvo
