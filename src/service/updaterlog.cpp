#include "service/updaterlog.h"

#include "inspection/servicefolders.h"
#include "tiny/unique.h"

#include <windows.h>

#include <cstdio>

namespace nvupdater {

namespace {

const wchar_t kLogSuffix[] = L"\\logs\\service.log";
const wchar_t kPreviousSuffix[] = L".previous";
const wchar_t kAppendTextMode[] = L"a+";

// The file is moved aside once it is larger than this; a file of exactly this size stays.
const ULONGLONG kRotateAbove = 1000000;

const char *levelName(int level)
{
    switch (level) {
    case LogError:
        return "Error";
    case LogInfo:
        return "Info";
    case LogComm:
        return "Comm";
    default:
        return "Debug";
    }
}

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The message as 8-bit text: see the header for the form of characters above U+00FF.
std::string toLogBytes(const std::wstring &message)
{
    std::string bytes;
    bytes.reserve(message.size());
    for (size_t i = 0; i < message.size(); ++i) {
        const wchar_t c = message[i];
        if (c <= 0xFF && (c >= 0x20 || c == L'\t')) {
            bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
            continue;
        }
        unsigned long codePoint = c;
        if (isHighSurrogate(c) && i + 1 < message.size() && isLowSurrogate(message[i + 1])) {
            codePoint = 0x10000 + ((static_cast<unsigned long>(c) - 0xD800) << 10) +
                        (static_cast<unsigned long>(message[i + 1]) - 0xDC00);
            ++i;
        }
        char escaped[16];
        std::snprintf(escaped, sizeof escaped, "\\u{%04lX}", codePoint);
        bytes += escaped;
    }
    return bytes;
}

// "2026-03-05 08:07:09 : " in UTC.
std::string timestampNow()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%d-%.2d-%.2d %.2d:%.2d:%.2d : ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp;
}

} // namespace

UpdaterLog::UpdaterLog() = default;

UpdaterLog::~UpdaterLog() = default;

int UpdaterLog::SetPath()
{
    norvo::tiny::NMutexLock hold(lock_);
    // Without a service folder the suffix alone would name a folder at the root of a drive, which
    // any user may create first: then there is no log at all.
    const std::wstring folder = GetServiceFolder();
    path_ = folder.empty() ? std::wstring() : folder + kLogSuffix;
    return 0;
}

int UpdaterLog::Write(std::wstring message, int level)
{
    norvo::tiny::NMutexLock hold(lock_);
    RotateIfNeeded();

    norvo::tiny::UniqueStdFile file(path_.empty() ? nullptr : _wfopen(path_.c_str(), kAppendTextMode));
    if (!file)
        return -1;

    std::string line = std::string(levelName(level)) + " - " + toLogBytes(message);
    line = timestampNow() + line + "\n";
    // Text mode turns the line feed into CR LF.
    std::fwrite(line.data(), 1, line.size(), file.get());
    return 0;
}

void UpdaterLog::RotateIfNeeded()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path_.empty() || !GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data))
        return;
    const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size <= kRotateAbove)
        return;
    // The wide calls keep rotation working when the service folder's name has characters outside
    // the ANSI code page. Failures are ignored: the next write tries again.
    const std::wstring previous = path_ + kPreviousSuffix;
    DeleteFileW(previous.c_str());
    MoveFileW(path_.c_str(), previous.c_str());
}

UpdaterLog &Log()
{
    // Never destroyed: a session still finishing a step when the process ends may write to it after
    // the exit-time destructors have run.
    static UpdaterLog *const log = new UpdaterLog;
    return *log;
}

namespace {
// Builds the process-wide log during static initialisation, before WinMain.
UpdaterLog &constructedEarly = Log();
} // namespace

} // namespace nvupdater
