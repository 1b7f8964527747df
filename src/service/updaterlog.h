// The service's own text log: "service.log" in the logs folder of the service folder, one line per
// message stamped with the UTC time and a level, moved aside to "service.log.previous" once it has
// grown past 1,000,000 bytes.
//
// The file holds 8-bit text: every character up to U+00FF is written as the byte of the same value.
// A character above U+00FF is written as "\u{" followed by its code point in upper-case hexadecimal
// (at least four digits) and "}": U+0416 becomes \u{0416}, and a surrogate pair is joined into one
// code point, so U+1F600 becomes \u{1F600}. A surrogate without its partner is written with its own
// value (\u{D83D}). Control characters below U+0020 other than the tab are written in the same form
// (a line feed as \u{000A}), so that a message, which may carry text from a pipe client, always
// stays one line and can never forge another. A backslash in the message is written unchanged.
#pragma once

#include "tiny/nmutex.h"

#include <string>

namespace nvupdater {

enum LogLevel { LogError = 1, LogDebug = 2, LogInfo = 3, LogComm = 4 };

class UpdaterLog {
public:
    UpdaterLog();
    virtual ~UpdaterLog();

    // Points the log at GetServiceFolder() + "\logs\service.log"; with no service folder, nowhere
    // (every line is then lost). Always 0.
    int SetPath();

    // 0 when the line was written, -1 when the file could not be opened (the message is lost).
    int Write(std::wstring message, int level);

    const std::wstring &Path() const { return path_; }

protected:
    // For tests: another file.
    void SetPathTo(const std::wstring &path) { path_ = path; }

private:
    void RotateIfNeeded();

    norvo::tiny::NMutex lock_;
    std::wstring path_;
};

// The process-wide log, constructed before WinMain and alive until the process ends.
UpdaterLog &Log();

} // namespace nvupdater
