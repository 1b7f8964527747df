// Prints what the service-folder lookups answer for this executable, where it lies: the service
// folder on the first line, the data folder on the second (UTF-8).
#include "inspection/servicefolders.h"
#include "testsupport.h"

#include <cstdio>
#include <string>

int main()
{
    std::printf("[%s]\n[%s]\n", nvtest::narrow(nvupdater::GetServiceFolder()).c_str(),
                nvtest::narrow(nvupdater::GetDataFolder()).c_str());
    return 0;
}
