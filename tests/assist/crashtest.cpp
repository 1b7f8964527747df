#include "crashtest.h"

#include "testsupport.h"
#include "tiny/unique.h"

#include <windows.h>

#include <tlhelp32.h>

#include <regex>

namespace crashtest {

namespace {

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

} // namespace

std::string narrow(const std::wstring &text)
{
    return nvtest::narrow(text);
}

std::wstring freshFolder(const std::wstring &name)
{
    std::wstring folder = nvtest::suiteDir() + L"\\" + name;
    nvtest::runProcess(L"cmd /c rmdir /s /q \"" + folder + L"\"", 20000);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

bool placeReportTool(const std::wstring &folder)
{
    return CopyFileW((nvtest::buildDir() + L"\\nassist.exe").c_str(), (folder + L"\\nassist.exe").c_str(), FALSE) !=
           FALSE;
}

namespace {

// True while a process runs the stand-in placed in `folder`.
bool reportToolRunsIn(const std::wstring &folder)
{
    const std::wstring tool = folder + L"\\nassist.exe";
    norvo::tiny::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return true;   // not known: the caller waits on
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, L"nassist.exe") != 0)
            continue;
        norvo::tiny::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        wchar_t path[MAX_PATH];
        DWORD size = MAX_PATH;
        if (process && QueryFullProcessImageNameW(process.get(), 0, path, &size) && lstrcmpiW(path, tool.c_str()) == 0)
            return true;
    }
    return false;
}

} // namespace

std::vector<std::string> reportToolCalls(const std::wstring &folder, size_t atLeast)
{
    std::wstring record = folder + L"\\nassist-calls.txt";
    nvtest::waitFor([&] { return splitLines(nvtest::readFile(record)).size() >= atLeast; }, 15000, 50);
    // Every start was made before the starter ended; a start that has not recorded yet still runs.
    nvtest::waitFor([&] { return !reportToolRunsIn(folder); }, 15000, 20);
    return splitLines(nvtest::readFile(record));
}

std::vector<std::vector<std::string>> reportToolWords(const std::wstring &folder)
{
    std::vector<std::vector<std::string>> calls;
    for (const std::string &line : splitLines(nvtest::readFile(folder + L"\\nassist-words.txt"))) {
        std::vector<std::string> words;
        for (size_t start = 0;;) {
            size_t tab = line.find('\t', start);
            words.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        calls.push_back(words);
    }
    return calls;
}

std::string wordAfter(const std::vector<std::string> &words, const std::string &option)
{
    for (size_t i = 0; i + 1 < words.size(); ++i)
        if (words[i] == option)
            return words[i + 1];
    return "<none>";
}

std::vector<std::string> dumpSummary(const std::wstring &dumpPath, DWORD timeoutMs)
{
    std::wstring out = dumpPath + L".summary.txt";
    DeleteFileW(out.c_str());
    std::string script = nvtest::unixPath(nvtest::sourceDir() + L"\\tools\\dumpreader.py");
    std::string dump = nvtest::unixPath(dumpPath);
    std::string outUnix = nvtest::unixPath(out);
    if (script.empty() || dump.empty() || outUnix.empty())
        return {};
    // Wine starts the Unix program but gives no handle to wait on: the reader writes its answer
    // whole (temporary file and rename), so its appearance is the end.
    std::wstring line = L"Z:\\usr\\bin\\python3 \"" + nvtest::widen(script) + L"\" \"" + nvtest::widen(dump) +
                        L"\" --out \"" + nvtest::widen(outUnix) + L"\"";
    if (!nvtest::startUnixProgram(line))
        return {};
    if (!nvtest::waitFor([&] { return nvtest::fileExists(out); }, timeoutMs, 50))
        return {};
    return splitLines(nvtest::readFile(out));
}

std::string summaryValue(const std::vector<std::string> &summary, const std::string &key)
{
    for (const std::string &line : summary)
        if (line.compare(0, key.size() + 2, key + ": ") == 0)
            return line.substr(key.size() + 2);
    return "<none>";
}

size_t summaryCount(const std::vector<std::string> &summary, const std::string &key)
{
    size_t count = 0;
    for (const std::string &line : summary)
        if (line.compare(0, key.size() + 2, key + ": ") == 0)
            ++count;
    return count;
}

std::vector<std::string> errorLogLines(const std::wstring &path, DWORD processId)
{
    const std::regex stamp(R"(^(\d\d/\d\d/\d\d \d\d:\d\d:\d\d) \((\d+)\)\t)");
    std::vector<std::string> lines;
    for (const std::string &line : splitLines(nvtest::readFile(path))) {
        std::smatch match;
        if (line == "Error log has been truncated") {
            lines.push_back(line);
        } else if (std::regex_search(line, match, stamp) && std::stoul(match[2].str()) == processId) {
            lines.push_back(line.substr(match[0].length()));
        } else {
            lines.push_back("BAD STAMP: " + line);
        }
    }
    return lines;
}


Run runProgram(const std::wstring &exe, const std::wstring &arguments, DWORD timeoutMs)
{
    Run run;
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    ULONGLONG begin = GetTickCount64();
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return run;
    CloseHandle(started.hThread);
    run.processId = started.dwProcessId;
    if (WaitForSingleObject(started.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, 5000);
        run.exitCode = -2;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(started.hProcess, &code);
        run.exitCode = static_cast<long>(code);
    }
    run.milliseconds = static_cast<DWORD>(GetTickCount64() - begin);
    CloseHandle(started.hProcess);
    return run;
}

} // namespace crashtest
