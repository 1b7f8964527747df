#include "mainloop.h"

#include "session.h"
#include "tiny/errortext.h"
#include "tiny/threads.h"
#include "tiny/unique.h"
#include "updatercomm.h"
#include "updaterlog.h"
#include "widetext.h"

#include <stdio.h>

namespace nvupdater {

namespace {

const DWORD kPollMs = 250;

const char kStartingFormat[] = "MainLoop : Starting '%s' version %s.";
const wchar_t kCannotCreateThread[] = L"MainLoop : Cannot create communication thread: %ls";
const wchar_t kClosingThread[] = L"MainLoop : Closing communication thread.";
const wchar_t kFinished[] = L"MainLoop : Finished.";
const wchar_t kStartingService[] = L"RunService : Starting service.";

norvo::tiny::ServiceDefinition g_definition = {};

} // namespace

norvo::tiny::ServiceDefinition &ServiceRecord() { return g_definition; }

void FillServiceDefinition(HINSTANCE instance)
{
    g_definition = norvo::tiny::ServiceDefinition();
    g_definition.instance = instance;
    g_definition.dialogId = 1001;
    g_definition.iconId = 136;
    g_definition.statusControlId = 1002;
    g_definition.windowClassName = "nvupdaterservice";
    g_definition.mainRoutine = MainLoop;
    g_definition.mainThreadName = "NorvoUpdaterServiceMainThread";
    g_definition.serviceName = "nvupdaterservice";
    g_definition.instanceName = "NorvoUpdaterService";
    g_definition.displayName = "Norvo Updater Service";
    g_definition.version = "2.0.0.1171 T0";
    g_definition.platformFlags = 0;
}

int RunService(int showCommand)
{
    Log().Write(kStartingService, LogDebug);
    return norvo::tiny::serverMain(&g_definition, showCommand);
}

void MainLoop(int)
{
    UpdaterLog &log = Log();
    char starting[512];
    snprintf(starting, sizeof(starting), kStartingFormat, g_definition.displayName, g_definition.version);
    log.Write(WidenAnsi(starting), LogInfo);

    // Lives until the process ends: a session thread cut off at stop may still point at it.
    UpdaterComm *comm = new UpdaterComm(&log);
    g_updaterComm = comm;
    comm->Initialize();

    const norvo::tiny::ThreadAttributes attributes;
    norvo::tiny::UniqueHandle session;   // the most recent communication thread
    while (!g_definition.stopRequested) {
        if (!comm->pipeOpen) {
            comm->CreatePipe();
            g_definition.running = 1;
        } else if (!comm->sessionActive) {
            HANDLE started = nullptr;
            if (norvo::tiny::startThread(CommunicationThread, 0, &started, attributes))
                session.reset(started);
            else
                log.Write(FormatText(kCannotCreateThread, WidenUtf8(norvo::tiny::lastErrorText(0)).c_str()), LogError);
        }
        Sleep(kPollMs);
    }

    if (comm->sessionActive) {
        log.Write(kClosingThread, LogDebug);
        // A session blocks in pipe calls without a time limit; ending its thread is the only way
        // to stop it. The channel does so only while the thread waits on the pipe.
        comm->EndSessionByForce();
    }
    log.Write(kFinished, LogDebug);
}

} // namespace nvupdater
