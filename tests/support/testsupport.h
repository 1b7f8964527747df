// Small helpers for the Windows test executables that run under the Wine harness:
// where things are, bounded waits, child processes and files.
#pragma once

#include "buildtype.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace nvtest {

// The harness's folders (Windows paths, no trailing backslash). Empty when not run by the harness.
std::wstring env(const wchar_t *name);
std::wstring suiteDir();       // NV_SUITE_DIR: this suite's own artifact folder
std::wstring sessionStderr();  // NV_SESSION_STDERR: the server session's stderr (services, event log)
std::wstring buildDir();       // NV_BUILD_DIR: folder of the test executable
std::wstring runDir();         // NV_RUN_DIR: material shared by the run (packages, PKI)
std::wstring sourceDir();      // NV_SOURCE_DIR

std::wstring widen(const std::string &text);   // UTF-8 -> UTF-16
std::string narrow(const std::wstring &text);  // UTF-16 -> UTF-8

// Whole file as bytes; empty when it cannot be read.
std::string readFile(const std::wstring &path);
bool writeFile(const std::wstring &path, const std::string &bytes);
bool fileExists(const std::wstring &path);

// Polls `done` every `stepMs` until it is true or `timeoutMs` has passed; returns its last answer.
bool waitFor(const std::function<bool()> &done, DWORD timeoutMs, DWORD stepMs = 20);

// The longest a step bounded by a limit of `limitMs` may take on this machine just now: the limit,
// half of it again, two seconds, and ten times `paceMs`, a round trip through the same processes
// measured in the same test. A load slows the round trip as it slows the step, so the bound grows
// with it; what it tells apart is a step that ends at its own limit from one that waits for another.
inline ULONGLONG withinPace(ULONGLONG limitMs, ULONGLONG paceMs) { return limitMs + limitMs / 2 + 2000 + 10 * paceMs; }

// Runs a command line and waits at most `timeoutMs`. Returns the exit code, -1 when it could not be
// started, -2 when it was killed at the time limit. Standard output and error go to `output`.
struct ProcessResult {
    long exitCode = -1;
    std::string output;
};
ProcessResult runProcess(const std::wstring &commandLine, DWORD timeoutMs);

// Wine's translation of a Windows path to the Unix one; empty when there is none.
std::string unixPath(const std::wstring &path);
// Starts a Unix program (Wine gives no handle to wait on: watch for its effect). False when it
// could not be started.
bool startUnixProgram(const std::wstring &commandLine);
// Makes `link` a Unix symbolic link to the existing `target`: the link Wine follows, standing in
// for a Windows link. False when it did not appear within a few seconds.
bool plantUnixLink(const std::wstring &target, const std::wstring &link);

// Compares lines with expectations; an expectation ending in '*' matches by its prefix (for
// numbers that the platform decides). Gives a readable difference, or empty when they match.
std::string compareLines(const std::vector<std::string> &actual, const std::vector<std::string> &expected);

// Counts how often `needle` occurs in `haystack`.
size_t countOf(const std::string &haystack, const std::string &needle);

} // namespace nvtest
