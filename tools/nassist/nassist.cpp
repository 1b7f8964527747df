// Stand-in for the report tool, for tests and the demo only (the real tool is not part of this
// project and is never installed by it). It appends the command line exactly as it received it
// (GetCommandLineW, UTF-8) as one line to nassist-calls.txt beside itself, and exits with 0.
#include "tiny/textconversion.h"

#include <windows.h>

#include <string>

namespace {

std::wstring logPath()
{
    wchar_t self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring beside(self, length);
    return beside.substr(0, beside.rfind(L'\\') + 1) + L"nassist-calls.txt";
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const wchar_t *line = GetCommandLineW();
    std::string bytes = norvo::tiny::toUtf8(line) + "\r\n";
    HANDLE file = CreateFileW(logPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
