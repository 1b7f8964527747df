// The service's crash reporting: after a crash on any thread, a full-memory dump in the current
// directory and the report tool started beside it.
#pragma once

namespace nvupdater {

// Gives the crash-reporting library the service's identity and folders and installs its filter.
// Always 1: the service runs on whether or not reporting could be set up.
int setupCrashReporting();

} // namespace nvupdater
