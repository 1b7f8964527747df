// Process entry of the updater service: one-time start-up, then the service control framework.
#include "service/crashreporting.h"
#include "service/mainloop.h"
#include "inspection/servicefolders.h"
#include "tiny/osversion.h"
#include "tiny/service.h"
#include "service/updaterlog.h"
#include "version.h"

#include <windows.h>

#include "messages.h"

#include <stdio.h>

// Markers for whoever reads a full-memory dump of the process: the system it ran on and the
// build. Nothing in the program reads them; they are not static so that no optimiser drops them.
char g_serverOsMarker[256];
char g_coredumpVersionMarker[256];

// The message table's ids are the ones the framework reports with.
static_assert(NV_MSG_ERROR_EVENT == norvo::tiny::kEventIdError, "messages.mc: the error event's id");
static_assert(NV_MSG_INFORMATION_EVENT == norvo::tiny::kEventIdInformation, "messages.mc: the information event's id");

namespace nvupdater {
namespace {

const wchar_t kInitializing[] = L"WinMain : Initializing service.";
const wchar_t kStarting[] = L"WinMain : Starting service.";
const wchar_t kFinishing[] = L"WinMain : Finishing service.";

void WriteStartupMarkers()
{
    norvo::tiny::OsDescription os = {};
    norvo::tiny::describeOs(os);
    snprintf(g_serverOsMarker, sizeof(g_serverOsMarker), "***Server OS: %.*s***",
             static_cast<int>(sizeof(os.name)), os.name);
    snprintf(g_coredumpVersionMarker, sizeof(g_coredumpVersionMarker), "***Coredump version %s***", NV_VERSION_TEXT);
}

} // namespace
} // namespace nvupdater

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    using namespace nvupdater;
    WriteStartupMarkers();
    setupCrashReporting();
    CreateServiceFolders();
    // Judged once and held from here on: nobody can put another scripts folder in its place.
    (void)ServiceScriptsFolder();
    Log().SetPath();
    FillServiceDefinition(instance);
    Log().Write(kInitializing, LogDebug);
    Log().Write(kStarting, LogDebug);
    RunService(showCommand);
    Log().Write(kFinishing, LogDebug);
    return 0;
}
