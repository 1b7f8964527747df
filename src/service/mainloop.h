// The service's process entry and main loop: start-up, the hand-over to the service control
// framework, and the loop that keeps the pipe and one communication thread going.
#pragma once

#include "tiny/service.h"

namespace nvupdater {

// The record that describes the service to the framework; filled by WinMain.
norvo::tiny::ServiceDefinition &ServiceRecord();

// Clears the record and fills it with the service's names, resources and main routine.
void FillServiceDefinition(HINSTANCE instance);

// Hands the record to the framework; returns the framework's result.
int RunService(int showCommand);

// Run by the framework on its worker thread until `definition`'s stop request. The run mode is
// ignored.
void MainLoop(norvo::tiny::ServiceDefinition &definition, int runningAsService);

} // namespace nvupdater
