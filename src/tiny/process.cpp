#include "tiny/process.h"

namespace norvo {
namespace tiny {

ChildProcess::ChildProcess(unsigned options, std::vector<std::string> arguments, int creationFlags)
    : options_(options), creationFlags_(creationFlags), arguments_(std::move(arguments))
{
}

// A handle the caller did not take is closed here, whatever the options say: never leaked.
ChildProcess::~ChildProcess() = default;

std::string ChildProcess::commandLine() const
{
    std::string line;
    for (size_t i = 0; i < arguments_.size(); ++i) {
        if (i == 0 && quoteProgram_) {
            line += '"';
            line += arguments_[i];
            line += '"';
            continue;
        }
        line += ' ';
        line += arguments_[i];
    }
    return line;
}

bool ChildProcess::start()
{
    std::string line = commandLine();
    if (line.empty())
        return false;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    DWORD flags = creationFlags_ == -1 ? 0 : static_cast<DWORD>(creationFlags_);
    // CreateProcessA may write into the command line, so it gets its own copy.
    std::vector<char> writable(line.begin(), line.end());
    writable.push_back('\0');
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                        &started))
        return false;
    CloseHandle(started.hThread);
    handle_.reset(started.hProcess);
    id_ = static_cast<int>(started.dwProcessId);
    return true;
}

int startProcess(const std::string &program, const std::string &arguments, UniqueHandle *process)
{
    ChildProcess child(process ? 0 : ChildProcess::kCloseHandleOnEnd, {program, arguments});
    if (!child.start())
        return -1;
    if (process)
        *process = child.takeHandle();
    return child.id();
}

} // namespace tiny
} // namespace norvo
