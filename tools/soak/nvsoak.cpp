// nvsoak: many sessions against the running updater service, of four kinds in a fixed mix, each
// checked for the answer it must get:
//   accepted  the package is accepted; the client reports a failed installation and says goodbye
//   refused   the package is refused
//   silent    the client connects and says nothing; the service must hang up on it
//   killed    a client process of its own gets the go-ahead and is killed before it reports
//   failed removal  the package is accepted, the msi.dll test double is told to fail the removal,
//             the client reports; the service must hang up and keep the package held. Then, the
//             fault cleared, a refused session, whose clean-up must remove the advertisement and
//             let go of the package
// It prints one line per kind (sessions run, sessions that went wrong), the holds kept after a
// failed removal and released after the clean-up, and the service's handle count and private bytes
// (the process list's figures) before the first session and after the last.
// With --clients N, N clients at once run the sessions (accepted and refused by turns), each waiting
// for the pipe as the reference client does (10 s); it prints the sessions that went wrong, those
// that did not get the pipe within that limit and the longest wait for it.
//
// usage: nvsoak --accepted PATH --refused PATH --sessions N [--first I] [--kill-every K] [--silent-every K]
//               [--unremoved-every K] [--clients N]
//        (the mix goes on from session number I, so that a soak can be run in batches)
//        nvsoak --free PATH       exit code 0 when PATH can be opened for writing (nobody holds it)
//        nvsoak --killed-client PATH --ready HANDLE     (the client that is killed; internal)
#include "pipeclient.h"
#include "servicefigures.h"

#include "tiny/unique.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace nswclient;
namespace protocol = nvupdater::protocol;

namespace {

const DWORD kConnectMs = 15000;
const DWORD kReplyMs = 30000;
// The service drops a silent client after its 10 s limit for the greeting's reply.
const DWORD kSilentEndMs = 20000;
// How long the reference client waits for the pipe.
const DWORD kReferenceConnectMs = 10000;
// The msi.dll test double's settings (in this program's own registry view, which is the service's).
const wchar_t kDoubleSettings[] = L"SOFTWARE\\NorvoTest\\MsiDouble";
const DWORD kRemovalFault = 1601;

enum Kind { Accepted, Refused, Silent, Killed, Unremoved, KindCount };
const char *const kKindNames[KindCount] = {"accepted", "refused", "silent", "killed after the go-ahead",
                                           "failed removal"};

struct Options {
    std::wstring accepted, refused, killedClient, free;
    long sessions = 0, first = 0, killEvery = 7, silentEvery = 100, unremovedEvery = 0, clients = 0;
    HANDLE ready = nullptr;
};

// What the failed removals showed: holds the service kept, holds the clean-up then released.
long g_kept = 0, g_released = 0;

std::wstring resultMessage(int value)
{
    wchar_t text[64];
    _snwprintf(text, 63, protocol::kResultFormat, value);
    text[63] = L'\0';
    return text;
}

// Is greeted on a connected pipe and names the package: the service's decision, or empty.
std::wstring ask(PipeClient &client, const std::wstring &package)
{
    std::wstring message;
    if (client.receive(message, kReplyMs) != PipeStatus::Ok ||
        client.send(protocol::kClientGreeting, kReplyMs) != PipeStatus::Ok ||
        client.send(protocol::kPackagePrefix + package + L"\"", kReplyMs) != PipeStatus::Ok ||
        client.receive(message, kReplyMs) != PipeStatus::Ok)
        return std::wstring();
    return message;
}

// Connects, is greeted, names the package: the service's decision, or empty.
std::wstring decide(PipeClient &client, const std::wstring &package)
{
    return client.connect(kPipeName, kConnectMs) ? ask(client, package) : std::wstring();
}

bool hungUp(PipeClient &client, DWORD timeoutMs)
{
    std::wstring message;
    return client.receive(message, timeoutMs) == PipeStatus::Closed;
}

bool runAccepted(const Options &options)
{
    PipeClient client;
    return decide(client, options.accepted) == resultMessage(protocol::ResultGoAhead) &&
           client.send(resultMessage(1603), kReplyMs) == PipeStatus::Ok &&
           client.send(protocol::kBye, kReplyMs) == PipeStatus::Ok && hungUp(client, kReplyMs);
}

bool runRefused(const Options &options)
{
    PipeClient client;
    const std::wstring decision = decide(client, options.refused);
    return !decision.empty() && decision != resultMessage(protocol::ResultGoAhead) && hungUp(client, kReplyMs);
}

// 0 when `path` can be opened for writing now, else the error (32 while the service holds it).
DWORD openForWriting(const std::wstring &path)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    norvo::tiny::UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr));
    return writer ? ERROR_SUCCESS : GetLastError();
}

// Tells the double to fail every removal of an advertisement (`error`), or no longer (0).
bool failRemovals(DWORD error)
{
    norvo::tiny::UniqueKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDoubleSettings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    if (error == 0)
        return RegDeleteValueW(key.get(), L"ScriptResult") == ERROR_SUCCESS;
    return RegSetValueExW(key.get(), L"ScriptResult", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&error),
                          sizeof(error)) == ERROR_SUCCESS;
}

// The go-ahead, a removal that fails: hung up on, the package still held. Then a refused session,
// whose clean-up removes the advertisement: the package is let go.
bool runUnremoved(const Options &options)
{
    bool held = false;
    {
        PipeClient client;
        if (decide(client, options.accepted) != resultMessage(protocol::ResultGoAhead))
            return false;
        const bool failing = failRemovals(kRemovalFault);
        held = failing && client.send(resultMessage(1603), kReplyMs) == PipeStatus::Ok && hungUp(client, kReplyMs) &&
               openForWriting(options.accepted) == ERROR_SHARING_VIOLATION;
        if (failing && !failRemovals(0))
            return false;
    }
    if (held)
        ++g_kept;
    const bool refused = runRefused(options);
    const bool released = openForWriting(options.accepted) == ERROR_SUCCESS;
    if (released)
        ++g_released;
    return held && refused && released;
}

bool runSilent()
{
    PipeClient client;
    std::wstring greeting;
    return client.connect(kPipeName, kConnectMs) && client.receive(greeting, kReplyMs) == PipeStatus::Ok &&
           hungUp(client, kSilentEndMs);
}

// A client process of this program's own that gets the go-ahead, says so, and is killed.
bool runKilled(const Options &options)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    norvo::tiny::UniqueHandle ready(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    wchar_t self[MAX_PATH] = {};
    if (!ready || GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return false;
    wchar_t handle[32];
    _snwprintf(handle, 31, L"%lu", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(ready.get())));
    handle[31] = L'\0';
    std::wstring command = L"\"" + std::wstring(self) + L"\" --killed-client \"" + options.accepted + L"\" --ready " + handle;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return false;
    norvo::tiny::UniqueHandle child(process.hProcess);
    norvo::tiny::UniqueHandle thread(process.hThread);
    const HANDLE waits[] = {ready.get(), child.get()};
    const bool goAhead = WaitForMultipleObjects(2, waits, FALSE, kReplyMs + kConnectMs) == WAIT_OBJECT_0;
    TerminateProcess(child.get(), 9);
    WaitForSingleObject(child.get(), kReplyMs);
    return goAhead;
}

int killedClient(const Options &options)
{
    PipeClient client;
    if (decide(client, options.killedClient) != resultMessage(protocol::ResultGoAhead))
        return 1;
    SetEvent(options.ready);
    Sleep(kReplyMs);   // killed long before this ends
    return 2;
}

Kind kindOf(const Options &options, long index)
{
    if (options.silentEvery > 0 && index % options.silentEvery == options.silentEvery - 1)
        return Silent;
    if (options.unremovedEvery > 0 && index % options.unremovedEvery == options.unremovedEvery - 1)
        return Unremoved;
    if (options.killEvery > 0 && index % options.killEvery == options.killEvery - 1)
        return Killed;
    return index % 2 == 0 ? Accepted : Refused;
}

bool runOne(const Options &options, Kind kind)
{
    switch (kind) {
    case Accepted:
        return runAccepted(options);
    case Refused:
        return runRefused(options);
    case Silent:
        return runSilent();
    case Unremoved:
        return runUnremoved(options);
    default:
        return runKilled(options);
    }
}

bool parse(int argc, wchar_t **argv, Options &options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring arg = argv[i], value = argv[i + 1];
        if (arg == L"--accepted")
            options.accepted = value;
        else if (arg == L"--refused")
            options.refused = value;
        else if (arg == L"--killed-client")
            options.killedClient = value;
        else if (arg == L"--ready")
            options.ready = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::wcstoul(value.c_str(), nullptr, 10)));
        else if (arg == L"--sessions")
            options.sessions = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--free")
            options.free = value;
        else if (arg == L"--first")
            options.first = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--kill-every")
            options.killEvery = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--silent-every")
            options.silentEvery = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--unremoved-every")
            options.unremovedEvery = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--clients")
            options.clients = std::wcstol(value.c_str(), nullptr, 10);
        else
            return false;
    }
    if (!options.killedClient.empty())
        return options.ready != nullptr;
    if (!options.free.empty())
        return true;
    return !options.accepted.empty() && !options.refused.empty() && options.sessions > 0 && options.first >= 0;
}

// One of the clients that run at once: its share of the sessions, accepted and refused by turns.
struct Concurrent {
    const Options *options = nullptr;
    long index = 0;
    long sessions = 0, wrong = 0, late = 0;
    ULONGLONG longestWaitMs = 0;
};

DWORD WINAPI runConcurrent(void *context)
{
    Concurrent &client = *static_cast<Concurrent *>(context);
    for (long i = 0; i < client.sessions; ++i) {
        const bool accepted = (client.index + i) % 2 == 0;
        PipeClient pipe;
        const ULONGLONG began = GetTickCount64();
        const bool connected = pipe.connect(kPipeName, kReferenceConnectMs);
        const ULONGLONG waited = GetTickCount64() - began;
        if (waited > client.longestWaitMs)
            client.longestWaitMs = waited;
        if (!connected) {
            ++client.late;
            ++client.wrong;
            continue;
        }
        const std::wstring decision = ask(pipe, accepted ? client.options->accepted : client.options->refused);
        bool right = false;
        if (accepted)
            right = decision == resultMessage(protocol::ResultGoAhead) &&
                    pipe.send(resultMessage(1603), kReplyMs) == PipeStatus::Ok &&
                    pipe.send(protocol::kBye, kReplyMs) == PipeStatus::Ok && hungUp(pipe, kReplyMs);
        else
            right = !decision.empty() && decision != resultMessage(protocol::ResultGoAhead) && hungUp(pipe, kReplyMs);
        if (!right)
            ++client.wrong;
    }
    return 0;
}

// The sessions shared out among `options.clients` clients at once.
int runAtOnce(const Options &options)
{
    std::vector<Concurrent> clients(static_cast<size_t>(options.clients));
    std::vector<norvo::tiny::UniqueHandle> threads;
    for (long i = 0; i < options.clients; ++i) {
        Concurrent &client = clients[static_cast<size_t>(i)];
        client.options = &options;
        client.index = i;
        client.sessions = options.sessions / options.clients + (i < options.sessions % options.clients ? 1 : 0);
        threads.emplace_back(CreateThread(nullptr, 0, runConcurrent, &client, 0, nullptr));
        if (!threads.back())
            return 2;
    }
    long sessions = 0, wrong = 0, late = 0;
    ULONGLONG longest = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        WaitForSingleObject(threads[i].get(), INFINITE);
        sessions += clients[i].sessions;
        wrong += clients[i].wrong;
        late += clients[i].late;
        if (clients[i].longestWaitMs > longest)
            longest = clients[i].longestWaitMs;
    }
    std::printf("clients,%ld,%ld,%ld,%ld,%lu\n", options.clients, sessions, wrong, late,
                static_cast<unsigned long>(longest));
    return 0;
}

void printFigures(const char *when, const nvbench::ProcessFigures &figures)
{
    std::printf("figures,%s,%lu,%lu\n", when, figures.listedHandles, static_cast<unsigned long>(figures.listedPrivate));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: nvsoak --accepted PATH --refused PATH --sessions N [--first I] [--kill-every K] [--silent-every K]\n"
                   "              [--unremoved-every K] [--clients N]\n"
                   "       nvsoak --free PATH\n",
                   stderr);
        return 1;
    }
    if (!options.killedClient.empty())
        return killedClient(options);
    if (!options.free.empty()) {
        norvo::tiny::UniqueFile writer(CreateFileW(options.free.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
        std::printf("free,%lu\n", writer ? 0ul : static_cast<unsigned long>(GetLastError()));
        return writer ? 0 : 3;
    }
    const DWORD pid = nvbench::ServicePid();
    if (pid == 0) {
        std::fputs("nvsoak: the service is not running\n", stderr);
        return 2;
    }
    if (options.clients > 0)
        return runAtOnce(options);
    long run[KindCount] = {}, wrong[KindCount] = {};
    printFigures("start", nvbench::Measure(pid));
    for (long i = 0; i < options.sessions; ++i) {
        const Kind kind = kindOf(options, options.first + i);
        ++run[kind];
        if (!runOne(options, kind)) {
            ++wrong[kind];
            std::printf("session %ld (%s) went wrong\n", i + 1, kKindNames[kind]);
        }
    }
    // The last session's end: the service hangs up first and writes its last lines after that.
    Sleep(1000);
    printFigures("end", nvbench::Measure(pid));
    for (int kind = 0; kind < KindCount; ++kind)
        std::printf("kind,%s,%ld,%ld\n", kKindNames[kind], run[kind], wrong[kind]);
    std::printf("holds,%ld,%ld\n", g_kept, g_released);
    return 0;
}
