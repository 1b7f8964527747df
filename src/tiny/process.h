// Starting another program: the program path in double quotes, one blank, the argument line; no
// handle inheritance; the thread handle closed at once; the process not waited for.
#pragma once

#include "tiny/unique.h"

#include <string>
#include <vector>

namespace norvo {
namespace tiny {

class ChildProcess {
public:
    // Option flag: the caller does not take the process handle; it is closed when the object ends.
    static const unsigned kCloseHandleOnEnd = 4;

    // `arguments`: the program path, then the words of its command line. `creationFlags` -1: none.
    ChildProcess(unsigned options, std::vector<std::string> arguments, int creationFlags = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The command line: the first element in double quotes (with the quoting switch on), then
    // every further element after one blank, as it is.
    std::string commandLine() const;
    // Creates the process; false when the system refused.
    bool start();

    int id() const { return id_; }
    // Hands the process handle over to the caller.
    UniqueHandle takeHandle() { return std::move(handle_); }
    unsigned options() const { return options_; }

private:
    unsigned options_;
    int id_ = -1;
    UniqueHandle handle_;
    int creationFlags_;
    bool quoteProgram_ = true;
    std::vector<std::string> arguments_;
};

// Starts `program` with `arguments` and returns its process id, or -1. With `process` given it
// receives the process handle; otherwise the handle is closed before the call returns.
int startProcess(const std::string &program, const std::string &arguments, UniqueHandle *process = nullptr);

} // namespace tiny
} // namespace norvo
