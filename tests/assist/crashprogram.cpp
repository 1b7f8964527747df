// A small program that uses the crash-reporting library the way a host does and then crashes, so
// that the suite can watch real crashes: what the filter writes, starts and returns.
//
// usage: assist_crashprogram.exe [options]
//   --dumps DIR       dump folder, given as it is (default: none)
//   --name FILE       dump file name (default: none, so user_<pid>.dmp)
//   --tool DIR        report tool folder
//   --debuglib DIR    folder searched first for the debug help library
//   --type N          dump type (default 0: a normal dump, fast)
//   --previous FILE   install a filter of our own first; it appends "previous filter" to FILE
//   --continue        that filter answers EXCEPTION_CONTINUE_EXECUTION (the fault comes again)
//   --no-chain        do not chain the previous filter
//   --restrict        leave a written dump to Administrators and SYSTEM
//   --cancel          a handler that cancels every dump
//   --disable         switch dumping off after initialisation
//   --threads N       N worker threads fault at the same moment (default 1)
//   --reinit          initialise twice and exit with 0 without crashing
// Prints nothing; exits with 3 when initialisation failed, else the platform ends it after the fault.
#include "assist/memdumps.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <process.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::string g_previousLog;
LONG g_previousResult = EXCEPTION_EXECUTE_HANDLER;
volatile LONG g_go = 0;

LONG WINAPI previousFilter(EXCEPTION_POINTERS *)
{
    HANDLE file = CreateFileA(g_previousLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, "previous filter\r\n", 17, &written, nullptr);
        CloseHandle(file);
    }
    return g_previousResult;
}

class CancellingHandler : public norvo::assist::DefaultMemDumpHandler {
public:
    bool crashPreAction() override { return false; }
};

unsigned __stdcall faultingThread(void *)
{
    while (!g_go)
        YieldProcessor();
    volatile int *volatile nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dumps, name, tool, debuglib;
    unsigned type = 0;
    int threads = 1;
    bool chain = true, cancel = false, disable = false, reinit = false, restrict = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--dumps") dumps = value, ++i;
        else if (option == "--name") name = value, ++i;
        else if (option == "--tool") tool = value, ++i;
        else if (option == "--debuglib") debuglib = value, ++i;
        else if (option == "--type") type = static_cast<unsigned>(atoi(value)), ++i;
        else if (option == "--previous") g_previousLog = value, ++i;
        else if (option == "--threads") threads = atoi(value), ++i;
        else if (option == "--no-chain") chain = false;
        else if (option == "--continue") g_previousResult = EXCEPTION_CONTINUE_EXECUTION;
        else if (option == "--cancel") cancel = true;
        else if (option == "--restrict") restrict = true;
        else if (option == "--disable") disable = true;
        else if (option == "--reinit") reinit = true;
    }
    if (!g_previousLog.empty())
        SetUnhandledExceptionFilter(previousFilter);

    // Texts on this stack only: the library copies what it keeps.
    char url[] = "  ftp://upload.example.org/incoming/  ";
    norvo::assist::AssistConfig config;
    config.productCode = "TST";
    config.version = "1.2.3-T9-42";
    config.uploadUrl = url;
    config.uploadUser = "tester";
    config.uploadPassword = "secret";
    config.numberD = 1;
    config.processName = "crashprogram";
    config.minidumpType = type;
    config.dumpDirectory = dumps.empty() ? nullptr : dumps.c_str();
    config.dumpName = name.empty() ? nullptr : name.c_str();
    config.reportToolDirectory = tool.empty() ? nullptr : tool.c_str();
    config.debugLibraryDirectory = debuglib.empty() ? nullptr : debuglib.c_str();
    config.chainPreviousFilter = chain;
    config.restrictDumpAccess = restrict;

    norvo::assist::MemDumps &dumpsLibrary = norvo::assist::MemDumps::instance();
    int initialised = 0;
    if (cancel) {
        dumpsLibrary.setHandler(std::make_shared<CancellingHandler>());
        initialised = dumpsLibrary.internalInit(config);
    } else {
        initialised = dumpsLibrary.init(config);
    }
    if (initialised != 0)
        return 3;
    memset(url, 'x', sizeof(url) - 1);
    if (reinit)
        return dumpsLibrary.init(config) == 1 ? 0 : 4;
    if (disable)
        dumpsLibrary.setEnabled(false);

    std::vector<HANDLE> started;
    for (int i = 0; i < threads; ++i)
        started.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, faultingThread, nullptr, 0, nullptr)));
    Sleep(50);
    InterlockedExchange(&g_go, 1);
    WaitForMultipleObjects(static_cast<DWORD>(started.size()), started.data(), TRUE, 60000);
    return 5;  // not reached: the platform ends the process after the filter
}
