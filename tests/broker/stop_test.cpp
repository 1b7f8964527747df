// Ending a session by force at stop: the channel cuts the session thread off only while it waits on
// the pipe, never while it holds a lock the rest of the process needs, such as the log's.
#include "testsupport.h"
#include "updatercomm.h"
#include "updaterlog.h"

#include "tiny/unique.h"

#include <gtest/gtest.h>

using namespace nvupdater;
using norvo::tiny::UniqueHandle;

namespace {

class FileLog : public UpdaterLog {
public:
    explicit FileLog(const std::wstring &path) { SetPathTo(path); }
};

struct SessionPlay {
    UpdaterComm *comm;
    UpdaterLog *log;
    DWORD busyMs;            // writing the log before it waits for a client
    bool waitOnPipe;         // false: leaves the gate and lingers, as a finishing thread does
    volatile LONG inGate;
};

DWORD WINAPI playSession(void *parameter)
{
    SessionPlay &play = *static_cast<SessionPlay *>(parameter);
    play.comm->EnterSessionGate();
    play.inGate = 1;
    const ULONGLONG end = GetTickCount64() + play.busyMs;
    while (GetTickCount64() < end)
        play.log->Write(L"busy", LogDebug);
    if (play.waitOnPipe) {
        play.comm->WaitForClient();   // no client comes: only the stop ends this
        play.comm->LeaveSessionGate();
        return 1;
    }
    play.comm->LeaveSessionGate();
    Sleep(600);
    return 7;
}

struct Writer {
    UpdaterLog *log;
};

DWORD WINAPI writeOnce(void *parameter)
{
    static_cast<Writer *>(parameter)->log->Write(L"after the stop", LogDebug);
    return 0;
}

// True when a log write from another thread completes within the time limit.
bool logStillWritable(UpdaterLog &log)
{
    Writer writer{&log};
    UniqueHandle thread(CreateThread(nullptr, 0, writeOnce, &writer, 0, nullptr));
    return thread && WaitForSingleObject(thread.get(), 3000) == WAIT_OBJECT_0;
}

} // namespace

TEST(SessionStop, CutsOffABusySessionOnlyOnceItWaitsOnThePipe)
{
    FileLog log(nvtest::suiteDir() + L"\\busy.log");
    UpdaterComm comm(&log);
    comm.Initialize();
    ASSERT_EQ(0, comm.CreatePipe());

    SessionPlay play{&comm, &log, 500, true, 0};
    UniqueHandle thread(CreateThread(nullptr, 0, playSession, &play, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_TRUE(nvtest::waitFor([&] { return play.inGate != 0; }, 3000));
    Sleep(100);   // the session is in the middle of its log writes

    const ULONGLONG start = GetTickCount64();
    comm.EndSessionByForce();
    const ULONGLONG took = GetTickCount64() - start;

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 3000));
    DWORD code = 99;
    GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(0u, code) << "terminated with exit code 0 while waiting for a client";
    EXPECT_GE(took, 300u) << "waited for the busy part to end";
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(logStillWritable(log)) << "the log's lock was left held by a dead thread";
}

TEST(SessionStop, LeavesAFinishingSessionToEndOnItsOwn)
{
    FileLog log(nvtest::suiteDir() + L"\\finishing.log");
    UpdaterComm comm(&log);
    comm.Initialize();

    SessionPlay play{&comm, &log, 50, false, 0};
    UniqueHandle thread(CreateThread(nullptr, 0, playSession, &play, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_TRUE(nvtest::waitFor([&] { return play.inGate != 0; }, 3000));
    Sleep(200);   // out of the gate, on its way out

    comm.EndSessionByForce();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 3000));
    DWORD code = 99;
    GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(7u, code) << "a thread outside the session must not be terminated";
    EXPECT_TRUE(logStillWritable(log));
}
