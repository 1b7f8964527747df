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
    // The child would run for 29 seconds; -2 is what only the kill at the limit reports.
    const ULONGLONG start = GetTickCount64();
    ProcessResult r = runProcess(L"cmd.exe /c ping -n 30 127.0.0.1", 1000);
    EXPECT_EQ(-2, r.exitCode);
    EXPECT_GE(GetTickCount64() - start, 1000u);
}

TEST(Harness, WaitForIsBounded)
{
    // Asked until the limit has passed, and then no more than the one look that comes after it:
    // however slow the machine, a wait that ignored its limit would look again and again.
    ULONGLONG first = 0;
    size_t looks = 0, looksAfterLimit = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(waitFor(
        [&] {
            const ULONGLONG now = GetTickCount64();
            first = looks++ == 0 ? now : first;
            looksAfterLimit += now >= first + 300 ? 1 : 0;
            return false;
        },
        300));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 290u);
    EXPECT_GE(looks, 2u);
    EXPECT_LE(looksAfterLimit, 2u) << "looked on after its limit";
}
