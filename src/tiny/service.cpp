// Service mode: the decision between the two run modes, the SCM dispatcher, the service entry, the
// control handler and the framework's event messages.
#include "tiny/service.h"

#include "tiny/errortext.h"
#include "tiny/eventlog.h"
#include "tiny/serviceframework.h"
#include "tiny/unique.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace norvo {
namespace tiny {
namespace framework {

ServiceDefinition *definition = nullptr;
ThreadAttributes threadAttributes;

const char kStartingServer[] = "Starting server";
const char kAlreadyRunning[] = "Service is already running";
const char kCannotCreateThread[] = "Cannot create server thread: ";

namespace {

// The worker thread: the main routine with the argument that tells it runs under the SCM.
void runUnderScm(void *record)
{
    ServiceDefinition &definition = *static_cast<ServiceDefinition *>(record);
    definition.mainRoutine(definition, 1);
}

const char kOpenScmFailed[] =
    "Cannot open the connection to the service control manager, function OpenSCManager() failed with error 0x";
const char kOpenServiceFailed[] = "Cannot open the existing service, function OpenService() failed with error 0x";
const char kDispatcherFailed[] = "Cannot start service dispatcher: ";
const char kRegisterHandlerFailed[] = "RegisterServiceCtrlHandler failed";
const char kEventLogName[] = "Application";
const char kSuffixService[] = "\nService: ";

const DWORD kAcceptStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
const DWORD kFirstStartHint = 3000;
const DWORD kFurtherStartHint = 500;
const DWORD kStartPollMs = 200;
const DWORD kAnotherInstance = 2;    // service-specific exit codes
const DWORD kServerNotStarted = 1;
const int kDispatcherNotStarted = 3; // serverMain's result

SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::atomic<LONG> currentState(SERVICE_START_PENDING);

// Reports `state` to the SCM; the controls follow from it: none while start-pending.
void reportStatus(DWORD state, DWORD win32ExitCode, DWORD specificExitCode, DWORD checkpoint, DWORD waitHint)
{
    currentState = static_cast<LONG>(state);
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptStopAndShutdown;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &status); // nothing to do about a failure here
}

void reportStopped(DWORD specificExitCode)
{
    reportStatus(SERVICE_STOPPED, specificExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR, specificExitCode, 0, 0);
}

void reportError(const std::string &text) { reportEvent(kEventError, kEventIdError, text.c_str()); }

// "<prefix>" + the error in lower-case hexadecimal without leading zeros + ".".
std::string withHexError(const char *prefix, DWORD error)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "%lx.", static_cast<unsigned long>(error));
    return std::string(prefix) + hex;
}

typedef DWORD(WINAPI *RegisterServiceProcessFunction)(DWORD processId, DWORD type);

// Old systems hide a registered service process from the task list and keep it across log-off.
void registerServiceProcess(DWORD type)
{
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel)
        return;
    FARPROC found = GetProcAddress(kernel, "RegisterServiceProcess");
    if (found)
        reinterpret_cast<RegisterServiceProcessFunction>(found)(0, type);
}

// True when the SCM is starting `serviceName` right now: the one way to tell its start from a start
// by hand. Failures to ask are reported and mean "by hand".
bool startedByScm(const char *serviceName)
{
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        reportError(withHexError(kOpenScmFailed, GetLastError()));
        return false;
    }
    UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) {
        reportError(withHexError(kOpenServiceFailed, GetLastError()));
        return false;
    }
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_START_PENDING;
}

} // namespace

const char *failureText()
{
    static char text[sizeof(definition->failureText)];
    memcpy(text, definition->failureText, sizeof(text));
    text[sizeof(text) - 1] = '\0';
    return text;
}

int runDispatcher()
{
    char name[256];
    snprintf(name, sizeof(name), "%s", definition->serviceName);
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table))
        return 0;
    reportError(std::string(kDispatcherFailed) + lastErrorText(0));
    return kDispatcherNotStarted;
}

void WINAPI serviceMain(DWORD, LPSTR *)
{
    statusHandle = RegisterServiceCtrlHandlerA(definition->serviceName, controlHandler);
    if (!statusHandle) {
        reportError(kRegisterHandlerFailed);
        return;
    }
    reportStatus(SERVICE_START_PENDING, NO_ERROR, 0, 1, kFirstStartHint);

    UniqueHandle instance = createInstanceEvent(definition->instanceName, definition->platformFlags);
    if (!instance) {
        reportError(kAlreadyRunning);
        reportStopped(kAnotherInstance);
        return;
    }

    UniqueHandle worker;
    if (!startThread(runUnderScm, definition, &worker, threadAttributes)) {
        reportError(std::string(kCannotCreateThread) + lastErrorText(0));
        reportStopped(kServerNotStarted);
        return;
    }

    // The main routine decides how long its start takes; the SCM hears progress meanwhile.
    for (DWORD checkpoint = 2;; ++checkpoint) {
        Sleep(kStartPollMs);
        if (definition->running)
            break;
        if (definition->startFailed) {
            reportError(failureText());
            reportStopped(kServerNotStarted);
            return; // the worker is left to end on its own; its handle and the instance close here
        }
        reportStatus(SERVICE_START_PENDING, NO_ERROR, 0, checkpoint, kFurtherStartHint);
    }

    reportStatus(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
    (void)waitAndClose(worker);   // the worker's end is all that is wanted; nothing follows it
    instance.reset();
    reportStopped(0);
}

void WINAPI controlHandler(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The SCM hears of the stop before the main routine does.
        reportStatus(SERVICE_STOP_PENDING, NO_ERROR, 0, 1, kStopHintMs);
        definition->stopRequested = control == SERVICE_CONTROL_STOP ? 1 : 2;
        break;
    default:
        reportStatus(static_cast<DWORD>(currentState), NO_ERROR, 0, 0, 0);
        break;
    }
}

} // namespace framework

using namespace framework;

int serverMain(ServiceDefinition *record, int showCommand)
{
    definition = record;
    definition->eventMessageFile = nullptr;
    definition->runAsService = true;
    reportEvent(kEventInformation, kEventIdInformation, kStartingServer);

    definition->runAsService = startedByScm(definition->serviceName);

    const bool registerProcess = (definition->platformFlags & 0x07) != 0;
    if (registerProcess)
        registerServiceProcess(1);
    int result = definition->runAsService ? runDispatcher() : runInteractive(showCommand);
    if (registerProcess)
        registerServiceProcess(0);
    return result;
}

void reportEvent(WORD eventType, DWORD eventId, const char *text)
{
    if (!definition || !definition->displayName)
        return;
    std::string message = std::string(text ? text : "") + "\n\n" + definition->displayName + " " +
                          (definition->version ? definition->version : "") + kSuffixService +
                          (definition->serviceName ? definition->serviceName : "");
    WindowsEventLogWriter writer(kEventLogName, definition->displayName, definition->eventMessageFile);
    writer.report(eventType, eventId, message.c_str(), nullptr, 0);
    writer.close();
}

} // namespace tiny
} // namespace norvo
