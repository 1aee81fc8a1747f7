#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscServer.h"

namespace bw::test {

// Keeps a copy of every message it is given, in order.
class RecordingDestination : public OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override { messages.push_back(message); }
    std::vector<OscMessage> messages;
};

// A server listening on a free port, recording what it receives.
class ListeningServerTest : public ::testing::Test {
protected:
    void SetUp() override;

    std::uint16_t port_ = 0;
    RecordingDestination destination_;
    OscServer server_;
};

// A port that is free for both TCP and UDP on IPv4 and IPv6 right now.
std::uint16_t freePort();

// A UDP socket bound to `port` on all IPv4 addresses with address reuse set,
// as many programs bind theirs; not valid when the bind fails.
FileDescriptor holdUdpPort(std::uint16_t port);

// Runs a shell command on another thread; the main thread keeps pumping the
// main queue meanwhile. Returns the command's exit status.
int runCommand(const std::string& command);

// Whether `program` is on the PATH.
bool haveProgram(const std::string& program);

}  // namespace bw::test
