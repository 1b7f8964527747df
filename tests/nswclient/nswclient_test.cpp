// The reference client against a stand-in for the service: a thread of this test that owns the real
// pipe \\.\pipe\NVUpdatePipe and plays one scripted conversation. The client runs as its own
// process; the test checks what the stand-in received, what the client printed and its exit code.
#include "protocol/protocol.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace nvtest;
using norvo::tiny::UniqueFile;
using norvo::tiny::UniqueHandle;

namespace {

const wchar_t *const kPipe = nvupdater::protocol::kPipeName;
const DWORD kStepMs = 10000;
const wchar_t kClosed[] = L"<closed>";

struct Step {
    enum Kind { Send, Receive, Pause, Close } kind;
    std::wstring text;
    DWORD ms = 0;
};
Step send(const std::wstring &text) { return {Step::Send, text}; }
Step receive() { return {Step::Receive, L""}; }
Step pause(DWORD ms) { return {Step::Pause, L"", ms}; }
Step hangUp() { return {Step::Close, L""}; }

// Owns the pipe's only instance and plays `steps` with the first client, then disconnects.
class StandIn {
public:
    explicit StandIn(std::vector<Step> steps) : steps_(std::move(steps))
    {
        pipe_.reset(CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 8192, 8192, 0, nullptr));
        event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(CreateThread(nullptr, 0, run, this, 0, nullptr));
    }
    ~StandIn()
    {
        if (thread_.valid() && WaitForSingleObject(thread_.get(), 2 * kStepMs) != WAIT_OBJECT_0)
            CancelIoEx(pipe_.get(), nullptr);
        WaitForSingleObject(thread_.get(), kStepMs);
    }
    bool ready() const { return pipe_.valid() && event_.valid() && thread_.valid(); }

    // What the client sent, in order; kClosed where a read found the client gone.
    std::vector<std::wstring> received()
    {
        WaitForSingleObject(thread_.get(), 2 * kStepMs);
        return received_;
    }

private:
    static DWORD WINAPI run(void *self)
    {
        static_cast<StandIn *>(self)->play();
        return 0;
    }

    // One overlapped operation to its end within the step's limit.
    bool complete(BOOL started, OVERLAPPED &overlapped, DWORD &done)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return GetLastError() == ERROR_PIPE_CONNECTED;
        if (!started && WaitForSingleObject(event_.get(), kStepMs) != WAIT_OBJECT_0) {
            CancelIo(pipe_.get());
            GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE) != FALSE;
    }

    void play()
    {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event_.get();
        DWORD done = 0;
        if (!complete(ConnectNamedPipe(pipe_.get(), &overlapped), overlapped, done))
            return;
        bool sentLast = false;
        for (const Step &step : steps_) {
            if (step.kind == Step::Send || step.kind == Step::Receive)
                sentLast = step.kind == Step::Send;
            overlapped = OVERLAPPED();
            overlapped.hEvent = event_.get();
            ResetEvent(event_.get());
            if (step.kind == Step::Send) {
                const DWORD bytes = static_cast<DWORD>(step.text.size() * sizeof(wchar_t));
                if (!complete(WriteFile(pipe_.get(), step.text.data(), bytes, nullptr, &overlapped), overlapped, done))
                    break;
            } else if (step.kind == Step::Receive) {
                std::vector<wchar_t> buffer(8192);
                if (!complete(ReadFile(pipe_.get(), buffer.data(), 16384, nullptr, &overlapped), overlapped, done)) {
                    received_.push_back(kClosed);
                    break;
                }
                received_.emplace_back(buffer.data(), done / sizeof(wchar_t));
            } else if (step.kind == Step::Pause) {
                Sleep(step.ms);
            } else {
                break;
            }
        }
        // Disconnecting discards what the client has not read yet: after a last message, wait
        // (bounded) until the client has gone.
        if (sentLast) {
            overlapped = OVERLAPPED();
            overlapped.hEvent = event_.get();
            ResetEvent(event_.get());
            std::vector<wchar_t> buffer(8192);
            while (complete(ReadFile(pipe_.get(), buffer.data(), 16384, nullptr, &overlapped), overlapped, done))
                ResetEvent(event_.get());
        }
        DisconnectNamedPipe(pipe_.get());
    }

    std::vector<Step> steps_;
    std::vector<std::wstring> received_;
    UniqueFile pipe_;
    UniqueHandle event_, thread_;
};

std::wstring clientExe() { return buildDir() + L"\\..\\..\\tools\\nswclient\\nswclient.exe"; }

// The stand-in is this process: the client is told to accept it as the pipe's owner.
ProcessResult runClient(const std::wstring &arguments, DWORD limitMs = 30000)
{
    return runProcess(L"\"" + clientExe() + L"\" --server-pid " + std::to_wstring(GetCurrentProcessId()) + L" " + arguments,
                      limitMs);
}

bool printed(const ProcessResult &r, const std::string &line) { return r.output.find(line) != std::string::npos; }

std::vector<Step> greetedAndDecided(long decision)
{
    return {send(L"200 NUS 1"), receive(), receive(), send(L"220 RESULT " + std::to_wstring(decision)), receive()};
}

} // namespace

TEST(NswClient, SpeaksTheWholeConversationAndPrintsEveryMessage)
{
    {
        StandIn service({send(L"200 NUS 1"), receive(), receive(), send(L"220 RESULT 0"), receive(), receive()});
        ASSERT_TRUE(service.ready());
        const ProcessResult r = runClient(L"--result 0 C:\\packages\\v2.msi");
        EXPECT_EQ(0, r.exitCode) << r.output;
        const std::vector<std::wstring> expected = {L"200 NSW 1", L"210 PACKAGE \"C:\\packages\\v2.msi\"",
                                                    L"220 RESULT 0", L"230 BYE"};
        EXPECT_EQ(expected, service.received());
        for (const char *line : {"< 200 NUS 1\r\n", "> 200 NSW 1\r\n", "> 210 PACKAGE \"C:\\packages\\v2.msi\"\r\n",
                                 "< 220 RESULT 0\r\n", "> 220 RESULT 0\r\n", "> 230 BYE\r\n"})
            EXPECT_TRUE(printed(r, line)) << line << " in\n" << r.output;
    }
    {
        // Transforms, a blank in the path, and a failed installation: reported, then goodbye.
        StandIn service({send(L"200 NUS 1"), receive(), receive(), send(L"220 RESULT 0"), receive(), receive()});
        const ProcessResult r = runClient(L"--result 1603 \"C:\\my packages\\v2.msi\" \"a.mst;:b.mst\"");
        EXPECT_EQ(20, r.exitCode) << r.output;
        const std::vector<std::wstring> expected = {
            L"200 NSW 1", L"210 PACKAGE \"C:\\my packages\\v2.msi\" TRANSFORMS \"a.mst;:b.mst\"", L"220 RESULT 1603",
            L"230 BYE"};
        EXPECT_EQ(expected, service.received());
    }
}

TEST(NswClient, ReportsTheRealInstallersResultAfterTheGoAhead)
{
    // No such package: the Windows Installer fails, and the client reports that number.
    StandIn service({send(L"200 NUS 1"), receive(), receive(), send(L"220 RESULT 0"), receive(), receive()});
    const ProcessResult r = runClient(L"\"C:\\no such folder\\v2.msi\"");
    EXPECT_EQ(20, r.exitCode) << r.output;
    const std::vector<std::wstring> got = service.received();
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(0u, got[2].find(L"220 RESULT "));
    EXPECT_NE(L"220 RESULT 0", got[2]);
    EXPECT_EQ(L"230 BYE", got[3]);
    EXPECT_TRUE(printed(r, "The installer returned ")) << r.output;
}

TEST(NswClient, GivesEachRefusalItsOwnExitCodeAndSaysNoMore)
{
    const struct {
        long decision;
        int exitCode;
    } refusals[] = {{28401, 10}, {28402, 11}, {28403, 12}, {28406, 13}, {5, 14}};
    for (const auto &refusal : refusals) {
        SCOPED_TRACE(refusal.decision);
        StandIn service(greetedAndDecided(refusal.decision));
        const ProcessResult r = runClient(L"--result 0 C:\\packages\\v2.msi");
        EXPECT_EQ(refusal.exitCode, r.exitCode) << r.output;
        EXPECT_TRUE(printed(r, "Refused (")) << r.output;
        const std::vector<std::wstring> got = service.received();
        ASSERT_EQ(3u, got.size());
        EXPECT_EQ(kClosed, got[2]) << "the client closes after a refusal without another message";
    }
}

TEST(NswClient, TellsADroppedConnectionFromASilentOneAndAMissingPipe)
{
    {
        StandIn service({send(L"200 NUS 1"), receive(), receive(), hangUp()});
        const ProcessResult r = runClient(L"--result 0 C:\\packages\\v2.msi");
        EXPECT_EQ(3, r.exitCode) << r.output;
        EXPECT_TRUE(printed(r, "closed the connection instead of sending its decision")) << r.output;
    }
    {
        StandIn service({hangUp()});
        const ProcessResult r = runClient(L"--result 0 C:\\packages\\v2.msi");
        EXPECT_EQ(3, r.exitCode) << r.output;
        // Depending on how soon the stand-in hangs up, before or after the client set up the pipe.
        EXPECT_TRUE(printed(r, "instead of sending its greeting") || printed(r, "right after it was made")) << r.output;
    }
    {
        StandIn service({pause(1500)});
        const ULONGLONG start = GetTickCount64();
        const ProcessResult r = runClient(L"--reply-timeout 300 --result 0 C:\\packages\\v2.msi");
        EXPECT_EQ(5, r.exitCode) << r.output;
        EXPECT_LT(GetTickCount64() - start, 2500u);
    }
    {
        StandIn service({send(L"HELLO")});
        EXPECT_EQ(4, runClient(L"--result 0 C:\\packages\\v2.msi").exitCode);
    }
    // No pipe at all.
    const ULONGLONG start = GetTickCount64();
    const ProcessResult r = runClient(L"--connect-timeout 300 --result 0 C:\\packages\\v2.msi");
    EXPECT_EQ(2, r.exitCode) << r.output;
    EXPECT_TRUE(printed(r, "no such pipe")) << r.output;
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

TEST(NswClient, SendsNothingToAPipeThatTheServiceDoesNotHold)
{
    struct Case {
        std::wstring trusted;   // the owner the client is told to expect, or none: the service's
        std::string says;
    } cases[] = {
        {L"", "but the nvupdaterservice service is not running; nothing was sent."},
        {L"--server-pid 4 ", ", not by the service's process 4; nothing was sent."},
    };
    for (const Case &c : cases) {
        StandIn squatter({receive()});
        const ProcessResult r =
            runProcess(L"\"" + clientExe() + L"\" " + c.trusted + L"--result 0 C:\\packages\\v2.msi", 30000);
        EXPECT_EQ(6, r.exitCode) << r.output;
        EXPECT_TRUE(printed(r, "The pipe is held by process " + std::to_string(GetCurrentProcessId()))) << r.output;
        EXPECT_TRUE(printed(r, c.says)) << r.output;
        const std::vector<std::wstring> got = squatter.received();
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(kClosed, got[0]) << "the client wrote to a pipe it does not trust";
    }
}

TEST(NswClient, GivesUpOnABusyPipeAtItsLimit)
{
    StandIn service({pause(1500)});
    // Another client takes the only instance first.
    UniqueFile first;
    ASSERT_TRUE(waitFor(
        [&] {
            first.reset(CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            return first.valid();
        },
        5000));
    const ULONGLONG start = GetTickCount64();
    const ProcessResult r = runClient(L"--connect-timeout 500 --result 0 C:\\packages\\v2.msi");
    EXPECT_EQ(2, r.exitCode) << r.output;
    EXPECT_TRUE(printed(r, "another client holds the pipe")) << r.output;
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

TEST(NswClient, RawModeSendsMessagesVerbatim)
{
    // A message of exactly 4,096 bytes arrives whole; a lower-case identity is sent as given.
    const std::wstring big(2048, L'x');
    {
        StandIn service({send(L"200 NUS 1"), receive(), receive(), receive(), hangUp()});
        const ProcessResult r = runClient(L"--raw --drain \"200 nsw 7\" " + big + L" \"230 BYE \"");
        EXPECT_EQ(0, r.exitCode) << r.output;
        const std::vector<std::wstring> expected = {L"200 nsw 7", big, L"230 BYE "};
        EXPECT_EQ(expected, service.received());
        EXPECT_TRUE(printed(r, "< 200 NUS 1\r\n> 200 nsw 7\r\n")) << r.output;
        EXPECT_TRUE(printed(r, "The service closed the connection.")) << r.output;
    }
    {
        // A reply is read after a 210 message; with --read-each after every message.
        StandIn service({send(L"200 NUS 1"), receive(), send(L"one"), receive(), send(L"220 RESULT 28402"), hangUp()});
        const ProcessResult r = runClient(L"--raw --read-each \"200 NSW 1\" \"210 PACKAGE \"\"C:\\a.msi\"\"\"");
        EXPECT_EQ(0, r.exitCode) << r.output;
        EXPECT_TRUE(printed(r, "< one\r\n")) << r.output;
        EXPECT_TRUE(printed(r, "< 220 RESULT 28402\r\n")) << r.output;
    }
    {
        // A 210 command the service drops the connection on.
        StandIn service({send(L"200 NUS 1"), receive(), receive(), hangUp()});
        const ProcessResult r = runClient(L"--raw \"200 NSW 1\" \"x210 PACKAGE\"\"C:\\a.msi\"\"\"");
        EXPECT_EQ(0, r.exitCode) << "no reply is due after a message that is not a 210 command: " << r.output;
    }
}

TEST(NswClient, ExplainsItsUsageAndExitCodes)
{
    const ProcessResult r = runClient(L"", 10000);
    EXPECT_EQ(1, r.exitCode);
    for (const char *text : {"usage: nswclient", "10  refused 28401", "11  refused 28402", "12  refused 28403",
                             "13  refused 28406", "3  the service closed the connection", "6  the pipe is held by a process",
                             "--raw"})
        EXPECT_TRUE(printed(r, text)) << text;
    EXPECT_EQ(1, runClient(L"--raw", 10000).exitCode);
    EXPECT_EQ(1, runClient(L"--bogus a.msi", 10000).exitCode);
}
