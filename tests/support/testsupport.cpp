#include "testsupport.h"

#include "tiny/textconversion.h"
#include "tiny/unique.h"

#include <vector>

using norvo::tiny::UniqueFile;
using norvo::tiny::UniqueHandle;

namespace nvtest {

namespace {
const int kStartAttempts = 3;
const DWORD kStartRetryMs = 200;
} // namespace

std::wstring env(const wchar_t *name)
{
    wchar_t buffer[4096];
    DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return (n > 0 && n < 4096) ? std::wstring(buffer, n) : std::wstring();
}

std::wstring suiteDir() { return env(L"NV_SUITE_DIR"); }
std::wstring sessionStderr() { return env(L"NV_SESSION_STDERR"); }
std::wstring buildDir() { return env(L"NV_BUILD_DIR"); }
std::wstring runDir() { return env(L"NV_RUN_DIR"); }
std::wstring sourceDir() { return env(L"NV_SOURCE_DIR"); }

std::wstring widen(const std::string &text) { return norvo::tiny::fromUtf8(text); }
std::string narrow(const std::wstring &text) { return norvo::tiny::toUtf8(text); }

std::string readFile(const std::wstring &path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return std::string();
    std::string content;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        content.append(chunk, got);
    return content;
}

bool writeFile(const std::wstring &path, const std::string &bytes)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool fileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool waitFor(const std::function<bool()> &done, DWORD timeoutMs, DWORD stepMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (GetTickCount64() >= end)
            return done();
        Sleep(stepMs);
    }
}

ProcessResult runProcess(const std::wstring &commandLine, DWORD timeoutMs)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0))
        return result;
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION info = {};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    // Wine's process start fails now and then on a loaded machine; a start that failed ran nothing,
    // so it is tried again, and a start that keeps failing says why in the output.
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            startError = ERROR_SUCCESS;
            break;
        }
        startError = GetLastError();
        Sleep(kStartRetryMs);
    }
    if (startError != ERROR_SUCCESS) {
        result.output = "runProcess: the program could not be started, error " + std::to_string(startError);
        return result;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    writeEnd.reset();

    // Drain the output while waiting so that a chatty child never blocks on a full pipe.
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0)
                break;
            result.output.append(chunk, got);
        }
        if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0)
            break;
        if (GetTickCount64() >= end) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
            result.exitCode = -2;
            return result;
        }
    }
    char chunk[4096];
    DWORD got = 0, available = 0;
    while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(readEnd.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        result.output.append(chunk, got);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    result.exitCode = static_cast<long>(code);
    return result;
}

// Through the loader's own export, which only Wine has.
std::string unixPath(const std::wstring &path)
{
    typedef char *(CDECL * ToUnix)(LPCWSTR);
    ToUnix toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix)
        return std::string();
    char *converted = toUnix(path.c_str());
    if (!converted)
        return std::string();
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Starts a Unix program; Wine gives no handle to wait on, so the caller watches for its effect.
bool startUnixProgram(const std::wstring &line)
{
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return false;
    if (started.hThread)
        CloseHandle(started.hThread);
    if (started.hProcess)
        CloseHandle(started.hProcess);
    return true;
}

bool plantUnixLink(const std::wstring &target, const std::wstring &link)
{
    std::string from = unixPath(target), to = unixPath(link);
    if (from.empty() || to.empty())
        return false;
    if (!startUnixProgram(L"Z:\\bin\\ln -s \"" + nvtest::widen(from) + L"\" \"" + nvtest::widen(to) + L"\""))
        return false;
    // The link shows as its target's attributes once it is there.
    return nvtest::waitFor([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; }, 10000, 50);
}

size_t countOf(const std::string &haystack, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = haystack.find(needle); !needle.empty() && at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string compareLines(const std::vector<std::string> &actual, const std::vector<std::string> &expected)
{
    bool same = actual.size() == expected.size();
    for (size_t i = 0; same && i < actual.size(); ++i) {
        const std::string &want = expected[i];
        if (!want.empty() && want.back() == '*')
            same = actual[i].compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
        else
            same = actual[i] == want;
    }
    if (same)
        return std::string();
    std::string report = "expected:\n";
    for (const std::string &line : expected)
        report += "  " + line + "\n";
    report += "actual:\n";
    for (const std::string &line : actual)
        report += "  " + line + "\n";
    return report;
}

} // namespace nvtest
