// Interactive mode: the main routine runs on the worker thread while the status window shows
// whether the engine is starting, running or failed, until "Exit" closes it.
#include "tiny/service.h"

#include "tiny/errortext.h"
#include "tiny/serviceframework.h"
#include "tiny/unique.h"

#include <commctrl.h>
#include <stdio.h>

#include <string>

namespace norvo {
namespace tiny {
namespace framework {

const char kTitleFormat[] = "%s %s engine status";
const char kStartingEngine[] = "Starting engine ...";
const char kEngineRunning[] = "Engine is running";

namespace {

// The worker thread: the main routine with the argument that tells it runs in interactive mode.
void runBehindWindow(void *record)
{
    ServiceDefinition &definition = *static_cast<ServiceDefinition *>(record);
    definition.mainRoutine(definition, 0);
}

const char kDialogClass[] = "#32770";
const int kExitButton = 1;
const UINT_PTR kStartTimer = 1;
const UINT_PTR kStopTimer = 2;
const UINT kStartTimerMs = 200;
const UINT kStopTimerMs = 500;
const int kWorkerNotStarted = 1;
const int kAnotherInstance = 2;

void setStatusText(HWND window, const char *text) { SetDlgItemTextA(window, definition->statusControlId, text); }

void enableExit(HWND window, bool enable) { EnableWindow(GetDlgItem(window, kExitButton), enable ? TRUE : FALSE); }

void initialiseWindow(HWND window)
{
    char title[512];
    snprintf(title, sizeof(title), kTitleFormat, definition->displayName, definition->version);
    SetWindowTextA(window, title);
    enableExit(window, false);
    HICON icon = LoadIconA(definition->instance, MAKEINTRESOURCEA(definition->iconId));
    SetClassLongPtrA(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    centreWindow(window);
    setStatusText(window, kStartingEngine);
    SetTimer(window, kStartTimer, kStartTimerMs, nullptr);
    SetTimer(window, kStopTimer, kStopTimerMs, nullptr);
}

void checkStart(HWND window)
{
    if (definition->running) {
        KillTimer(window, kStartTimer);
        setStatusText(window, kEngineRunning);
        enableExit(window, true);
    }
    if (definition->startFailed) {
        const char *reason = failureText();
        reportEvent(kEventError, kEventIdError, reason);
        KillTimer(window, kStartTimer);
        setStatusText(window, reason);
        enableExit(window, true);
        SetForegroundWindow(window);
        ShowWindow(window, SW_SHOW);
    }
}

// The standard dialog class under the program's own name, so the status window has its own icon.
void registerWindowClass()
{
    WNDCLASSA windowClass = {};
    if (!GetClassInfoA(definition->instance, kDialogClass, &windowClass))
        return; // the dialog cannot be made then, and the run ends as if it had been closed
    windowClass.hInstance = definition->instance;
    windowClass.lpszClassName = definition->windowClassName;
    RegisterClassA(&windowClass);
}

} // namespace

INT_PTR CALLBACK statusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        initialiseWindow(window);
        return TRUE;
    case WM_TIMER:
        if (wParam == kStartTimer)
            checkStart(window);
        else if (wParam == kStopTimer && definition->stopRequested)
            PostMessageA(window, WM_CLOSE, 0, 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != kExitButton)
            return FALSE;
        PostMessageA(window, WM_CLOSE, 0, 0);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

int runInteractive(int showCommand)
{
    UniqueHandle instance = createInstanceEvent(definition->instanceName, definition->platformFlags);
    if (!instance) {
        reportEvent(kEventError, kEventIdError, kAlreadyRunning);
        return kAnotherInstance;
    }
    UniqueHandle worker;
    if (!startThread(runBehindWindow, definition, &worker, threadAttributes)) {
        reportEvent(kEventError, kEventIdError, (std::string(kCannotCreateThread) + lastErrorText(0)).c_str());
        return kWorkerNotStarted;
    }

    registerWindowClass();
    InitCommonControls();

    HWND window = CreateDialogParamA(definition->instance, MAKEINTRESOURCEA(definition->dialogId), nullptr,
                                     statusDialogProc, 0);
    if (window) {
        ShowWindow(window, showCommand);
        MSG message;
        // GetMessage gives -1 on an error; treating that as a message would spin for ever.
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (!IsDialogMessageA(window, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
    }

    definition->stopRequested = 1;
    (void)waitAndClose(worker);   // the worker's end is all that is wanted; nothing follows it
    return 0;
}

} // namespace framework

void centreWindow(HWND window)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    MoveWindow(window, x, y, width, height, TRUE);
}

} // namespace tiny
} // namespace norvo
