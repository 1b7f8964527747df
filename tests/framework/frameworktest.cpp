#include "frameworktest.h"

#include <stdio.h>
#include <stdlib.h>

using norvo::tiny::UniqueServiceHandle;

namespace fwtest {

std::wstring testServicePath() { return nvtest::buildDir() + L"\\fw_testservice.exe"; }

Status toStatus(const SERVICE_STATUS &s)
{
    Status r;
    r.state = s.dwCurrentState;
    r.checkpoint = s.dwCheckPoint;
    r.waitHint = s.dwWaitHint;
    r.controls = s.dwControlsAccepted;
    r.win32ExitCode = s.dwWin32ExitCode;
    r.specificExitCode = s.dwServiceSpecificExitCode;
    return r;
}

std::string describe(const std::vector<Status> &statuses)
{
    std::string text;
    for (const Status &s : statuses) {
        char line[160];
        snprintf(line, sizeof(line), "state %lu checkpoint %lu hint %lu controls %lu exit %lu/%lu\n", s.state,
                 s.checkpoint, s.waitHint, s.controls, s.win32ExitCode, s.specificExitCode);
        text += line;
    }
    return text;
}

InstalledService::InstalledService(const std::string &name, const std::string &arguments)
    : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
{
    if (!manager_)
        return;
    const std::string binaryPath = "\"" + nvtest::narrow(testServicePath()) + "\" --service " + name + " " + arguments;
    service_.reset(CreateServiceA(manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

InstalledService::~InstalledService()
{
    if (!service_)
        return;
    if (!isStopped(query())) {
        Status ignored;
        control(SERVICE_CONTROL_STOP, &ignored);
        record(isStopped, 5000);
    }
    DeleteService(service_.get());
}

bool InstalledService::start() { return service_ && StartServiceA(service_.get(), 0, nullptr); }

Status InstalledService::query() const
{
    SERVICE_STATUS status = {};
    QueryServiceStatus(service_.get(), &status);
    return toStatus(status);
}

DWORD InstalledService::control(DWORD code, Status *answer)
{
    SERVICE_STATUS status = {};
    const DWORD error = ControlService(service_.get(), code, &status) ? 0 : GetLastError();
    *answer = toStatus(status);
    return error;
}

std::vector<Status> InstalledService::record(bool (*done)(const Status &), DWORD timeoutMs) const
{
    std::vector<Status> seen;
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        const Status now = query();
        if (seen.empty() || !(seen.back() == now))
            seen.push_back(now);
        if (done(now) || GetTickCount64() >= end)
            return seen;
        Sleep(1);
    }
}

bool isRunning(const Status &s) { return s.state == SERVICE_RUNNING; }
bool isStopped(const Status &s) { return s.state == SERVICE_STOPPED; }

std::string freshTracePath(const char *name)
{
    const std::wstring path = nvtest::suiteDir() + L"\\" + nvtest::widen(name) + L".trace";
    DeleteFileW(path.c_str());
    return nvtest::narrow(path);
}

std::vector<std::string> traceLines(const std::string &path)
{
    std::vector<std::string> lines;
    const std::string content = nvtest::readFile(nvtest::widen(path));
    size_t start = 0;
    for (size_t end = content.find('\n'); end != std::string::npos; end = content.find('\n', start)) {
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool traceHas(const std::string &path, const std::string &line)
{
    for (const std::string &l : traceLines(path))
        if (l == line)
            return true;
    return false;
}

size_t fileSize(const std::wstring &path) { return nvtest::readFile(path).size(); }

std::string eventSuffix(const std::string &serviceName)
{
    return "\n\nNorvo Framework Test 1.0.0.7 T1\nService: " + serviceName;
}

} // namespace fwtest

namespace fwtest {

namespace {

// Undoes Wine's debug quoting of a wide string: \n \r \t \" \\ and \xNNNN.
std::string unquote(const std::string &quoted)
{
    std::string text;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 == quoted.size()) {
            text += quoted[i];
            continue;
        }
        const char c = quoted[++i];
        switch (c) {
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'x': {
            const std::string hex = quoted.substr(i + 1, 4);
            text += static_cast<char>(strtoul(hex.c_str(), nullptr, 16) & 0x7F);
            i += hex.size();
            break;
        }
        default: text += c; break;
        }
    }
    return text;
}

} // namespace

std::vector<std::string> eventTexts(const std::wstring &stderrPath, size_t fromOffset)
{
    static const std::string marker = ":eventlog:ReportEventW L\"";
    std::vector<std::string> events;
    const std::string content = nvtest::readFile(stderrPath);
    for (size_t at = content.find(marker, fromOffset); at != std::string::npos; at = content.find(marker, at + 1)) {
        const size_t start = at + marker.size();
        const size_t lineEnd = content.find('\n', start);
        const size_t close = content.rfind('"', lineEnd == std::string::npos ? content.size() : lineEnd);
        if (close == std::string::npos || close < start)
            continue;
        events.push_back(unquote(content.substr(start, close - start)));
    }
    return events;
}

} // namespace fwtest
