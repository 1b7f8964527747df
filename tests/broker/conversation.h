// One Setup Wrapper conversation against the running service, and the log lines it produced.
#pragma once

#include "brokerharness.h"

#include <gtest/gtest.h>

namespace brokertest {

class Conversation {
public:
    // Connects (bounded) and takes the service's greeting.
    Conversation();

    PipeClient &client() { return client_; }
    const std::string &greeting() const { return greeting_; }

    // Sends one message; the test fails when it cannot be written.
    void send(const std::wstring &message);
    // The next message from the service, or "<error N>" when none came.
    std::string receive(DWORD timeoutMs = 5000);
    // True when the service hangs up without sending anything more.
    bool hungUp(DWORD timeoutMs = 5000) { return client_.disconnectedWithin(timeoutMs); }

    // Waits for the session's "Pipe closed." and gives every line the session wrote.
    std::vector<std::string> closedLog(DWORD timeoutMs = 5000);

private:
    LogWatch log_;
    PipeClient client_;
    std::string greeting_;
};

// The lines of a session from the connection through its greeting reply "200 NSW <version>".
std::vector<std::string> greeted(int version = 1);
// ... and a package command that names `path`.
std::vector<std::string> received(const std::string &path);

} // namespace brokertest

#define EXPECT_LINES(actual, ...) EXPECT_EQ("", brokertest::compareLines(actual, std::vector<std::string>(__VA_ARGS__)))
