// Proves the harness itself: the suite's folders exist, child processes report their exit codes,
// and a hung child is killed at its time limit instead of hanging the run.
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace nvtest;

TEST(Harness, GivesEachSuiteItsFolders)
{
    ASSERT_FALSE(suiteDir().empty());
    EXPECT_TRUE(fileExists(suiteDir()));
    EXPECT_TRUE(fileExists(sessionStderr()));
    EXPECT_TRUE(fileExists(buildDir() + L"\\harness_selftest.exe"));
    EXPECT_TRUE(fileExists(sourceDir() + L"\\tests\\harness\\run-suite.sh"));
}

TEST(Harness, ChildProcessesReportExitCodeAndOutput)
{
    ProcessResult r = runProcess(L"cmd.exe /c echo hello& exit 3", 20000);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_NE(std::string::npos, r.output.find("hello"));
}

TEST(Harness, HungChildIsKilledAtItsLimit)
{
    const ULONGLONG start = GetTickCount64();
    ProcessResult r = runProcess(L"cmd.exe /c ping -n 30 127.0.0.1", 1000);
    EXPECT_EQ(-2, r.exitCode);
    EXPECT_LT(GetTickCount64() - start, 8000u);
}

TEST(Harness, WaitForIsBounded)
{
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(waitFor([] { return false; }, 300));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 2000u);
}
