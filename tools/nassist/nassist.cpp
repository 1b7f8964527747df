// Stand-in for the report tool, for tests and the demo only (the real tool is not part of this
// project and is never installed by it). It appends the command line exactly as it received it
// (GetCommandLineW, UTF-8) as one line to nassist-calls.txt beside itself, and the words the
// platform's parsing makes of it (CommandLineToArgvW, the program's own first), separated by tabs,
// as one line to nassist-words.txt; then it exits with 0.
#include "tiny/textconversion.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::wstring besideSelf(const wchar_t *name)
{
    wchar_t self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring beside(self, length);
    return beside.substr(0, beside.rfind(L'\\') + 1) + name;
}

bool appendLine(const wchar_t *name, const std::wstring &line)
{
    std::string bytes = norvo::tiny::toUtf8(line) + "\r\n";
    HANDLE file = CreateFileW(besideSelf(name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE;
    CloseHandle(file);
    return done;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const wchar_t *line = GetCommandLineW();
    std::wstring words;
    int count = 0;
    if (LPWSTR *parsed = CommandLineToArgvW(line, &count)) {
        for (int i = 0; i < count; ++i)
            words += (i ? L"\t" : L"") + std::wstring(parsed[i]);
        LocalFree(parsed);
    }
    // The words first: a test that sees the raw line may rely on the words being there.
    bool recorded = appendLine(L"nassist-words.txt", words);
    return appendLine(L"nassist-calls.txt", line) && recorded ? 0 : 1;
}
