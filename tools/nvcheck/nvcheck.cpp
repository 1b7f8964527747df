// nvcheck: runs the updater service's own checks on a package, in the service's order, with the
// rights of whoever runs it, and says in plain words why the service would accept or refuse it.
// It never locks, advertises or installs anything. Exit codes are the reference client's.
#include "checkreport.h"
#include "protocol/exitcodes.h"
#include "output.h"
#include "reportjson.h"
#include "reporttext.h"

#include "inspection/eligibility.h"
#include "tiny/comapartment.h"

#include <windows.h>

#include <string>
#include <vector>

using namespace nvcheck;

namespace {

const wchar_t kUsage[] =
    L"usage: nvcheck [--json] PACKAGE [TRANSFORMS]\n"
    L"\n"
    L"Runs the Norvo Updater Service's checks on PACKAGE (a Windows Installer package, with the\n"
    L"TRANSFORMS text a Setup Wrapper would send: items separated by ';', ':name' inside the package,\n"
    L"any other item a file that must be signed like the package) as the service\n"
    L"would, against the products installed on this machine, and prints why the service would accept\n"
    L"or refuse it: the package's codes, the signature and publisher checks, every NVUpdate row as it\n"
    L"is examined, and the decision as the last line. Nothing is locked, advertised or installed.\n"
    L"\n"
    L"  --json   print the same as one JSON object\n"
    L"\n"
    L"exit codes (those of the reference Setup Wrapper client):\n";

// Longest path the platform accepts, in characters.
const DWORD kMaxPath = 32767;

// A relative path made whole, as the Setup Wrapper would name the package to the service; empty
// when it cannot be made. A whole path is taken as it stands: the service judges its form.
std::wstring fullPath(const std::wstring &path)
{
    const bool whole = (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') || path.compare(0, 2, L"\\\\") == 0;
    if (whole)
        return path;
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0 || needed > kMaxPath)
        return std::wstring();
    std::vector<wchar_t> buffer(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed)
        return std::wstring();
    return std::wstring(buffer.data(), length);
}

std::wstring exitCodeLine(int code, const std::wstring &meaning)
{
    std::wstring number = std::to_wstring(code);
    return L"  " + number + std::wstring(number.size() < 4 ? 4 - number.size() : 1, L' ') + meaning + L"\n";
}

int usage(const wchar_t *problem)
{
    if (problem)
        WriteErr(std::wstring(L"nvcheck: ") + problem + L"\n\n");
    std::wstring text = kUsage;
    text += exitCodeLine(clientexit::ExitDone, L"go-ahead");
    text += exitCodeLine(clientexit::ExitUsage, L"usage error");
    for (int decision : {nvupdater::protocol::ResultSignRejected, nvupdater::protocol::ResultNoUpgradableProduct,
                         nvupdater::protocol::ResultUpgradeNotNeeded})
        text += exitCodeLine(clientexit::ExitCodeOfDecision(decision),
                             std::to_wstring(decision) + L" " + DecisionMeaning(decision));
    WriteErr(text);
    return clientexit::ExitUsage;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    bool json = false;
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--json")
            json = true;
        else if (argument == L"--help" || argument == L"-h" || argument == L"/?")
            return usage(nullptr);
        else if (argument.size() > 1 && argument[0] == L'-')
            return usage((L"unknown option " + argument).c_str());
        else
            arguments.push_back(argument);
    }
    if (arguments.empty() || arguments.size() > 2)
        return usage(arguments.empty() ? L"no package named" : L"a package and at most one transforms text");
    const std::wstring package = fullPath(arguments[0]);
    if (package.empty())
        return usage(L"the package's path cannot be made whole");

    // The thread as the service's session prepares its own: COM, and an installer that never shows
    // a user interface.
    const norvo::tiny::ComApartment apartment;
    nvupdater::SetInstallerUiLevelNone();

    const CheckReport report = CheckPackageFile(package, arguments.size() > 1 ? arguments[1] : std::wstring());
    const int exitCode = clientexit::ExitCodeOfDecision(report.checks.decision);
    WriteOut(json ? ReportAsJson(report, exitCode) : ReportAsText(report));
    return exitCode;
}
