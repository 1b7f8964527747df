#include "servicefigures.h"

#include "servicenames.h"
#include "tiny/unique.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

using norvo::tiny::UniqueHandle;
using norvo::tiny::UniqueServiceHandle;

namespace nvbench {

namespace {

const wchar_t kServiceName[] = L"" NV_SERVICE_NAME;

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

} // namespace

DWORD ServicePid()
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

ProcessFigures Measure(DWORD pid)
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

} // namespace nvbench
