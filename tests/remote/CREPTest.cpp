#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sstream>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "remote/CREP.h"
#include "remote/CREPDelegate.h"
#include "remote/RemoteTestSupport.h"

namespace bw {
namespace {

class RecordingCREPDelegate : public CREPDelegate {
public:
    void commandReceived(const std::string& text) override { commands.push_back(text); }
    std::vector<std::string> commands;
};

// The header, the 4 free bytes, then the text.
std::vector<std::uint8_t> datagram(const std::string& text,
                                   std::array<std::uint8_t, 4> free = {1, 2, 3, 4}) {
    std::string raw(CREP::kHeader.begin(), CREP::kHeader.end());
    raw.append(free.begin(), free.end());
    raw += text;
    return {raw.begin(), raw.end()};
}

struct Endpoint {
    explicit Endpoint(std::uint16_t port = test::freePort())
        : crep(port, MainQueue::shared(), out) {
        crep.setDelegate(delegate);
    }
    std::ostringstream out;
    CREP crep;
    std::shared_ptr<RecordingCREPDelegate> delegate = std::make_shared<RecordingCREPDelegate>();
};

TEST(CREPTest, DeliversTheTextOfDatagramsWithTheHeader) {
    Endpoint endpoint;
    auto& crep = endpoint.crep;
    crep.handleDatagram(datagram("go"));
    crep.handleDatagram(datagram("cue 12.5", {0xff, 0, 0x7f, 9}));
    crep.handleDatagram(datagram(""));                      // exactly 10 bytes
    crep.handleDatagram(datagram("go\n"));                  // line ends stay in the text
    crep.handleDatagram(datagram(std::string("go\0", 3)));  // so do NULs
    crep.handleDatagram(datagram("Bühne"));
    EXPECT_EQ(
        endpoint.delegate->commands,
        (std::vector<std::string>{"go", "cue 12.5", "", "go\n", std::string("go\0", 3), "Bühne"}));
}

TEST(CREPTest, DropsDatagramsWithoutHeaderTextOrValidUtf8) {
    Endpoint endpoint;
    auto& crep = endpoint.crep;
    auto wrongLetter = datagram("go");
    wrongLetter[3] = 0x44;
    crep.handleDatagram(wrongLetter);
    crep.handleDatagram(std::vector<std::uint8_t>(CREP::kHeader.begin(), CREP::kHeader.end() - 1));
    crep.handleDatagram(std::vector<std::uint8_t>(CREP::kHeader.begin(), CREP::kHeader.end()));
    auto headerAndThree = datagram("");
    headerAndThree.pop_back();  // 9 bytes: the header, no room for a command
    crep.handleDatagram(headerAndThree);
    crep.handleDatagram(datagram("\xc3("));
    crep.handleDatagram({});
    EXPECT_TRUE(endpoint.delegate->commands.empty());
}

TEST(CREPTest, CountsEveryDatagramModulo256) {
    Endpoint endpoint;
    EXPECT_EQ(endpoint.crep.seqBkwd(), 0);
    for (int i = 0; i < 256; ++i) {
        endpoint.crep.handleDatagram(i % 2 == 0 ? datagram("go") : std::vector<std::uint8_t>{1});
    }
    EXPECT_EQ(endpoint.crep.seqBkwd(), 0);
    EXPECT_EQ(endpoint.crep.seqFwd(), 0);
    endpoint.crep.handleDatagram({});
    EXPECT_EQ(endpoint.crep.seqBkwd(), 1);
    EXPECT_EQ(endpoint.delegate->commands.size(), 128u);
}

TEST(CREPTest, ReceivesDatagramsOverUdpInArrivalOrder) {
    Endpoint endpoint;
    ASSERT_TRUE(endpoint.crep.isReceiving()) << endpoint.out.str();
    EXPECT_EQ(endpoint.crep.host(), "255.255.255.255");

    FileDescriptor sender(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(endpoint.crep.localPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const char* text : {"go", "cue 1", "cue 2.5"}) {
        auto bytes = datagram(text);
        ASSERT_EQ(::sendto(sender.get(), bytes.data(), bytes.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    MainQueue::shared().pumpUntil([&] { return endpoint.delegate->commands.size() == 3; });
    EXPECT_EQ(endpoint.delegate->commands, (std::vector<std::string>{"go", "cue 1", "cue 2.5"}));
}

void expectOneErrorLine(const Endpoint& endpoint, std::uint16_t port) {
    EXPECT_FALSE(endpoint.crep.isReceiving());
    const std::string line = endpoint.out.str();
    EXPECT_TRUE(line.starts_with("Error! ")) << line;
    EXPECT_NE(line.find("POSIX"), std::string::npos) << line;
    EXPECT_NE(line.find("Error in bind() function"), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(endpoint.crep.port(), port);
}

// Verifies that a UDP port is never shared: the holder asks for address reuse
// too, which on Linux would let both bind and leave one of them deaf.
TEST(CREPTest, SaysErrorOnceAndStaysDeafWhenThePortIsTaken) {
    const std::uint16_t port = test::freePort();
    const FileDescriptor holder = test::holdUdpPort(port);
    ASSERT_TRUE(holder.valid());

    Endpoint endpoint(port);
    expectOneErrorLine(endpoint, port);
}

// Verifies the second instance's case: two endpoints on one port.
TEST(CREPTest, ASecondEndpointOnTheSamePortSaysError) {
    const std::uint16_t port = test::freePort();
    Endpoint first(port);
    ASSERT_TRUE(first.crep.isReceiving()) << first.out.str();
    Endpoint second(port);
    expectOneErrorLine(second, port);
    EXPECT_TRUE(first.crep.isReceiving());
    EXPECT_EQ(first.out.str(), "");
}

TEST(CREPTest, BindsTheSystemPortWhenItIsFree) {
    std::ostringstream out;
    CREP crep(CREP::kDefaultPort, MainQueue::shared(), out);
    if (!crep.isReceiving()) GTEST_SKIP() << "port 6553 is in use here: " << out.str();
    EXPECT_EQ(crep.localPort(), 6553);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace bw
