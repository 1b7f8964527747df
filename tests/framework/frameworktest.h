// Helpers of the framework's tests: the test service installed in the real SCM, its trace, and the
// event texts that Wine prints on its debug output.
#pragma once

#include "testsupport.h"
#include "tiny/unique.h"

#include <windows.h>

#include <string>
#include <vector>

namespace fwtest {

// Full path of the test service executable (built beside the test executables).
std::wstring testServicePath();

// One distinct status as the SCM reports it.
struct Status {
    DWORD state = 0, checkpoint = 0, waitHint = 0, controls = 0, win32ExitCode = 0, specificExitCode = 0;
    bool operator==(const Status &o) const
    {
        return state == o.state && checkpoint == o.checkpoint && waitHint == o.waitHint && controls == o.controls &&
               win32ExitCode == o.win32ExitCode && specificExitCode == o.specificExitCode;
    }
};
Status toStatus(const SERVICE_STATUS &s);
std::string describe(const std::vector<Status> &statuses);

// The test service installed under `name` for one test; deleted (and stopped) again at the end.
class InstalledService {
public:
    InstalledService(const std::string &name, const std::string &arguments);
    ~InstalledService();
    bool installed() const { return service_.valid(); }
    bool start();
    Status query() const;
    // Sends `control`; the status the SCM answered with goes to `answer`. Returns the error (0: sent).
    DWORD control(DWORD control, Status *answer);
    // Polls every millisecond until `done` holds for the status or `timeoutMs` passed; returns every
    // distinct status seen, in order.
    std::vector<Status> record(bool (*done)(const Status &), DWORD timeoutMs) const;

private:
    norvo::tiny::UniqueServiceHandle manager_, service_;
};

bool isRunning(const Status &s);
bool isStopped(const Status &s);

// A fresh trace file in the suite folder (narrow path for the service's command line).
std::string freshTracePath(const char *name);
std::vector<std::string> traceLines(const std::string &path);
bool traceHas(const std::string &path, const std::string &line);

// Event texts that Wine printed to `stderrPath` since `fromOffset`. Wine prints each line of the
// insertion string as its own debug line ("err:eventlog:ReportEventW L\"...\""); the lines of one
// event are joined again with "\n".
std::vector<std::string> eventTexts(const std::wstring &stderrPath, size_t fromOffset = 0);
// The size of a file now: a mark to read events from.
size_t fileSize(const std::wstring &path);
// The suffix reportEvent adds for the test service.
std::string eventSuffix(const std::string &serviceName);

} // namespace fwtest
