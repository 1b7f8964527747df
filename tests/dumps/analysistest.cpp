#include "analysistest.h"

#include "testsupport.h"

#include <windows.h>

#include <stdio.h>

namespace analysistest {

namespace {

std::string suiteFolder() { return nvtest::narrow(nvtest::suiteDir()); }

std::string hex32(uint64_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%08x", static_cast<unsigned int>(value));
    return text;
}

// The engine's 64-bit form: high half, grave accent, low half.
std::string split(uint64_t value)
{
    return hex32(value >> 32) + "`" + hex32(value);
}

std::string value(const Session &s, uint64_t v) { return s.wide ? split(v) : hex32(v); }

int transcriptCount = 0;

std::string section(const Session &s, const std::string &command, const std::string &body)
{
    if (command == s.failing)
        return "@execute " + command + "\n@result 0x80004005\n";
    return "@execute " + command + "\n" + body;
}

} // namespace

std::string writeTranscriptText(const std::string &text)
{
    std::string path = suiteFolder() + "\\transcript-" + std::to_string(++transcriptCount) + ".txt";
    EXPECT_TRUE(nvtest::writeFile(nvtest::widen(path), text));
    return path;
}

std::string writeTranscript(const Session &s)
{
    std::string t = "@open\nLoading Dump File [" + dumpFile() + "]\n@piece\n";
    t += s.kernel ? "Kernel Summary Dump File: Only kernel address space is available\n\n"
                  : "User Mini Dump File with Full Memory: Only application data is available\n\n";
    t += section(s, ".sympath + \\", "");
    t += "@wait\n";
    t += s.wide ? "Windows 10 Kernel Version 19041 MP (4 procs) Free x64\n"
                : "Windows 7 Kernel Version 7601 (Service Pack 1) MP (2 procs) Free x86 compatible\n";
    const std::string header = s.wide ? "start             end                 module name\n"
                                      : "start    end        module name\n";
    for (const Module &m : s.modules) {
        std::string body = header;
        if (m.loaded)
            body += value(s, m.begin) + " " + value(s, m.end) + "   " + m.name + "   (deferred)\n" +
                    "    Image name: " + m.name + ".sys\n";
        t += section(s, "lmv m" + m.name, body);
    }
    std::string arguments = "Arguments";
    for (uint64_t a : s.arguments)
        arguments += " " + value(s, a);
    t += section(s, ".bugcheck", "Bugcheck code 000000D1\n" + arguments + "\n");
    t += section(s, s.wide ? "r rsp" : "r ebp",
                 (s.wide ? "rsp=" + hex32(s.stack >> 32) + hex32(s.stack) : "ebp=" + hex32(s.stack)) + "\n");
    std::string dump;
    const size_t perLine = s.wide ? 2 : 4;
    for (size_t i = 0; i < s.words.size(); i += perLine) {
        dump += value(s, s.stack + i * (s.wide ? 8 : 4)) + " ";
        for (size_t j = i; j < i + perLine && j < s.words.size(); ++j)
            dump += " " + value(s, s.words[j]);
        dump += "\n";
    }
    char command[64];
    snprintf(command, sizeof(command), s.wide ? "dq %08x%08x L%08x" : "dd %08x%08x L%08x",
             static_cast<unsigned int>(s.stack >> 32), static_cast<unsigned int>(s.stack), 64u);
    t += section(s, command, dump);
    return writeTranscriptText(t);
}

std::string committedTranscript(const std::string &name)
{
    return nvtest::narrow(nvtest::sourceDir()) + "\\tests\\doubles\\dbgeng\\transcripts\\" + name;
}

void useTranscript(const std::string &path) { SetEnvironmentVariableA("NORVO_DBGENG_TRANSCRIPT", path.c_str()); }

static std::string callLog() { return suiteFolder() + "\\engine-calls.log"; }

std::vector<std::string> calls()
{
    std::string text = dumptest::readText(callLog());
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::vector<std::string> executed()
{
    const std::string prefix = "Execute 0x0 0x1 ";
    std::vector<std::string> commands;
    for (const std::string &line : calls())
        if (line.compare(0, prefix.size(), prefix) == 0)
            commands.push_back(line.substr(prefix.size()));
    return commands;
}

void clearCalls() { DeleteFileA(callLog().c_str()); }

std::string dumpFile()
{
    std::string path = suiteFolder() + "\\MEMORY.DMP";
    if (!dumptest::exists(path))
        dumptest::makeFile(path, "PAGEDUMP", 1600000000);
    return path;
}

std::string bareEngineFolder()
{
    return dumptest::buildRoot() + "\\tests\\doubles\\dbgeng\\bare";
}

void EngineTest::SetUp()
{
    dumptest::clearErrorLog();
    clearCalls();
    SetEnvironmentVariableA("NORVO_DBGENG_CALLS", callLog().c_str());
    useTranscript("");
}

void EngineTest::TearDown()
{
    SetEnvironmentVariableA("NORVO_DBGENG_TRANSCRIPT", nullptr);
}

} // namespace analysistest
