// The service log against the real file system: what a line looks like, when the file is moved
// aside, what happens without a logs folder, and that concurrent writers never mix their lines.
#include "service/updaterlog.h"

#include "testsupport.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

using namespace nvtest;
using nvupdater::UpdaterLog;

namespace {

class FileLog : public UpdaterLog {
public:
    explicit FileLog(const std::wstring &path) { SetPathTo(path); }
};

// A fresh folder of the suite's own for one test.
std::wstring freshFolder(const wchar_t *name)
{
    std::wstring folder = suiteDir() + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    DeleteFileW((folder + L"\\service.log").c_str());
    DeleteFileW((folder + L"\\service.log.previous").c_str());
    return folder;
}

std::vector<std::string> linesOf(const std::string &bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(bytes.size(), start) << "the file ends with a complete CR LF line";
    return lines;
}

long long fileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

long long secondsOf(const SYSTEMTIME &t)
{
    FILETIME ft;
    SystemTimeToFileTime(&t, &ft);
    return static_cast<long long>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000);
}

const std::regex kLine(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) : (\w+) - (.*)$)");

// Seconds since 1601 of a line's stamp, or -1 when the line does not have the form.
long long stampOf(const std::string &line, std::string *level = nullptr, std::string *message = nullptr)
{
    std::smatch m;
    if (!std::regex_match(line, m, kLine))
        return -1;
    SYSTEMTIME t = {};
    t.wYear = static_cast<WORD>(std::stoi(m[1]));
    t.wMonth = static_cast<WORD>(std::stoi(m[2]));
    t.wDay = static_cast<WORD>(std::stoi(m[3]));
    t.wHour = static_cast<WORD>(std::stoi(m[4]));
    t.wMinute = static_cast<WORD>(std::stoi(m[5]));
    t.wSecond = static_cast<WORD>(std::stoi(m[6]));
    if (level)
        *level = m[7];
    if (message)
        *message = m[8];
    return secondsOf(t);
}

long long utcNow()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return secondsOf(now);
}

} // namespace

TEST(UpdaterLog, WritesOneStampedLinePerMessageWithItsLevelName)
{
    const std::wstring path = freshFolder(L"format") + L"\\service.log";
    FileLog log(path);
    const long long before = utcNow();
    const int levels[] = {1, 2, 3, 4, 0, 5, -1};
    for (int level : levels)
        ASSERT_EQ(0, log.Write(L"Pipe created. level " + std::to_wstring(level), level));
    const long long after = utcNow();

    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(7u, lines.size());
    const char *names[] = {"Error", "Debug", "Info", "Comm", "Debug", "Debug", "Debug"};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string level, message;
        const long long stamp = stampOf(lines[i], &level, &message);
        ASSERT_NE(-1, stamp) << lines[i];
        EXPECT_GE(stamp, before) << lines[i];
        EXPECT_LE(stamp, after) << lines[i];
        EXPECT_EQ(names[i], level);
        EXPECT_EQ("Pipe created. level " + std::to_string(levels[i]), message);
    }
}

// The suite runs with a local time 5:30 ahead of UTC (see CMakeLists.txt): the stamp must still be
// UTC.
TEST(UpdaterLog, StampsUtcNotLocalTime)
{
    SYSTEMTIME local, utc;
    GetLocalTime(&local);
    GetSystemTime(&utc);
    ASSERT_NEAR(330 * 60, secondsOf(local) - secondsOf(utc), 2) << "the suite's local time zone is not set";

    const std::wstring path = freshFolder(L"utc") + L"\\service.log";
    FileLog log(path);
    const long long before = utcNow();
    ASSERT_EQ(0, log.Write(L"Pipe connected.", 4));
    const long long after = utcNow();
    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(1u, lines.size());
    const long long stamp = stampOf(lines[0]);
    EXPECT_GE(stamp, before) << lines[0];
    EXPECT_LE(stamp, after) << lines[0];
}

TEST(UpdaterLog, MovesTheFileAsideOnlyWhenItIsLargerThanOneMillionBytes)
{
    const std::wstring folder = freshFolder(L"rotation");
    const std::wstring path = folder + L"\\service.log", previous = path + L".previous";
    FileLog log(path);

    // Exactly 1,000,000 bytes: appended to, not rotated.
    ASSERT_TRUE(writeFile(path, std::string(1000000, 'a')));
    ASSERT_EQ(0, log.Write(L"first", 2));
    EXPECT_FALSE(fileExists(previous));
    const long long grown = fileSize(path);
    EXPECT_GT(grown, 1000000);

    // 1,000,001 bytes, with an older previous generation: that one is replaced, the new file holds
    // only the new line.
    ASSERT_TRUE(writeFile(previous, "older generation\r\n"));
    ASSERT_TRUE(writeFile(path, std::string(1000001, 'b')));
    ASSERT_EQ(0, log.Write(L"second", 4));
    EXPECT_EQ(1000001, fileSize(previous));
    EXPECT_EQ(std::string(1000001, 'b'), readFile(previous));
    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(-1, stampOf(lines[0]));
    EXPECT_NE(std::string::npos, lines[0].find(" : Comm - second"));
}

TEST(UpdaterLog, DropsMessagesWithoutItsFolderAndCreatesNothing)
{
    // No path yet: the message is dropped.
    FileLog unset(L"");
    EXPECT_EQ(-1, unset.Write(L"too early", 2));

    // The real path: the service folder (here: the test's own folder) + "\logs\service.log". The
    // logs folder does not exist there, and writing must not create it.
    FileLog real(L"");
    EXPECT_EQ(0, real.SetPath());
    const std::wstring expected = buildDir() + L"\\logs\\service.log";
    EXPECT_EQ(0, _wcsicmp(expected.c_str(), real.Path().c_str())) << narrow(real.Path());
    EXPECT_EQ(-1, real.Write(L"Pipe created.", 4));
    EXPECT_FALSE(fileExists(buildDir() + L"\\logs"));

    const std::wstring missing = suiteDir() + L"\\no such folder\\logs\\service.log";
    FileLog absent(missing);
    EXPECT_EQ(-1, absent.Write(L"Pipe created.", 4));
    EXPECT_FALSE(fileExists(suiteDir() + L"\\no such folder"));
}

TEST(UpdaterLog, KeepsLatinOneAsBytesAndWritesHigherCharactersAsCodePoints)
{
    const std::wstring path = freshFolder(L"characters") + L"\\service.log";
    FileLog log(path);
    // e acute, Cyrillic Zhe, a smiley (surrogate pair), a lone high surrogate, a backslash.
    const std::wstring message = L"C:\\Pakete\\caf\u00e9 \u0416 \xD83D\xDE00 \xD83D end";
    ASSERT_EQ(0, log.Write(message, 4));
    std::string level, text;
    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(1u, lines.size());
    ASSERT_NE(-1, stampOf(lines[0], &level, &text));
    EXPECT_EQ("C:\\Pakete\\caf\xe9 \\u{0416} \\u{1F600} \\u{D83D} end", text);
}

TEST(UpdaterLog, KeepsEveryMessageOnOneLine)
{
    // A package path from a pipe client that tries to add a line of its own.
    const std::wstring path = freshFolder(L"oneline") + L"\\service.log";
    FileLog log(path);
    std::wstring message = L"Recieved package 'C:\\a\r\n2026-03-05 08:07:09 : Comm - forged\x01\tx";
    message += L'\0';
    message += L"end'.";
    ASSERT_EQ(0, log.Write(message, 4));
    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(1u, lines.size());
    std::string text;
    ASSERT_NE(-1, stampOf(lines[0], nullptr, &text));
    EXPECT_EQ("Recieved package 'C:\\a\\u{000D}\\u{000A}2026-03-05 08:07:09 : Comm - forged\\u{0001}\tx\\u{0000}end'.",
              text);
}

namespace {
struct WriterJob {
    UpdaterLog *log;
    int id;
};
const int kLinesPerWriter = 150;

DWORD WINAPI writeMany(void *argument)
{
    const WriterJob *job = static_cast<WriterJob *>(argument);
    const std::wstring padding(200, static_cast<wchar_t>(L'a' + job->id));
    for (int i = 0; i < kLinesPerWriter; ++i)
        job->log->Write(L"writer " + std::to_wstring(job->id) + L" line " + std::to_wstring(i) + L" " + padding, 4);
    return 0;
}
} // namespace

TEST(UpdaterLog, ConcurrentWritersNeverMixTheirLines)
{
    const std::wstring path = freshFolder(L"concurrent") + L"\\service.log";
    FileLog log(path);
    const int kWriters = 6;
    std::vector<WriterJob> jobs;
    for (int id = 0; id < kWriters; ++id)
        jobs.push_back({&log, id});
    std::vector<norvo::tiny::UniqueHandle> threads;
    for (WriterJob &job : jobs)
        threads.emplace_back(CreateThread(nullptr, 0, writeMany, &job, 0, nullptr));
    for (auto &thread : threads) {
        ASSERT_TRUE(thread.valid());
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 60000));
    }

    const std::vector<std::string> lines = linesOf(readFile(path));
    ASSERT_EQ(static_cast<size_t>(kWriters * kLinesPerWriter), lines.size());
    std::vector<int> next(kWriters, 0);
    const std::regex body(R"(writer (\d) line (\d+) [a-z]+)");
    for (const std::string &line : lines) {
        std::string text;
        ASSERT_NE(-1, stampOf(line, nullptr, &text)) << line;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, body)) << line;
        const int id = std::stoi(m[1]);
        EXPECT_EQ(next[id]++, std::stoi(m[2])) << "lines of one writer stay in order";
        EXPECT_EQ(std::string(200, static_cast<char>('a' + id)), text.substr(text.size() - 200)) << line;
    }
}
