// The service's end of the named pipe "\\.\pipe\NVUpdatePipe": one instance, serving one client
// after another; whole UTF-16 messages in and out; the flags by which the main loop and the
// communication threads agree on who owns the pipe.
#pragma once

#include "tiny/nmutex.h"
#include "tiny/unique.h"
#include "updaterlog.h"

#include <windows.h>

#include <string>

namespace nvupdater {

class UpdaterComm {
public:
    // The longest message the service reads, in bytes (2,048 UTF-16 units).
    static const DWORD kMaxMessageBytes = 4096;

    explicit UpdaterComm(UpdaterLog *log);
    virtual ~UpdaterComm();
    UpdaterComm(const UpdaterComm &) = delete;
    UpdaterComm &operator=(const UpdaterComm &) = delete;

    // 0, or -1 when already initialised.
    int Initialize();
    // 0 when the pipe exists afterwards, -1 when it could not be created (retried by the caller).
    int CreatePipe();

    // One message each way. 0, or -1 (logged with the system's error number).
    int Send(std::wstring message);
    int Receive(std::wstring &message);

    // Waits, without a time limit, until a client is connected. 0, or the system's error number.
    DWORD WaitForClient();
    // Ends the current client's connection; the instance stays for the next client.
    void DisconnectClient();

    // A well-formed `210 PACKAGE "path"` or `210 PACKAGE "path" TRANSFORMS "transforms"` gives 0
    // with its parts; anything else is logged and gives -1.
    int ParsePackageCommand(const std::wstring &command, std::wstring &packagePath, std::wstring &transforms);

    void SetSessionActive(int value) { sessionActive = value; }

    // The session thread holds the session gate whenever it is not blocked in a pipe call, from
    // EnterSessionGate until LeaveSessionGate. EndSessionByForce takes the gate before it
    // terminates the holder, so the thread is cut off only while it waits on the pipe, never
    // while it holds a lock (the log's, the heap's) that the rest of the process still needs. A
    // thread that has left the gate for good is finishing on its own and is not terminated.
    void EnterSessionGate();
    void LeaveSessionGate();
    void EndSessionByForce();

    // Guards the test-and-set of the two flags below.
    norvo::tiny::NMutex lock;
    // Written under the lock (or by their only owner), read by the main loop without it.
    volatile LONG pipeOpen = 0;
    volatile LONG sessionActive = 0;

private:
    // Opens the session gate for the duration of one blocking pipe call of the gate's holder.
    class PipeCall;

    UpdaterLog *log_;
    norvo::tiny::UniqueFile pipe_;
    int initialized_ = 0;

    norvo::tiny::NMutex sessionGate_;
    volatile DWORD gateHolder_ = 0;        // thread id of the session, 0 when none
    volatile LONG holderInPipeCall_ = 0;   // the holder is blocked in a pipe call, gate open
};

// The one channel of the process, set by MainLoop before the first communication thread starts.
extern UpdaterComm *g_updaterComm;

} // namespace nvupdater
