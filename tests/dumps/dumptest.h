// Helpers of the dump suites: fresh folders, files with chosen times, the library's error log,
// machine registry values and the messages the library reports to a host.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace dumptest {

// The top of the build folder (each suite's executable lies in tests/dumps/<suite>/ below it, with
// the library's error log beside it).
std::string buildRoot();

// A new empty folder for one test, below the suite's folder (a Windows path, no trailing '\').
std::string freshFolder(const std::string &name);
// Writes `bytes` to `path` and gives it `seconds` (since 1970) as creation and write time.
bool makeFile(const std::string &path, const std::string &bytes, int64_t seconds);
// Removes `folder` with everything in it, then creates it again with its parents.
void resetFolder(const std::string &folder);
bool exists(const std::string &path);
std::string readText(const std::string &path);
// The file's modification time as the C runtime reports it.
int64_t modificationTime(const std::string &path);

// The library's error log: emptied, and read back.
void clearErrorLog();
std::string errorLog();

// The lines handed to the report callback since the last clear.
void reportReceiver(const char *format, ...);
std::vector<std::string> &reports();
bool reported(const std::string &line);

// HKLM values, 32-bit view unless the key lies below SYSTEM (shared by both views).
bool setMachineText(const std::string &key, const std::string &name, DWORD type, const std::string &text);
bool setMachineQword(const std::string &key, const std::string &name, int64_t value);
void deleteMachineValue(const std::string &key, const std::string &name);
void deleteMachineKey(const std::string &key);

} // namespace dumptest
