#include "conversation.h"

#include "testsupport.h"

namespace brokertest {

Conversation::Conversation()
{
    log_.mark();
    DWORD opened = client_.openWithin(3000);
    EXPECT_EQ(0u, opened) << "the pipe did not take the client";
    if (opened == 0)
        greeting_ = receive();
}

void Conversation::send(const std::wstring &message) { EXPECT_EQ(0u, client_.write(message)); }

std::string Conversation::receive(DWORD timeoutMs)
{
    std::wstring message;
    DWORD error = client_.read(message, timeoutMs);
    return error == 0 ? nvtest::narrow(message) : "<error " + std::to_string(error) + ">";
}

std::vector<std::string> Conversation::closedLog(DWORD timeoutMs)
{
    EXPECT_TRUE(log_.waitForLine("Comm - Pipe closed.", timeoutMs)) << "the session did not end";
    client_.close();
    return log_.lines();
}

std::vector<std::string> greeted(int version)
{
    return {"Comm - Pipe connected.", "Comm - Connected to Setup Wrapper with protocol version " + std::to_string(version) + "."};
}

std::vector<std::string> received(const std::string &path)
{
    std::vector<std::string> lines = greeted();
    lines.push_back("Comm - Recieved package '" + path + "'.");
    return lines;
}

} // namespace brokertest
