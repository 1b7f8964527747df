// What the crash suites share: a folder of the test's own, the report tool's stand-in placed in a
// folder, the dump reader, and assist.err read line by line.
#pragma once

#include "testsupport.h"

#include <windows.h>

#include <string>
#include <vector>

namespace crashtest {

// A fresh, empty folder for one test under the suite folder (Windows path, no trailing backslash).
std::wstring freshFolder(const std::wstring &name);
// Copies the report tool's stand-in into `folder`.
bool placeReportTool(const std::wstring &folder);
// The command lines the stand-in in `folder` recorded, one per start, once the process that
// started it has ended. The tool runs on after that: wait (bounded) for `atLeast` lines, then until
// no copy of the tool in `folder` runs any more.
std::vector<std::string> reportToolCalls(const std::wstring &folder, size_t atLeast = 1);
// The words the platform's parsing gave the stand-in in `folder`, one list per start (read after
// reportToolCalls saw the start: the stand-in records the words first).
std::vector<std::vector<std::string>> reportToolWords(const std::wstring &folder);
// The word after the first `option` in `words`, or "<none>".
std::string wordAfter(const std::vector<std::string> &words, const std::string &option);

// The dump reader's summary of a dump, one "key: value" line each; empty when it gave none within
// `timeoutMs`.
std::vector<std::string> dumpSummary(const std::wstring &dumpPath, DWORD timeoutMs = 60000);
// The value of the first summary line starting with `key` + ": ", or "<none>".
std::string summaryValue(const std::vector<std::string> &summary, const std::string &key);
size_t summaryCount(const std::vector<std::string> &summary, const std::string &key);

// The lines of an assist.err, each time stamp "MM/DD/YY HH:MM:SS (pid)<tab>" checked against
// `processId` and cut off; a line with a malformed stamp is kept whole, prefixed with "BAD STAMP: ".
std::vector<std::string> errorLogLines(const std::wstring &path, DWORD processId);

std::string narrow(const std::wstring &text);

using nvtest::compareLines;

// Runs `exe` with `arguments` (no handles inherited) and waits at most `timeoutMs`; exitCode is -2
// when it was killed at the time limit, -1 when it did not start.
struct Run {
    DWORD processId = 0;
    long exitCode = -1;
    DWORD milliseconds = 0;
};
Run runProgram(const std::wstring &exe, const std::wstring &arguments, DWORD timeoutMs);

} // namespace crashtest
