// The service against a client that means harm, through the real pipe: paths that would make the
// service open something other than a plain local file, files it cannot hold unchanged, a client
// that says nothing, the pipe's own access list, and a stop in the middle of a conversation.
#include "conversation.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

using namespace brokertest;

namespace {

std::wstring suiteFile(const std::wstring &name) { return nvtest::suiteDir() + L"\\" + name; }

// The lines of a session whose path the service refuses to hold.
std::vector<std::string> refusedUnheld(const std::wstring &path, DWORD why)
{
    std::vector<std::string> lines = received(nvtest::narrow(path));
    lines.insert(lines.end(), {"Debug - Result of locking file: " + std::to_string(why),
                               "Error - Package refused: the file can't be held unchanged.",
                               "Debug - Result of unlocking file: 87", "Comm - Pipe closed."});
    return lines;
}

std::string decide(Conversation &session, const std::wstring &path)
{
    session.send(L"200 NSW 1");
    session.send(L"210 PACKAGE \"" + path + L"\"");
    return session.receive();
}

// A pipe of the attacker's: the service must never connect to it.
class TrapPipe {
public:
    TrapPipe()
        : pipe_(CreateNamedPipeW(name(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE, 1, 512, 512, 0, nullptr)),
          event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        overlapped_.hEvent = event_.get();
        ConnectNamedPipe(pipe_.get(), &overlapped_);
    }
    ~TrapPipe()
    {
        CancelIoEx(pipe_.get(), &overlapped_);
        DWORD unused = 0;
        GetOverlappedResult(pipe_.get(), &overlapped_, &unused, TRUE);
    }
    static const wchar_t *name() { return L"\\\\.\\pipe\\nvtest-trap"; }
    bool visited() const { return WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }

private:
    norvo::tiny::UniqueFile pipe_;
    norvo::tiny::UniqueHandle event_;
    OVERLAPPED overlapped_ = {};
};

TEST(UntrustedPaths, EveryPathThatIsNoPlainLocalFileIsRefusedBeforeItIsOpened)
{
    const std::wstring notes = suiteFile(L"untrusted notes.txt");
    ASSERT_TRUE(nvtest::writeFile(notes, "not a package\r\n"));
    CreateDirectoryW(suiteFile(L"sub").c_str(), nullptr);
    const std::wstring linked = suiteFile(L"linked.txt");
    DeleteFileW(linked.c_str());
    ASSERT_TRUE(CreateHardLinkW(linked.c_str(), notes.c_str(), nullptr));
    TrapPipe trap;

    struct Case {
        std::wstring path;
        DWORD why;
    } cases[] = {
        {TrapPipe::name(), ERROR_BAD_PATHNAME},
        {L"\\\\?\\" + notes, ERROR_BAD_PATHNAME},
        {L"\\\\.\\C:", ERROR_BAD_PATHNAME},
        {L"\\\\127.0.0.1\\share\\p.msi", ERROR_BAD_PATHNAME},
        {L"untrusted notes.txt", ERROR_BAD_PATHNAME},
        {L"C:untrusted notes.txt", ERROR_BAD_PATHNAME},
        {suiteFile(L"sub\\..\\untrusted notes.txt"), ERROR_BAD_PATHNAME},
        {suiteFile(L".\\untrusted notes.txt"), ERROR_BAD_PATHNAME},
        {notes + L":hidden", ERROR_BAD_PATHNAME},
        {notes + L"::$DATA", ERROR_BAD_PATHNAME},
        {suiteFile(L"sub/../untrusted notes.txt"), ERROR_BAD_PATHNAME},
        {notes + L".", ERROR_BAD_PATHNAME},
        {suiteFile(L"sub"), ERROR_ACCESS_DENIED},                 // a folder
        {linked, ERROR_TOO_MANY_LINKS},                           // a second name for a file
        {suiteFile(L"symlinked.txt"), ERROR_CANT_RESOLVE_FILENAME},   // resolves elsewhere
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nvtest::narrow(c.path));
        Conversation session;
        EXPECT_EQ("220 RESULT 28401", decide(session, c.path));
        EXPECT_LINES(session.closedLog(), refusedUnheld(c.path, c.why));
    }
    EXPECT_FALSE(trap.visited()) << "the service connected to the attacker's pipe";
    DeleteFileW(linked.c_str());
}

TEST(UntrustedPaths, ShortNamesAndLetterCaseOfThePlainPathAreHeld)
{
    const std::wstring folder = suiteFile(L"A folder with a long name");
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring file = folder + L"\\Plain notes.txt";
    ASSERT_TRUE(nvtest::writeFile(file, "not a package\r\n"));
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(file.c_str(), shortName, MAX_PATH));
    std::wstring upper = file;
    for (wchar_t &c : upper)
        c = towupper(c);
    for (const std::wstring &path : {std::wstring(shortName), upper}) {
        SCOPED_TRACE(nvtest::narrow(path));
        Conversation session;
        EXPECT_EQ("220 RESULT 28401", decide(session, path));   // held, then no signature
        std::vector<std::string> lines = session.closedLog();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ("Debug - Result of locking file: 0", lines[3]);
    }
}

TEST(UntrustedPaths, AFileThatAnotherProcessMayWriteIsNotChecked)
{
    const std::wstring open = suiteFile(L"open for writing.msi");
    norvo::tiny::UniqueFile writer(CreateFileW(open.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(writer.valid());
    Conversation session;
    EXPECT_EQ("220 RESULT 28401", decide(session, open));
    EXPECT_LINES(session.closedLog(), refusedUnheld(open, ERROR_SHARING_VIOLATION));
}

TEST(SilentClient, IsDroppedAfterTenSecondsAndTheNextClientIsServedAtOnce)
{
    // The service's wait for the greeting reply begins after the connection and before the client
    // has read the greeting: the first tick is before it, the second after it.
    const ULONGLONG connecting = GetTickCount64();
    Conversation silent;
    ASSERT_EQ("200 NUS 1", silent.greeting());
    const ULONGLONG greeted = GetTickCount64();
    PipeClient next;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), next.open());
    // The connection and its greeting are this machine's round trip just now.
    const ULONGLONG bound = nvtest::withinPace(10000, greeted - connecting);
    ASSERT_TRUE(silent.hungUp(static_cast<DWORD>(bound)));
    const ULONGLONG dropped = GetTickCount64();
    std::printf("a silent client was dropped %u ms after its greeting\n", static_cast<unsigned>(dropped - greeted));
    EXPECT_GE(dropped - connecting, 10000u);
    EXPECT_LE(dropped - greeted, bound) << "dropped at its limit, not at another";
    EXPECT_LINES(silent.closedLog(), {"Comm - Pipe connected.", "Error - Recieving fails with error: 1460",
                                      "Comm - Recieving init command fails.", "Comm - Pipe closed."});
    ASSERT_EQ(0u, next.openWithin(10000));   // limits against a hang only: the bound is below
    const ULONGLONG connected = GetTickCount64();
    std::wstring greeting;
    ASSERT_EQ(0u, next.read(greeting, 10000));
    EXPECT_EQ(L"200 NUS 1", greeting);
    // The next session begins at the main loop's next poll; the greeting alone is the machine's pace.
    const ULONGLONG pace = GetTickCount64() - connected;
    EXPECT_LE(GetTickCount64() - dropped, onePollWithin(pace));
    LogWatch log;
    next.close();
    EXPECT_TRUE(log.waitForLine("Comm - Pipe closed.", 5000));
}

TEST(PipeSecurity, EveryoneMayTalkButOnlySystemAndAdministratorsMayChangeThePipe)
{
    LogWatch log;
    norvo::tiny::UniqueFile client;
    ASSERT_TRUE(nvtest::waitFor(
        [&] {
            client.reset(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            return client.valid();
        },
        3000));
    PACL dacl = nullptr;
    norvo::tiny::UniqueLocal descriptor;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put())));
    // Served before it leaves: a client that comes and goes before the session waits for one (just
    // after a start) is cleared away without a session.
    ASSERT_TRUE(log.waitForLine("Comm - Pipe connected.", 5000));
    client.reset();
    ASSERT_TRUE(log.waitForLine("Comm - Pipe closed.", 15000));
    ASSERT_NE(nullptr, dacl) << "a null list would let anyone do anything";

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    // Everyone: data, attributes and waiting, nothing that changes the pipe or adds an instance.
    const DWORD everyone = 0x0012019b;
    const DWORD full[] = {GENERIC_ALL, FILE_ALL_ACCESS};
    struct Expected {
        const wchar_t *sid;
        bool fullAccess;
    } expected[] = {{L"S-1-5-18", true}, {L"S-1-5-32-544", true}, {L"S-1-1-0", false}};
    ASSERT_EQ(3u, dacl->AceCount);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
        ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        norvo::tiny::UniqueLocal sidText;
        ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, reinterpret_cast<LPWSTR *>(sidText.put())));
        EXPECT_EQ(std::wstring(expected[i].sid), static_cast<const wchar_t *>(sidText.get()));
        if (expected[i].fullAccess) {
            EXPECT_TRUE(ace->Mask == full[0] || ace->Mask == full[1]) << std::hex << ace->Mask;
        } else {
            EXPECT_EQ(everyone, ace->Mask) << std::hex << ace->Mask;
            EXPECT_EQ(0u, ace->Mask & (WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE | DELETE));
        }
    }
}

} // namespace
