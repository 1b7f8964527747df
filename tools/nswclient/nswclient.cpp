// nswclient: the reference Setup Wrapper. It asks the updater service to accept a package, installs
// it with no user interface after the go-ahead, reports the installer's result and says goodbye;
// or, in raw mode, sends the given messages verbatim. Every message sent and received is printed.
#include "protocol/clientmessages.h"
#include "protocol/exitcodes.h"
#include "pipeclient.h"
#include "servicenames.h"

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace nswclient;

namespace {

namespace protocol = nvupdater::protocol;

const wchar_t kServiceName[] = L"" NV_SERVICE_NAME;

using namespace clientexit;

const char kUsage[] =
    "usage: nswclient [options] PACKAGE [TRANSFORMS]\n"
    "       nswclient --raw [options] MESSAGE...\n"
    "\n"
    "Asks the Norvo Updater Service to accept PACKAGE (a Windows Installer package, with optional\n"
    "transforms), installs it with no user interface after the go-ahead, reports the installer's\n"
    "result and says goodbye. Every message is printed: '> ' sent, '< ' received.\n"
    "\n"
    "options:\n"
    "  --result N          after the go-ahead, report N instead of installing\n"
    "  --pipe NAME         pipe name (default \\\\.\\pipe\\NVUpdatePipe)\n"
    "  --connect-timeout MS  how long to wait for a free pipe (default 10000)\n"
    "  --reply-timeout MS  how long to wait for each message of the service (default 60000)\n"
    "  --server-pid PID    talk only to a pipe held by process PID instead of the service's own\n"
    "                      process (for a stand-in of the service in tests)\n"
    "  --raw               send each MESSAGE verbatim as one pipe message; the greeting is read\n"
    "                      first, and one reply after each 210 message\n"
    "  --read-each         (raw) read one reply after every message\n"
    "  --drain             (raw) at the end, print what arrives until the service disconnects\n"
    "\n"
    "exit codes:\n"
    "   0  done (installed and reported; raw: every message exchanged)\n"
    "   1  usage error\n"
    "   2  cannot connect to the pipe (missing or busy until the time limit)\n"
    "   3  the service closed the connection (greeting or package command refused, or dropped)\n"
    "   4  the service sent something that is not the protocol\n"
    "   5  no message from the service within the time limit\n"
    "   6  the pipe is held by a process that is not the service: nothing was sent\n"
    "  10  refused 28401: signature not trusted or publisher not accepted\n"
    "  11  refused 28402: no installed product that this package may upgrade\n"
    "  12  refused 28403: advertising the package failed\n"
    "  13  refused 28406: the installed product needs no upgrade by this package\n"
    "  14  refused with another result\n"
    "  20  the installation failed (its result was reported to the service)\n";

struct Options {
    bool raw = false, readEach = false, drain = false;
    bool reportOnly = false;
    long reportedResult = 0;
    DWORD serverPid = 0;   // 0: the service's own process
    std::wstring pipe = kPipeName;
    DWORD connectMs = 10000, replyMs = 60000;
    std::vector<std::wstring> arguments;
};

void say(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

std::wstring format(const wchar_t *pattern, const std::wstring &a, const std::wstring &b = std::wstring())
{
    std::vector<wchar_t> buffer(a.size() + b.size() + 64);
    _snwprintf(buffer.data(), buffer.size() - 1, pattern, a.c_str(), b.c_str());
    buffer.back() = L'\0';
    return buffer.data();
}

std::wstring resultMessage(long value)
{
    wchar_t buffer[64];
    _snwprintf(buffer, 63, protocol::kResultFormat, static_cast<int>(value));
    buffer[63] = L'\0';
    return buffer;
}

bool parseNumber(const wchar_t *text, long &value)
{
    wchar_t *end = nullptr;
    value = std::wcstol(text, &end, 10);
    return end && end != text && *end == L'\0';
}

bool parseOptions(int argc, wchar_t **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long number = 0;
        if (arg == L"--raw") {
            options.raw = true;
        } else if (arg == L"--read-each") {
            options.readEach = true;
        } else if (arg == L"--drain") {
            options.drain = true;
        } else if (arg == L"--pipe" && hasValue) {
            options.pipe = argv[++i];
        } else if (arg == L"--result" && hasValue && parseNumber(argv[i + 1], number)) {
            options.reportOnly = true;
            options.reportedResult = number;
            ++i;
        } else if (arg == L"--server-pid" && hasValue && parseNumber(argv[i + 1], number) && number > 0) {
            options.serverPid = static_cast<DWORD>(number);
            ++i;
        } else if (arg == L"--connect-timeout" && hasValue && parseNumber(argv[i + 1], number) && number >= 0) {
            options.connectMs = static_cast<DWORD>(number);
            ++i;
        } else if (arg == L"--reply-timeout" && hasValue && parseNumber(argv[i + 1], number) && number >= 0) {
            options.replyMs = static_cast<DWORD>(number);
            ++i;
        } else if (arg.compare(0, 2, L"--") == 0) {
            return false;
        } else {
            options.arguments.push_back(arg);
        }
    }
    if (options.raw)
        return !options.arguments.empty();
    return options.arguments.size() == 1 || options.arguments.size() == 2;
}

class Conversation {
public:
    explicit Conversation(const Options &options) : options_(options) {}

    int connect()
    {
        if (client_.connect(options_.pipe, options_.connectMs))
            return checkServer();
        if (dropped(client_.error())) {
            say("The service closed the connection right after it was made.\n");
            return ExitDropped;
        }
        say("Cannot connect to " + utf8(options_.pipe) + ": ");
        std::printf("error %lu%s.\n", client_.error(),
                    client_.error() == ERROR_PIPE_BUSY ? " (another client holds the pipe)"
                    : client_.error() == ERROR_FILE_NOT_FOUND ? " (no such pipe: is the service running?)"
                                                               : "");
        return ExitCannotConnect;
    }

    // Anyone may create a pipe of the service's name when the service is not running: before a
    // word is sent, the pipe's owner must be the service's own process.
    int checkServer()
    {
        DWORD server = 0;
        if (!client_.serverProcessId(server)) {
            if (dropped(client_.error())) {
                say("The service closed the connection right after it was made.\n");
                return ExitDropped;
            }
            std::printf("Cannot tell which process holds the pipe (error %lu); nothing was sent.\n", client_.error());
            return ExitNotTheService;
        }
        DWORD expected = options_.serverPid;
        if (expected == 0 && !serviceProcessId(expected)) {
            std::printf("The pipe is held by process %lu, but the %ls service is not running; nothing was sent.\n",
                        server, kServiceName);
            return ExitNotTheService;
        }
        if (server != expected) {
            std::printf("The pipe is held by process %lu, not by the service's process %lu; nothing was sent.\n",
                        server, expected);
            return ExitNotTheService;
        }
        return ExitDone;
    }

    static bool dropped(DWORD error)
    {
        return error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
    }

    // The running service's process, from the service control manager.
    static bool serviceProcessId(DWORD &processId)
    {
        norvo::tiny::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        norvo::tiny::UniqueServiceHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)
                                                         : nullptr);
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                              sizeof(status), &needed))
            return false;
        processId = status.dwProcessId;
        return status.dwCurrentState == SERVICE_RUNNING && processId != 0;
    }

    int send(const std::wstring &message)
    {
        say("> " + utf8(message) + "\n");
        switch (client_.send(message, options_.replyMs)) {
        case PipeStatus::Ok:
            return ExitDone;
        case PipeStatus::TimedOut:
            say("The service did not take the message within the time limit.\n");
            return ExitTimedOut;
        case PipeStatus::Closed:
            say("The service closed the connection.\n");
            return ExitDropped;
        default:
            std::printf("Sending failed with error %lu.\n", client_.error());
            return ExitDropped;
        }
    }

    // `what` names the awaited message for the output.
    int receive(std::wstring &message, const char *what)
    {
        switch (client_.receive(message, options_.replyMs)) {
        case PipeStatus::Ok:
            say("< " + utf8(message) + "\n");
            return ExitDone;
        case PipeStatus::TimedOut:
            say(std::string("No ") + what + " from the service within the time limit.\n");
            return ExitTimedOut;
        case PipeStatus::Closed:
            say("The service closed the connection instead of sending its " + std::string(what) + ".\n");
            return ExitDropped;
        default:
            std::printf("Receiving failed with error %lu.\n", client_.error());
            return ExitDropped;
        }
    }

    // After the goodbye: the service disconnects; anything else is shown.
    int awaitClose()
    {
        for (;;) {
            std::wstring message;
            switch (client_.receive(message, options_.replyMs)) {
            case PipeStatus::Ok:
                say("< " + utf8(message) + "\n");
                continue;
            case PipeStatus::TimedOut:
                say("The service did not close the connection within the time limit.\n");
                return ExitTimedOut;
            default:
                say("The service closed the connection.\n");
                return ExitDone;
            }
        }
    }

private:
    const Options &options_;
    PipeClient client_;
};

int refusal(long decision)
{
    switch (decision) {
    case protocol::ResultSignRejected:
        say("Refused (28401): the package's signature is not trusted or its publisher is not accepted.\n");
        break;
    case protocol::ResultNoUpgradableProduct:
        say("Refused (28402): no installed product that this package may upgrade.\n");
        break;
    case protocol::ResultAdvertiseFailed:
        say("Refused (28403): advertising the package failed.\n");
        break;
    case protocol::ResultUpgradeNotNeeded:
        say("Refused (28406): the installed product needs no upgrade by this package.\n");
        break;
    default:
        std::printf("Refused (%ld): a result this client does not know.\n", decision);
        break;
    }
    return clientexit::ExitCodeOfDecision(decision);
}

long install(const std::wstring &package, const std::wstring &transforms)
{
    say("Installing " + utf8(package) + " with no user interface ...\n");
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    const std::wstring properties = transforms.empty() ? std::wstring() : L"TRANSFORMS=\"" + transforms + L"\"";
    const UINT result = MsiInstallProductW(package.c_str(), properties.empty() ? nullptr : properties.c_str());
    std::printf("The installer returned %u.\n", result);
    std::fflush(stdout);
    return static_cast<long>(result);
}

int converse(const Options &options)
{
    const std::wstring &package = options.arguments[0];
    const std::wstring transforms = options.arguments.size() > 1 ? options.arguments[1] : std::wstring();
    Conversation talk(options);
    int code = talk.connect();
    std::wstring reply;
    if (code != ExitDone || (code = talk.receive(reply, "greeting")) != ExitDone)
        return code;
    if (reply.compare(0, 4, protocol::kGreetingFormat, 4) != 0) {
        say("That is not a greeting.\n");
        return ExitProtocol;
    }
    std::wstring command = format(protocol::kPackageFormat, package);
    if (!transforms.empty())
        command += format(protocol::kTransformsFormat, transforms);
    if ((code = talk.send(protocol::kClientGreeting)) != ExitDone || (code = talk.send(command)) != ExitDone ||
        (code = talk.receive(reply, "decision")) != ExitDone)
        return code;
    long decision = 0;
    if (!protocol::ParseDecision(reply, decision)) {
        say("That is not a decision.\n");
        return ExitProtocol;
    }
    if (decision != 0)
        return refusal(decision);

    say("Accepted: the package is advertised for this machine.\n");
    const long result = options.reportOnly ? options.reportedResult : install(package, transforms);
    if ((code = talk.send(resultMessage(result))) != ExitDone || (code = talk.send(protocol::kBye)) != ExitDone ||
        (code = talk.awaitClose()) != ExitDone)
        return code;
    const bool installed = result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED;
    if (!installed)
        std::printf("The installation failed with %ld.\n", result);
    return installed ? ExitDone : ExitInstallFailed;
}

int sendRaw(const Options &options)
{
    Conversation talk(options);
    int code = talk.connect();
    std::wstring reply;
    if (code != ExitDone || (code = talk.receive(reply, "greeting")) != ExitDone)
        return code;
    for (const std::wstring &message : options.arguments) {
        if ((code = talk.send(message)) != ExitDone)
            return code;
        if ((options.readEach || message.compare(0, 4, protocol::kPackagePrefix, 4) == 0) &&
            (code = talk.receive(reply, "reply")) != ExitDone)
            return code;
    }
    return options.drain ? talk.awaitClose() : ExitDone;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return ExitUsage;
    }
    const int code = options.raw ? sendRaw(options) : converse(options);
    return code;
}
