// A small service built on the framework, for the framework's tests. Its command line (which the SCM
// passes on from the service's binary path) chooses how the main routine behaves:
//   --service NAME    the SCM service name          --instance NAME  the single-instance name
//   --mode ready|fail ready: sets `running`; fail: sets `startFailed` with a failure text
//   --delay MS        how long the start takes      --linger MS      how long it takes to stop
//   --trace PATH      where the main routine leaves its trace lines
// Trace lines: "main <argument>", "running", "failed", "stop <stopRequested> state <s> checkpoint <c>
// hint <h>" (the service's own SCM status when it saw the request), "returned", "serverMain <result>".
#include "tiny/service.h"
#include "tiny/textconversion.h"
#include "tiny/unique.h"

#include "resource.h"
#include "servicenames.h"

#include <windows.h>
#include <shellapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

using namespace norvo::tiny;

namespace {

ServiceDefinition definition;

struct Options {
    std::string serviceName = "nvframeworktest";
    std::string instanceName = "NorvoFrameworkTest";
    std::string mode = "ready";
    DWORD delayMs = 0;
    DWORD lingerMs = 0;
    std::string tracePath;
} options;

const char kFailureText[] = "Test engine failed to start: the test asked for it";

std::string narrow(const wchar_t *text) { return norvo::tiny::toAnsi(text); }

void parseCommandLine()
{
    int count = 0;
    UniqueLocal raw(CommandLineToArgvW(GetCommandLineW(), &count));
    LPWSTR *args = static_cast<LPWSTR *>(raw.get());
    for (int i = 1; args && i + 1 < count; i += 2) {
        const std::string name = narrow(args[i]), value = narrow(args[i + 1]);
        if (name == "--service")
            options.serviceName = value;
        else if (name == "--instance")
            options.instanceName = value;
        else if (name == "--mode")
            options.mode = value;
        else if (name == "--delay")
            options.delayMs = strtoul(value.c_str(), nullptr, 10);
        else if (name == "--linger")
            options.lingerMs = strtoul(value.c_str(), nullptr, 10);
        else if (name == "--trace")
            options.tracePath = value;
    }
}

void trace(const char *format, ...)
{
    if (options.tracePath.empty())
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line) - 2, format, args);
    va_end(args);
    strcat(line, "\n");
    UniqueFile file(CreateFileA(options.tracePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
        WriteFile(file.get(), line, static_cast<DWORD>(strlen(line)), &written, nullptr);
}

// What the SCM shows of this service right now.
SERVICE_STATUS ownStatus()
{
    SERVICE_STATUS status = {};
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), options.serviceName.c_str(), SERVICE_QUERY_STATUS)
                                        : nullptr);
    if (service)
        QueryServiceStatus(service.get(), &status);
    return status;
}

// The framework hands over the record it was started from, which is this program's one record.
void testMain(ServiceDefinition &record, int argument)
{
    trace("main %d", argument);
    Sleep(options.delayMs);
    if (options.mode == "fail") {
        snprintf(record.failureText, sizeof(record.failureText), "%s", kFailureText);
        record.startFailed = 1;
        trace("failed");
        return;
    }
    record.running = 1;
    trace("running");
    while (!record.stopRequested)
        Sleep(20);
    const SERVICE_STATUS status = ownStatus();
    trace("stop %ld state %lu checkpoint %lu hint %lu", record.stopRequested.load(), status.dwCurrentState,
          status.dwCheckPoint, status.dwWaitHint);
    Sleep(options.lingerMs);
    trace("returned");
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    parseCommandLine();
    definition.instance = instance;
    definition.dialogId = IDD_STATUS;
    definition.iconId = IDI_SERVICE;
    definition.statusControlId = IDC_STATUS_TEXT;
    definition.windowClassName = NV_WINDOW_CLASS_NAME;
    definition.mainRoutine = testMain;
    definition.mainThreadName = "NorvoFrameworkTestMainThread";
    definition.serviceName = options.serviceName.c_str();
    definition.instanceName = options.instanceName.c_str();
    definition.displayName = "Norvo Framework Test";
    definition.version = "1.0.0.7 T1";
    definition.platformFlags = 0;
    const int result = serverMain(&definition, showCommand);
    trace("serverMain %d", result);
    return result;
}
