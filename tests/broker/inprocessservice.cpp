#include "inprocessservice.h"

#include "service/session.h"

#include <gtest/gtest.h>

namespace brokertest {

namespace {

DWORD WINAPI runSession(void *broker)
{
    nvupdater::CommunicationThread(broker);
    return 0;
}

DWORD WINAPI writeOnce(void *log)
{
    static_cast<nvupdater::UpdaterLog *>(log)->Write(L"after the stop", nvupdater::LogDebug);
    return 0;
}

} // namespace

InProcessService::InProcessService(const wchar_t *name, DWORD limitMs)
    : path_(nvtest::suiteDir() + L"\\" + name + L".log"), log_(path_), broker_(log_, limits(limitMs))
{
    EXPECT_EQ(0, broker_.channel().Initialize());
    EXPECT_EQ(0, broker_.channel().CreatePipe());
    thread_.reset(CreateThread(nullptr, 0, runSession, &broker_, 0, nullptr));
}

InProcessService::~InProcessService()
{
    broker_.gate().Stop(5000);
    WaitForSingleObject(thread_.get(), 5000);
}

nvupdater::SessionLimits InProcessService::limits(DWORD limitMs)
{
    nvupdater::SessionLimits limits;
    limits.messageMs = limits.installationMs = limits.sendMs = limitMs;
    return limits;
}

bool InProcessService::ended(DWORD timeoutMs) { return WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0; }

bool InProcessService::serveNext(DWORD timeoutMs)
{
    if (!ended(timeoutMs))
        return false;
    thread_.reset(CreateThread(nullptr, 0, runSession, &broker_, 0, nullptr));
    return thread_.valid();
}

bool InProcessService::logStillWritable()
{
    norvo::tiny::UniqueHandle writer(CreateThread(nullptr, 0, writeOnce, &log_, 0, nullptr));
    return writer && WaitForSingleObject(writer.get(), 3000) == WAIT_OBJECT_0;
}

} // namespace brokertest
