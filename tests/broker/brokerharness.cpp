#include "brokerharness.h"

#include "servicenames.h"
#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <sstream>

using norvo::tiny::UniqueHandle;
using norvo::tiny::UniqueServiceHandle;

namespace brokertest {


namespace {

const wchar_t kServiceName[] = L"" NV_SERVICE_NAME;

UniqueServiceHandle openService(DWORD access)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return UniqueServiceHandle();
    return UniqueServiceHandle(OpenServiceW(manager.get(), kServiceName, access));
}

bool queryStatus(SERVICE_STATUS_PROCESS &status)
{
    UniqueServiceHandle service = openService(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    return service && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                           sizeof(status), &needed);
}

} // namespace

std::wstring serviceFolder() { return L"C:\\Program Files\\Norvo\\Updater Service"; }
std::wstring serviceExe() { return serviceFolder() + L"\\nvupdaterservice.exe"; }
std::wstring serviceLogPath() { return serviceFolder() + L"\\logs\\service.log"; }

bool installService()
{
    CreateDirectoryW(L"C:\\Program Files\\Norvo", nullptr);
    CreateDirectoryW(serviceFolder().c_str(), nullptr);
    std::wstring built = nvtest::buildDir() + L"\\nvupdaterservice.exe";
    if (!CopyFileW(built.c_str(), serviceExe().c_str(), FALSE))
        return false;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return false;
    std::wstring command = L"\"" + serviceExe() + L"\"";
    UniqueServiceHandle service(CreateServiceW(manager.get(), kServiceName, L"" NV_SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service.valid();
}

void deleteService()
{
    stopService(5000);
    // The prefix goes with the suite; its log stays with the suite's artifacts.
    CopyFileW(serviceLogPath().c_str(), (nvtest::suiteDir() + L"\\service.log").c_str(), FALSE);
    UniqueServiceHandle service = openService(DELETE);
    if (service)
        DeleteService(service.get());
}

DWORD serviceState()
{
    SERVICE_STATUS_PROCESS status = {};
    return queryStatus(status) ? status.dwCurrentState : 0;
}

DWORD serviceProcessId()
{
    SERVICE_STATUS_PROCESS status = {};
    return queryStatus(status) ? status.dwProcessId : 0;
}

bool requestStart()
{
    UniqueServiceHandle service = openService(SERVICE_START);
    return service && StartServiceW(service.get(), 0, nullptr);
}

bool startService()
{
    if (!requestStart())
        return false;
    return nvtest::waitFor([] { return serviceState() == SERVICE_RUNNING; }, 15000, 10);
}

bool requestStop()
{
    UniqueServiceHandle service = openService(SERVICE_STOP);
    SERVICE_STATUS status = {};
    return service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

bool stopService(DWORD timeoutMs)
{
    if (serviceState() == SERVICE_STOPPED)
        return true;
    // The process outlives its last report for a moment, and its pipe with it: wait for both.
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, serviceProcessId()));
    requestStop();
    return nvtest::waitFor([] { return serviceState() == SERVICE_STOPPED; }, timeoutMs, 10) &&
           (!process || WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0);
}

// ---- log ---------------------------------------------------------------------------------------

void LogWatch::mark() { offset_ = nvtest::readFile(path_).size(); }

std::vector<std::string> LogWatch::lines() const
{
    std::string content = nvtest::readFile(path_);
    std::vector<std::string> result;
    if (content.size() <= offset_)
        return result;
    std::istringstream in(content.substr(offset_));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // "2026-03-05 08:07:09 : " in front of every line.
        const size_t stamp = 22;
        if (line.size() >= stamp && line.compare(19, 3, " : ") == 0)
            result.push_back(line.substr(stamp));
        else
            result.push_back("<unstamped> " + line);
    }
    return result;
}

bool LogWatch::holds(const std::string &wanted) const
{
    for (const std::string &line : lines())
        if (line == wanted)
            return true;
    return false;
}

bool LogWatch::waitForLine(const std::string &wanted, DWORD timeoutMs) const
{
    return nvtest::waitFor([&] { return holds(wanted); }, timeoutMs, 5);
}


// ---- client ------------------------------------------------------------------------------------

std::string bytesOf(const std::wstring &message)
{
    return std::string(reinterpret_cast<const char *>(message.data()), message.size() * sizeof(wchar_t));
}

DWORD PipeClient::open()
{
    close();
    handle_ = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(handle_, &mode, nullptr, nullptr)) {
        DWORD error = GetLastError();
        close();
        return error;
    }
    return 0;
}

DWORD PipeClient::openWithin(DWORD timeoutMs)
{
    DWORD error = 0;
    nvtest::waitFor(
        [&] {
            error = open();
            return error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND;
        },
        timeoutMs, 2);
    return error;
}

void PipeClient::close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

DWORD PipeClient::complete(BOOL started, OVERLAPPED &overlapped, DWORD &bytes, DWORD timeoutMs)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return GetLastError();
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(handle_);
        GetOverlappedResult(handle_, &overlapped, &bytes, TRUE);
        return WAIT_TIMEOUT;
    }
    return GetOverlappedResult(handle_, &overlapped, &bytes, FALSE) ? 0 : GetLastError();
}

DWORD PipeClient::writeBytes(const std::string &bytes)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    DWORD written = 0;
    BOOL started = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
    return complete(started, overlapped, written, 5000);
}

DWORD PipeClient::write(const std::wstring &message) { return writeBytes(bytesOf(message)); }

DWORD PipeClient::read(std::wstring &message, DWORD timeoutMs)
{
    message.clear();
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    std::vector<wchar_t> buffer(32768);
    DWORD got = 0;
    BOOL started = ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), nullptr, &overlapped);
    DWORD error = complete(started, overlapped, got, timeoutMs);
    if (error == 0)
        message.assign(buffer.data(), got / sizeof(wchar_t));
    return error;
}

bool PipeClient::disconnectedWithin(DWORD timeoutMs)
{
    std::wstring message;
    DWORD error = read(message, timeoutMs);
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

namespace {

class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(installService());
        ASSERT_TRUE(startService());
    }
    void TearDown() override { deleteService(); }
};

} // namespace

bool runServiceForWholeSuite()
{
    ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);
    return true;
}

} // namespace brokertest
