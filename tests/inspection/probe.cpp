// Prints what the service-folder lookups answer for this executable, where it lies: the service
// folder on the first line, the data folder on the second (UTF-8); then creates the service's
// folders, points the service log where the service would and writes a line, and prints the log's
// path on the third.
#include "inspection/servicefolders.h"
#include "testsupport.h"
#include "service/updaterlog.h"

#include <cstdio>
#include <string>

int main()
{
    std::printf("[%s]\n[%s]\n", nvtest::narrow(nvupdater::GetServiceFolder()).c_str(),
                nvtest::narrow(nvupdater::GetDataFolder()).c_str());
    nvupdater::CreateServiceFolders();
    nvupdater::Log().SetPath();
    nvupdater::Log().Write(L"probe", nvupdater::LogDebug);
    std::printf("[%s]\n", nvtest::narrow(nvupdater::Log().Path()).c_str());
    return 0;
}
