// nvbench: runs complete Setup Wrapper sessions back to back against the running updater service
// and reports how long each took from connecting to the decision, the throughput, and the
// service's handle count and private bytes before and after.
//
// usage: nvbench --package PATH (--accept | --refuse) [--sessions N] [--warmup N]
//   --accept   the package is expected to be accepted; each session then reports "220 RESULT 0"
//              and "230 BYE" without installing anything
//   --refuse   the package is expected to be refused (any non-zero decision)
#include "pipeclient.h"

#include "tiny/unique.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace nswclient;
namespace protocol = nvupdater::protocol;
using norvo::tiny::UniqueHandle;
using norvo::tiny::UniqueServiceHandle;

namespace {

const wchar_t kServiceName[] = L"nvupdaterservice";
const DWORD kConnectMs = 10000;
const DWORD kReplyMs = 30000;

struct Options {
    std::wstring package;
    bool accept = false, refuse = false;
    long sessions = 500, warmup = 5;
};

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    bool known = false;
    // The same figures from the system's process list, which some platforms fill where the
    // per-process queries answer 0 for another process.
    ULONG listedHandles = 0;
    SIZE_T listedPrivate = 0;
};

// Handle count and private bytes of `pid` from the system's process list.
void fromProcessList(DWORD pid, ProcessFigures &figures)
{
    using QueryFn = LONG(WINAPI *)(SYSTEM_INFORMATION_CLASS, void *, ULONG, ULONG *);
    auto query = reinterpret_cast<QueryFn>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));
    if (!query)
        return;
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const LONG status = query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0)
            break;
        if (attempt == 3)
            return;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
    }
    for (size_t offset = 0;;) {
        const auto *entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION *>(buffer.data() + offset);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == pid) {
            figures.listedHandles = entry->HandleCount;
            figures.listedPrivate = entry->PrivatePageCount;
            return;
        }
        if (entry->NextEntryOffset == 0)
            return;
        offset += entry->NextEntryOffset;
    }
}

DWORD servicePid()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return 0;
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                          sizeof status, &needed))
        return 0;
    return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

ProcessFigures measure(DWORD pid)
{
    ProcessFigures figures;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process)
        return figures;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    const bool handles = GetProcessHandleCount(process.get(), &figures.handles) != FALSE;
    const bool bytes = GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory),
                                            sizeof memory) != FALSE;
    figures.privateBytes = memory.PrivateUsage;
    figures.known = handles && bytes;
    fromProcessList(pid, figures);
    return figures;
}

double nowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

struct Timing {
    double connectToDecision = 0;  // from the first connect attempt to the decision
    double greetingToDecision = 0; // from the greeting to the decision
};

std::wstring resultMessage(int value)
{
    wchar_t text[64];
    _snwprintf(text, 63, protocol::kResultFormat, value);
    text[63] = L'\0';
    return text;
}

// One whole session; false (with a reason printed) when it did not go as expected.
bool runSession(const Options &options, Timing &timing)
{
    const double start = nowMs();
    PipeClient client;
    if (!client.connect(kPipeName, kConnectMs)) {
        std::printf("connect failed: %lu\n", client.error());
        return false;
    }
    std::wstring message;
    if (client.receive(message, kReplyMs) != PipeStatus::Ok) {
        std::printf("no greeting\n");
        return false;
    }
    const double greeted = nowMs();
    const std::wstring command = protocol::kPackagePrefix + options.package + L"\"";
    if (client.send(protocol::kClientGreeting, kReplyMs) != PipeStatus::Ok || client.send(command, kReplyMs) != PipeStatus::Ok ||
        client.receive(message, kReplyMs) != PipeStatus::Ok) {
        std::printf("no decision\n");
        return false;
    }
    const double decided = nowMs();
    timing.connectToDecision = decided - start;
    timing.greetingToDecision = decided - greeted;
    const bool accepted = message == resultMessage(protocol::ResultGoAhead);
    if (accepted != options.accept) {
        std::printf("unexpected decision: %s\n", utf8(message).c_str());
        return false;
    }
    if (accepted && (client.send(resultMessage(ERROR_SUCCESS), kReplyMs) != PipeStatus::Ok ||
                     client.send(protocol::kBye, kReplyMs) != PipeStatus::Ok)) {
        std::printf("could not finish the conversation\n");
        return false;
    }
    // The service ends every session by disconnecting.
    const PipeStatus end = client.receive(message, kReplyMs);
    if (end != PipeStatus::Closed) {
        std::printf("the service did not disconnect\n");
        return false;
    }
    return true;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(p * (values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

bool parse(int argc, wchar_t **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--accept")
            options.accept = true;
        else if (arg == L"--refuse")
            options.refuse = true;
        else if (arg == L"--package" && i + 1 < argc)
            options.package = argv[++i];
        else if (arg == L"--sessions" && i + 1 < argc)
            options.sessions = std::wcstol(argv[++i], nullptr, 10);
        else if (arg == L"--warmup" && i + 1 < argc)
            options.warmup = std::wcstol(argv[++i], nullptr, 10);
        else
            return false;
    }
    return !options.package.empty() && options.accept != options.refuse && options.sessions > 0 && options.warmup >= 0;
}

void printFigures(const char *when, const ProcessFigures &figures)
{
    if (figures.known)
        std::printf("  service %-28s handles %lu, private bytes %lu", when, figures.handles,
                    static_cast<unsigned long>(figures.privateBytes));
    else
        std::printf("  service %-28s handles and private bytes not measurable", when);
    std::printf(" (process list: handles %lu, private bytes %lu)\n", figures.listedHandles,
                static_cast<unsigned long>(figures.listedPrivate));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: nvbench --package PATH (--accept | --refuse) [--sessions N] [--warmup N]\n", stderr);
        return 1;
    }
    const DWORD pid = servicePid();
    if (pid == 0) {
        std::fputs("nvbench: the service is not running\n", stderr);
        return 2;
    }
    std::printf("%s path, %ld sessions (after %ld warm-up sessions), package %s\n",
                options.accept ? "accepted" : "refused", options.sessions, options.warmup, utf8(options.package).c_str());
    const ProcessFigures cold = measure(pid);
    Timing timing;
    for (long i = 0; i < options.warmup; ++i)
        if (!runSession(options, timing))
            return 3;
    const ProcessFigures before = measure(pid);

    std::vector<double> toDecision, greetingToDecision;
    const double start = nowMs();
    for (long i = 0; i < options.sessions; ++i) {
        if (!runSession(options, timing)) {
            std::printf("nvbench: session %ld failed\n", i + 1);
            return 3;
        }
        toDecision.push_back(timing.connectToDecision);
        greetingToDecision.push_back(timing.greetingToDecision);
    }
    const double seconds = (nowMs() - start) / 1000.0;
    const ProcessFigures after = measure(pid);

    std::printf("  connect to decision:         median %.1f ms, 95th percentile %.1f ms\n", percentile(toDecision, 0.5),
                percentile(toDecision, 0.95));
    std::printf("  greeting to decision:        median %.1f ms, 95th percentile %.1f ms\n",
                percentile(greetingToDecision, 0.5), percentile(greetingToDecision, 0.95));
    std::printf("  throughput:                  %.2f sessions per second (%.1f s in all)\n", options.sessions / seconds,
                seconds);
    printFigures("before any session:", cold);
    printFigures("before the measured run:", before);
    printFigures("after the measured run:", after);
    return 0;
}
