// The analysis suite's engine double: transcripts written in the engine's output shapes, the
// double's call log, and the files a kernel check looks at.
#pragma once

#include "dumptest.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace analysistest {

struct Module {
    std::string name;
    uint64_t begin, end;
    bool loaded = true;   // false: "lmv m" lists no range for it
};

// One engine session: what the engine prints for the dump and for each command.
struct Session {
    bool kernel = true;
    bool wide = false;                 // 64-bit: values in the split form, "r rsp" and "dq"
    std::vector<Module> modules;       // the watched modules the engine knows
    std::vector<uint64_t> arguments;   // bug-check arguments
    uint64_t stack = 0;                // ebp or rsp
    std::vector<uint64_t> words;       // the stack dump
    std::string failing;               // a command that fails (E_FAIL-like 0x80004005) and prints nothing
};

std::string writeTranscript(const Session &session);
std::string writeTranscriptText(const std::string &text);
std::string committedTranscript(const std::string &name);
// Selects the transcript for the next DebugCreate of this process.
void useTranscript(const std::string &path);

// The double's calls since the last clear, one per line; `executed` keeps the commands only.
std::vector<std::string> calls();
std::vector<std::string> executed();
void clearCalls();

// A file standing in for the kernel memory dump (the double never reads it).
std::string dumpFile();
// A folder whose dbgeng.dll has no DebugCreate.
std::string bareEngineFolder();

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace analysistest
