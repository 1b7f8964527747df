// Prints what the service-folder lookups answer for this executable, where it lies: the service
// folder on the first line, the data folder on the second (UTF-8).
#include "inspection/servicefolders.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {
std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}
} // namespace

int main()
{
    std::printf("[%s]\n[%s]\n", utf8(nvupdater::GetServiceFolder()).c_str(), utf8(nvupdater::GetDataFolder()).c_str());
    return 0;
}
