// What happens around a dump: a handler decides whether to write it and starts the report tool.
#pragma once

#include "tiny/unique.h"

#include <string>
#include <vector>

namespace norvo {
namespace assist {

class AbstractMemDumpHandler {
public:
    virtual bool crashPreAction() = 0;    // false: no dump for this crash
    virtual void crashPostAction() = 0;   // after the crash dump (written or not)
    virtual bool kernelPreAction() = 0;   // false: skip the kernel-dump check
    virtual void kernelPostAction() = 0;  // after a new kernel dump was found
    virtual ~AbstractMemDumpHandler() {}

    std::string programPath;                  // the report tool
    std::vector<std::string> kernelArguments;
    std::vector<std::string> crashArguments;
};

// Starts the report tool with the argument list joined by single blanks and does not wait for it.
class DefaultMemDumpHandler : public AbstractMemDumpHandler {
public:
    bool crashPreAction() override { return true; }
    void crashPostAction() override;
    bool kernelPreAction() override { return true; }
    void kernelPostAction() override;

    // The report tool's process, kept until the handler ends.
    tiny::UniqueHandle childProcess;

private:
    void startReportTool(const char *routine, const std::vector<std::string> &arguments);
};

} // namespace assist
} // namespace norvo
