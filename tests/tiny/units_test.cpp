// The library's small facilities on the real platform: system error texts, the lock, the thread
// starter, the registry operations, the event log writer and the single-instance event.
#include "frameworktest.h"
#include "testsupport.h"
#include "tiny/errortext.h"
#include "tiny/eventlog.h"
#include "tiny/nmutex.h"
#include "tiny/registry.h"
#include "tiny/service.h"
#include "tiny/threads.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>
#include <vector>

using namespace norvo::tiny;

namespace {

std::string rawSystemText(DWORD code)
{
    wchar_t message[256] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, message,
                             256, nullptr);
    return nvtest::narrow(std::wstring(message, n));
}

// Handles open in this process, found by asking about every small handle value.
int openHandleCount()
{
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

} // namespace

TEST(ErrorText, FoldsEveryMessageOntoOneLineAfterItsCode)
{
    int withText = 0;
    for (long code = 0; code < 16000; ++code) {
        const std::string raw = rawSystemText(static_cast<DWORD>(code));
        const std::string text = systemErrorText(code);
        const std::string head = "(" + std::to_string(code) + ")";
        ASSERT_EQ(0u, text.find(head)) << text;
        ASSERT_EQ(std::string::npos, text.find_first_of("\r\n")) << code;
        ASSERT_EQ(std::string::npos, text.find("  ")) << code;
        ASSERT_NE(' ', text.back()) << code;
        if (raw.empty()) {
            ASSERT_EQ(head, text);
            continue;
        }
        ++withText;
        ASSERT_EQ(0u, text.find(head + " ")) << code;
    }
    EXPECT_GT(withText, 100);
    EXPECT_EQ("(5) Access denied.", systemErrorText(5)); // LANG is pinned: Wine's English wording
    // No text: the code alone, signed, without a trailing blank.
    EXPECT_EQ("(-1)", systemErrorText(-1));
    EXPECT_EQ("(2147483647)", systemErrorText(0x7FFFFFFF));
}

TEST(ErrorText, LastErrorTextTakesItsKindsSourceAndKeepsAtMost255Bytes)
{
    SetLastError(ERROR_ACCESS_DENIED);
    WSASetLastError(WSAECONNREFUSED);
    EXPECT_EQ(systemErrorText(WSAECONNREFUSED), lastErrorText(1));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_STREQ("(5) Access denied.", lastErrorText(0));
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(systemErrorText(2).c_str(), lastErrorText(7)); // any kind but 1 reads GetLastError

    // No system text is that long under Wine, so the cut is proven on the buffer lastErrorText uses.
    const std::string longText(300, 'x');
    EXPECT_EQ(std::string(255, 'x'), detail::keepInThreadBuffer(longText));
    EXPECT_EQ(std::string(255, 'x'), detail::keepInThreadBuffer(std::string(255, 'x')));
    // A two-byte character across the cut is left out whole rather than split.
    EXPECT_EQ(std::string(254, 'y'), detail::keepInThreadBuffer(std::string(254, 'y') + "\xC3\xA9" + "zz"));

    // Each thread has its own buffer: another thread's call leaves ours alone.
    const char *mine = detail::keepInThreadBuffer("mine");
    static const char *theirs = nullptr;
    UniqueHandle thread;
    ASSERT_TRUE(startThread([](void *) { theirs = detail::keepInThreadBuffer("theirs"); }, nullptr, &thread,
                            ThreadAttributes()));
    ASSERT_TRUE(waitAndClose(thread));
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ("mine", mine);
}

namespace {
NMutex sharedLock;
long sharedCounter = 0;
volatile LONG tryLockAnswer = -1;
} // namespace

TEST(Locks, NMutexExcludesOtherThreadsButNotItsHolder)
{
    const int kThreads = 4, kRounds = 20000;
    sharedCounter = 0;
    int roundsEach = kRounds;
    std::vector<UniqueHandle> threads(kThreads);
    for (UniqueHandle &t : threads)
        ASSERT_TRUE(startThread(
            [](void *context) {
                const int rounds = *static_cast<const int *>(context);
                for (int i = 0; i < rounds; ++i) {
                    NMutexLock hold(sharedLock);
                    long seen = sharedCounter;
                    if (i % 64 == 0)
                        SwitchToThread(); // invite another thread into the gap, which the lock closes
                    sharedCounter = seen + 1;
                }
            },
            &roundsEach, &t, ThreadAttributes()));
    for (UniqueHandle &t : threads)
        ASSERT_TRUE(waitAndClose(t));
    EXPECT_EQ(kThreads * kRounds, sharedCounter);

    // Held here: another thread cannot take it; this one can again (a critical section nests).
    sharedLock.acquire();
    EXPECT_TRUE(sharedLock.tryEnter());
    sharedLock.release();
    UniqueHandle probe;
    ASSERT_TRUE(startThread([](void *) { tryLockAnswer = sharedLock.tryLock() ? 1 : 0; }, nullptr, &probe,
                            ThreadAttributes()));
    ASSERT_TRUE(waitAndClose(probe));
    EXPECT_EQ(0, tryLockAnswer);
    sharedLock.unlock();
    ASSERT_TRUE(startThread(
        [](void *) {
            tryLockAnswer = sharedLock.tryLock() ? 1 : 0;
            if (tryLockAnswer)
                sharedLock.unlock();
        },
        nullptr, &probe, ThreadAttributes()));
    ASSERT_TRUE(waitAndClose(probe));
    EXPECT_EQ(1, tryLockAnswer);
}

namespace {
volatile LONG threadsRun = 0;
volatile LONG argumentSum = 0;
} // namespace

TEST(Threads, StartThreadRunsTheRoutineAndLeavesOnlyTheHandlesAskedFor)
{
    threadsRun = 0;
    argumentSum = 0;
    // Each thread gets its own number through its context.
    static int numbers[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto routine = [](void *number) {
        InterlockedExchangeAdd(&argumentSum, *static_cast<int *>(number));
        InterlockedIncrement(&threadsRun);
    };
    ThreadAttributes attributes;
    attributes.stackSize = 64 * 1024;
    // Warm up whatever the runtime opens on its first thread.
    UniqueHandle first;
    ASSERT_TRUE(startThread(routine, &numbers[0], &first, attributes));
    ASSERT_TRUE(waitAndClose(first));

    const int before = openHandleCount();
    for (int i = 1; i <= 10; ++i)
        ASSERT_TRUE(startThread(routine, &numbers[i], nullptr, attributes));
    ASSERT_TRUE(nvtest::waitFor([] { return threadsRun == 11; }, 5000));
    EXPECT_EQ(55, argumentSum);
    // The threads' own ends follow their last step; none of them may leave a handle behind.
    EXPECT_TRUE(nvtest::waitFor([&] { return openHandleCount() == before; }, 5000)) << "a thread handle was left open";

    UniqueHandle kept;
    ASSERT_TRUE(startThread([](void *) { Sleep(100); }, nullptr, &kept, attributes));
    ASSERT_TRUE(kept.valid());
    EXPECT_EQ(before + 1, openHandleCount());
    DWORD exitCode = 1;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(kept.get(), 5000));
    EXPECT_TRUE(GetExitCodeThread(kept.get(), &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_TRUE(waitAndClose(kept));
    EXPECT_FALSE(kept.valid());
    EXPECT_EQ(before, openHandleCount());

    // No thread, nothing to wait for: a wait on the empty handle would fail (and report false).
    UniqueHandle none;
    EXPECT_TRUE(waitAndClose(none));
    EXPECT_FALSE(none.valid());
    UniqueHandle notAHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x3ffc)));
    EXPECT_FALSE(waitAndClose(notAHandle));
}

namespace {
const char kTestKey[] = "SOFTWARE\\NorvoFrameworkTest\\Values";
}

TEST(Registry, WritesAndReadsValuesAndReportsWhatIsMissing)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
    ASSERT_TRUE(writeRegistryDword(HKEY_LOCAL_MACHINE, kTestKey, "Number", 0xCAFE0007));
    ASSERT_TRUE(writeRegistryString(HKEY_LOCAL_MACHINE, kTestKey, "Text", "hello value"));
    ASSERT_TRUE(writeRegistryDword(HKEY_LOCAL_MACHINE, kTestKey, "Number", 42)); // written again, replaced

    DWORD number = 0;
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, "Number", sizeof(number), &number));
    EXPECT_EQ(42u, number);
    char text[64];
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, "Text", sizeof(text), text));
    EXPECT_STREQ("hello value", text);
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, kTestKey, "Text", RRF_RT_ANY, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(12u, size); // the text and its NUL

    // Missing value, missing key, too small a buffer: false, and an empty buffer.
    memset(text, 'q', sizeof(text));
    EXPECT_FALSE(readRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, "Absent", sizeof(text), text));
    EXPECT_EQ('\0', text[0]);
    memset(text, 'q', sizeof(text));
    EXPECT_FALSE(readRegistryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\NorvoFrameworkTest\\Nowhere", "Text", sizeof(text), text));
    EXPECT_EQ('\0', text[0]);
    memset(text, 'q', sizeof(text));
    EXPECT_FALSE(readRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, "Text", 4, text));
    EXPECT_EQ('\0', text[0]);

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
}

TEST(EventLog, WriterRegistersItsSourceAndReportsUntilClosed)
{
    const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Norvo Writer Test";
    const std::wstring testStderr = nvtest::suiteDir() + L"\\test.err";
    const size_t mark = fwtest::fileSize(testStderr);
    char ownPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, ownPath, sizeof(ownPath));

    WindowsEventLogWriter writer("Application", "Norvo Writer Test", nullptr);
    DWORD types = 0;
    char messageFile[2048];
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kSourceKey, "TypesSupported", sizeof(types), &types));
    EXPECT_EQ(7u, types);
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile", sizeof(messageFile), messageFile));
    EXPECT_STREQ(ownPath, messageFile);

    EXPECT_TRUE(writer.report(EVENTLOG_ERROR_TYPE, 0xC0000002, "first line\nsecond \"line\"", nullptr, 0));
    EXPECT_TRUE(writer.close());
    EXPECT_TRUE(writer.close()); // nothing open any more
    EXPECT_FALSE(writer.report(EVENTLOG_ERROR_TYPE, 0xC0000002, "never printed", nullptr, 0));
    EXPECT_FALSE(writer.open(nullptr));
    EXPECT_TRUE(writer.open("Norvo Writer Test"));
    EXPECT_TRUE(writer.report(EVENTLOG_ERROR_TYPE, 0xC0000002, "after reopening", nullptr, 0));
    EXPECT_TRUE(writer.close());

    // The message file a caller names is written as given.
    EXPECT_TRUE(writer.registerSource("Application", "Norvo Writer Test", "C:\\given\\messages.dll"));
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile", sizeof(messageFile), messageFile));
    EXPECT_STREQ("C:\\given\\messages.dll", messageFile);
    EXPECT_FALSE(writer.registerSource(nullptr, "Norvo Writer Test", nullptr));

    const std::vector<std::string> events = fwtest::eventTexts(testStderr, mark);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("first line\nsecond \"line\"", events[0]);
    EXPECT_EQ("after reopening", events[1]);
}

TEST(InstanceEvent, OneHolderPerNameInTheGlobalNamespaceThatOthersMayOnlyWaitOn)
{
    UniqueHandle first = createInstanceEvent("NorvoUnitInstance", 0);
    ASSERT_TRUE(first.valid());
    EXPECT_FALSE(createInstanceEvent("NorvoUnitInstance", 0).valid());
    EXPECT_FALSE(createInstanceEvent("NorvoUnitInstance", 8).valid()); // bit 3 keeps the global name
    UniqueHandle opened(OpenEventA(SYNCHRONIZE, FALSE, "Global\\NorvoUnitInstance"));
    EXPECT_TRUE(opened.valid());
    opened.reset();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.get(), 0)); // not signalled

    // Its DACL: SYSTEM and Administrators everything, Everyone only SYNCHRONIZE (no signalling, no
    // change of the list), nothing inherited.
    BYTE buffer[4096];
    DWORD needed = 0;
    ASSERT_TRUE(GetKernelObjectSecurity(first.get(), DACL_SECURITY_INFORMATION, buffer, sizeof(buffer), &needed))
        << GetLastError() << " needed " << needed;
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    const struct {
        WELL_KNOWN_SID_TYPE who;
        DWORD mask;
    } expected[] = {{WinLocalSystemSid, EVENT_ALL_ACCESS}, {WinBuiltinAdministratorsSid, EVENT_ALL_ACCESS},
                    {WinWorldSid, SYNCHRONIZE}};
    ASSERT_EQ(3, dacl->AceCount);
    for (DWORD i = 0; i < 3; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType) << i;
        EXPECT_EQ(expected[i].mask, ace->Mask) << i;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].who, nullptr, sid, &sidSize));
        EXPECT_TRUE(EqualSid(sid, &ace->SidStart)) << i;
    }

    first.reset();
    UniqueHandle again = createInstanceEvent("NorvoUnitInstance", 0);
    EXPECT_TRUE(again.valid()); // free once its holder closed it

    // Low flag bits: the name stays local to the session.
    UniqueHandle local = createInstanceEvent("NorvoUnitLocal", 1);
    ASSERT_TRUE(local.valid());
    UniqueHandle byName(OpenEventA(SYNCHRONIZE, FALSE, "NorvoUnitLocal"));
    EXPECT_TRUE(byName.valid());
    EXPECT_FALSE(createInstanceEvent("NorvoUnitLocal", 2).valid());
}
