// What the parts of the service control framework share among themselves: the running definition,
// the state reported to the SCM, and the two run modes.
#pragma once

#include "tiny/service.h"
#include "tiny/threads.h"

namespace norvo {
namespace tiny {
namespace framework {

// The record serverMain was given; the control handler and the window procedure reach it here.
extern ServiceDefinition *definition;
// The attributes every framework thread is started with.
extern ThreadAttributes threadAttributes;

// Texts of the framework's messages and window.
extern const char kStartingServer[];
extern const char kAlreadyRunning[];
extern const char kCannotCreateThread[];
extern const char kTitleFormat[];
extern const char kStartingEngine[];
extern const char kEngineRunning[];

// The failure text of the definition, bounded even when the main routine forgot the NUL.
const char *failureText();

int runDispatcher();
void WINAPI serviceMain(DWORD argc, LPSTR *argv);
void WINAPI controlHandler(DWORD control);
int runInteractive(int showCommand);
INT_PTR CALLBACK statusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace framework
} // namespace tiny
} // namespace norvo
