// The service control framework: runs a main routine under the service control manager, or, when
// started any other way, interactively behind a small status window. One instance per machine.
#pragma once

#include "tiny/unique.h"

#include <windows.h>

#include <atomic>

namespace norvo {
namespace tiny {

struct ServiceDefinition;

// Run on the framework's worker thread with the record it was started from (its stop request,
// its running flag): 1 under the SCM, 0 interactively.
typedef void (*MainRoutine)(ServiceDefinition &definition, int runningAsService);

// Filled by the service (cleared first), read and partly written by the framework.
struct ServiceDefinition {
    HINSTANCE instance;           // resources are loaded from here
    int dialogId;                 // status window template
    int iconId;                   // icon of the status window's class
    int statusControlId;          // status text inside the dialog
    const char *windowClassName;  // class registered in interactive mode
    bool runAsService;            // framework: true while under the SCM
    const char *eventMessageFile; // framework: null, the program's own file
    MainRoutine mainRoutine;      // run on the worker thread: 1 under the SCM, 0 interactively
    const char *mainThreadName;
    const char *serviceName;
    const char *instanceName;     // single-instance event ("Global\" + this)
    const char *displayName;      // titles, messages, event source
    const char *version;
    int platformFlags;
    std::atomic<LONG> stopRequested;  // framework: 1 stop or window closed, 2 system shutdown
    std::atomic<LONG> running;        // main routine: nonzero once it is up
    std::atomic<LONG> startFailed;    // main routine: nonzero when it could not start ...
    char failureText[128];        // ... and why (written completely before startFailed is set)
};

// Decides service or interactive mode and runs until the service or the window ends. Returns 0 on
// a normal end, 3 when the SCM dispatcher failed, 1 when the worker thread was not created
// (interactive), 2 when another instance runs (interactive).
int serverMain(ServiceDefinition *definition, int showCommand);

// The wait hint of the stop-pending report: how long the SCM is told the stop may take. The main
// routine's own end should fit in it.
const DWORD kStopHintMs = 4000;

// Event types and ids of the framework's messages.
const WORD kEventError = EVENTLOG_ERROR_TYPE;
const WORD kEventInformation = EVENTLOG_INFORMATION_TYPE;
const DWORD kEventIdError = 0xC0000002;
const DWORD kEventIdInformation = 0x40000004;

// Leaves a message of the framework in the Application event log: `text`, then a blank line, the
// display name, version and service name of the running definition.
void reportEvent(WORD eventType, DWORD eventId, const char *text);

// The single-instance event: "Global\" + name unless the low byte of `platformFlags` has a bit of
// 0xF7 set. Empty when another instance holds the name (or the event could not be made).
UniqueHandle createInstanceEvent(const char *name, int platformFlags);

// An auto-reset, unsignalled event; with `platformFlags` & 7 clear its protected DACL grants SYSTEM
// and Administrators EVENT_ALL_ACCESS and Everyone SYNCHRONIZE only (any process may wait on it).
// GetLastError stays as CreateEvent left it (ERROR_ALREADY_EXISTS tells).
UniqueHandle createGuardedEvent(const char *name, int platformFlags);

// Moves a top-level window to the centre of the primary screen.
void centreWindow(HWND window);

} // namespace tiny
} // namespace norvo
