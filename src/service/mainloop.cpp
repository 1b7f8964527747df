#include "service/mainloop.h"

#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/servicefolders.h"
#include "resource.h"
#include "service/brokercontext.h"
#include "service/session.h"
#include "service/sessionloop.h"
#include "service/updaterlog.h"
#include "service/widetext.h"
#include "servicenames.h"
#include "tiny/comapartment.h"
#include "tiny/textconversion.h"
#include "version.h"

#include <stdio.h>

namespace nvupdater {

namespace {

const char kStartingFormat[] = "MainLoop : Starting '%s' version %s.";
const wchar_t kFinished[] = L"MainLoop : Finished.";
const wchar_t kCleanupError[] = L"MainLoop : Checking old advertising script returns error: %d";
const wchar_t kStartingService[] = L"RunService : Starting service.";

norvo::tiny::ServiceDefinition g_definition = {};

// An advertisement that a stopped or crashed service left applied is taken away before any client
// can make use of it.
void RemoveStaleAdvertisements(const norvo::tiny::ServiceDefinition &definition, BrokerContext &broker)
{
    const norvo::tiny::ComApartment apartment;
    SetInstallerUiLevelNone();
    KeptHolds &kept = broker.kept();
    const LONG stale =
        CleanupStaleScripts(ServiceScriptsFolder(), [&definition] { return definition.stopRequested != 0; },
                            [&kept](const std::wstring &product) { kept.Release(product); });
    if (stale != 0 && !definition.stopRequested)
        broker.log().Write(FormatText(kCleanupError, static_cast<int>(stale)), LogError);
}

} // namespace

norvo::tiny::ServiceDefinition &ServiceRecord() { return g_definition; }

void FillServiceDefinition(HINSTANCE instance)
{
    // Cleared field by field: the flags the threads share are atomics, which are not copied.
    g_definition.runAsService = false;
    g_definition.eventMessageFile = nullptr;
    g_definition.stopRequested = 0;
    g_definition.running = 0;
    g_definition.startFailed = 0;
    g_definition.failureText[0] = '\0';
    g_definition.instance = instance;
    g_definition.dialogId = IDD_STATUS;
    g_definition.iconId = IDI_SERVICE;
    g_definition.statusControlId = IDC_STATUS_TEXT;
    g_definition.windowClassName = NV_WINDOW_CLASS_NAME;
    g_definition.mainRoutine = MainLoop;
    g_definition.mainThreadName = "NorvoUpdaterServiceMainThread";
    g_definition.serviceName = NV_SERVICE_NAME;
    g_definition.instanceName = NV_INSTANCE_EVENT_NAME;
    g_definition.displayName = NV_SERVICE_DISPLAY_NAME;
    g_definition.version = NV_VERSION_TAGGED_TEXT;
    g_definition.platformFlags = 0;
}

int RunService(int showCommand)
{
    Log().Write(kStartingService, LogDebug);
    return norvo::tiny::serverMain(&g_definition, showCommand);
}

void MainLoop(norvo::tiny::ServiceDefinition &definition, int)
{
    UpdaterLog &log = Log();
    char starting[512];
    snprintf(starting, sizeof(starting), kStartingFormat, definition.displayName, definition.version);
    log.Write(norvo::tiny::fromAnsi(starting), LogInfo);

    // Lives until the process ends: a session still finishing a check at stop may point at it.
    BrokerContext *broker = new BrokerContext(log);
    (void)broker->channel().Initialize();   // a channel not ready makes CreatePipe fail and retry each poll
    RemoveStaleAdvertisements(definition, *broker);

    RunSessions(definition, *broker, CommunicationThread);
    log.Write(kFinished, LogDebug);
}

} // namespace nvupdater
