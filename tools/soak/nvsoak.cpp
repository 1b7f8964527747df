// nvsoak: many sessions against the running updater service, of four kinds in a fixed mix, each
// checked for the answer it must get:
//   accepted  the package is accepted; the client reports a failed installation and says goodbye
//   refused   the package is refused
//   silent    the client connects and says nothing; the service must hang up on it
//   killed    a client process of its own gets the go-ahead and is killed before it reports
// It prints one line per kind (sessions run, sessions that went wrong) and the service's handle
// count and private bytes (the process list's figures) before the first session and after the last.
//
// usage: nvsoak --accepted PATH --refused PATH --sessions N [--first I] [--kill-every K] [--silent-every K]
//        (the mix goes on from session number I, so that a soak can be run in batches)
//        nvsoak --free PATH       exit code 0 when PATH can be opened for writing (nobody holds it)
//        nvsoak --killed-client PATH --ready HANDLE     (the client that is killed; internal)
#include "pipeclient.h"
#include "servicefigures.h"

#include "tiny/unique.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

using namespace nswclient;
namespace protocol = nvupdater::protocol;

namespace {

const DWORD kConnectMs = 15000;
const DWORD kReplyMs = 30000;
// The service drops a silent client after its 10 s limit for the greeting's reply.
const DWORD kSilentEndMs = 20000;

enum Kind { Accepted, Refused, Silent, Killed, KindCount };
const char *const kKindNames[KindCount] = {"accepted", "refused", "silent", "killed after the go-ahead"};

struct Options {
    std::wstring accepted, refused, killedClient, free;
    long sessions = 0, first = 0, killEvery = 7, silentEvery = 100;
    HANDLE ready = nullptr;
};

std::wstring resultMessage(int value)
{
    wchar_t text[64];
    _snwprintf(text, 63, protocol::kResultFormat, value);
    text[63] = L'\0';
    return text;
}

// Connects, is greeted, names the package: the service's decision, or empty.
std::wstring decide(PipeClient &client, const std::wstring &package)
{
    std::wstring message;
    if (!client.connect(kPipeName, kConnectMs) || client.receive(message, kReplyMs) != PipeStatus::Ok ||
        client.send(protocol::kClientGreeting, kReplyMs) != PipeStatus::Ok ||
        client.send(protocol::kPackagePrefix + package + L"\"", kReplyMs) != PipeStatus::Ok ||
        client.receive(message, kReplyMs) != PipeStatus::Ok)
        return std::wstring();
    return message;
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
        else
            return false;
    }
    if (!options.killedClient.empty())
        return options.ready != nullptr;
    if (!options.free.empty())
        return true;
    return !options.accepted.empty() && !options.refused.empty() && options.sessions > 0 && options.first >= 0;
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
    return 0;
}
