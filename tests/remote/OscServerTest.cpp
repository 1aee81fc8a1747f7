#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <set>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/RemoteTestSupport.h"
#include "remote/osc/OscClient.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscServer.h"

namespace bw {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes message(const std::string& address, std::vector<OscValue> arguments = {}) {
    return OscMessage(address, std::move(arguments)).packetData();
}

// A plain blocking TCP connection to the server, as an outside controller.
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    bool connected() const { return connected_; }
    void send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void close() { fd_.reset(); }

private:
    FileDescriptor fd_;
    bool connected_ = false;
};

class OscServerTest : public test::ListeningServerTest {
protected:
    bool pumpUntil(const std::function<bool()>& done) {
        return MainQueue::shared().pumpUntil(done, std::chrono::seconds(10));
    }
    bool waitForMessages(std::size_t count) {
        return pumpUntil([&] { return destination_.messages.size() >= count; });
    }
    std::vector<std::string> addresses() const {
        std::vector<std::string> result;
        for (const auto& m : destination_.messages)
            result.push_back(m.addressPattern());
        return result;
    }
};

TEST_F(OscServerTest, DeliversADatagramWithAReplySocketToTheSender) {
    server_.setUdpReplyPort(9001);
    FileDescriptor sender(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bytes bytes = message("/cue", {12.5f});
    ::sendto(sender.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);

    ASSERT_TRUE(waitForMessages(1));
    const OscMessage& received = destination_.messages[0];
    EXPECT_EQ(received.addressPattern(), "/cue");
    ASSERT_EQ(received.arguments().size(), 1u);
    EXPECT_EQ(received.arguments()[0].floatValue(), 12.5);
    ASSERT_NE(received.replySocket, nullptr);
    EXPECT_EQ(received.replySocket->host(), "127.0.0.1");
    EXPECT_EQ(received.replySocket->port(), 9001);
    EXPECT_FALSE(received.replySocket->isTcp());
}

TEST_F(OscServerTest, NumbersConnectionsWithoutReuse) {
    auto first = std::make_unique<RawConnection>(port_);
    ASSERT_TRUE(pumpUntil([&] { return server_.activeConnections() == std::vector<long>{0}; }));
    RawConnection second(port_);
    ASSERT_TRUE(pumpUntil([&] { return server_.activeConnections() == std::vector<long>{0, 1}; }));
    first.reset();
    ASSERT_TRUE(pumpUntil([&] { return server_.activeConnections() == std::vector<long>{1}; }));
    RawConnection third(port_);
    ASSERT_TRUE(pumpUntil([&] { return server_.activeConnections() == std::vector<long>{1, 2}; }));
    EXPECT_EQ(server_.activeIndex(), 3);
    const OscSocket* wrapper = server_.connectionSocket(2);
    ASSERT_NE(wrapper, nullptr);
    EXPECT_EQ(wrapper->host(), "127.0.0.1");
    EXPECT_NE(wrapper->port(), 0);
}

TEST_F(OscServerTest, DecodesSlipFramesSkippingEmptyOnes) {
    RawConnection connection(port_);
    Bytes stream{0xC0};
    for (const Bytes& packet : {message("/go"), message("/cue", {2})}) {
        Bytes framed = OscParser::slipEncode(packet);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    // END, /go, END, END, /cue, END: the empty frame between the ENDs is nothing.
    connection.send(stream);
    ASSERT_TRUE(waitForMessages(2));
    EXPECT_EQ(addresses(), (std::vector<std::string>{"/go", "/cue"}));
    EXPECT_EQ(destination_.messages[1].arguments()[0].integerValue(), 2);
    ASSERT_NE(destination_.messages[0].replySocket, nullptr);
    EXPECT_TRUE(destination_.messages[0].replySocket->isTcp());
}

TEST_F(OscServerTest, DecodesLengthPrefixedStreamsSplitAnywhere) {
    RawConnection connection(port_);
    Bytes stream;
    for (int i = 0; i < 5; ++i) {
        Bytes packet = message("/cue", {i});
        const auto n = static_cast<std::uint32_t>(packet.size());
        stream.insert(stream.end(),
                      {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                       static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    // In pieces of 3 bytes, so lengths and packets straddle reads.
    for (std::size_t at = 0; at < stream.size(); at += 3) {
        connection.send(Bytes(stream.begin() + static_cast<long>(at),
                              stream.begin() + static_cast<long>(std::min(at + 3, stream.size()))));
    }
    ASSERT_TRUE(waitForMessages(5));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(destination_.messages[static_cast<std::size_t>(i)].arguments()[0].integerValue(),
                  i);
    }
}

TEST_F(OscServerTest, RefusesConnectionsBeyondTheLimitWithOneWarning) {
    SystemLog::ScopedCapture log;
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (std::size_t i = 0; i < OscServer::kMaxConnections; ++i) {
        connections.push_back(std::make_unique<RawConnection>(port_));
    }
    ASSERT_TRUE(pumpUntil(
        [&] { return server_.activeConnections().size() == OscServer::kMaxConnections; }));
    RawConnection refused(port_);
    ASSERT_TRUE(pumpUntil([&] { return !log.lines().empty(); }));
    EXPECT_TRUE(log.lines()[0].starts_with("Warning: ")) << log.lines()[0];
    EXPECT_EQ(server_.activeConnections().size(), OscServer::kMaxConnections);

    connections.front().reset();  // room again
    ASSERT_TRUE(pumpUntil(
        [&] { return server_.activeConnections().size() == OscServer::kMaxConnections - 1; }));
    RawConnection accepted(port_);
    ASSERT_TRUE(pumpUntil(
        [&] { return server_.activeConnections().size() == OscServer::kMaxConnections; }));
    EXPECT_EQ(log.lines().size(), 1u);
}

// Verifies that peers which have closed again no longer count against the
// limit, though the main thread has not yet handled their close: the peers
// come while the main thread is busy elsewhere (not pumping), as during a GO.
TEST_F(OscServerTest, QuickPeersInARowAreNeitherRefusedNorLost) {
    SystemLog::ScopedCapture log;
    constexpr int kPeers = 300;
    for (int i = 0; i < kPeers; ++i) {
        RawConnection peer(port_);
        ASSERT_TRUE(peer.connected()) << i;
        peer.send(OscParser::slipEncode(message("/cue", {i})));
    }
    ASSERT_TRUE(waitForMessages(kPeers)) << destination_.messages.size() << " of " << kPeers;
    std::set<std::int32_t> cues;
    for (const OscMessage& m : destination_.messages)
        cues.insert(m.arguments()[0].int32Value());
    EXPECT_EQ(cues.size(), static_cast<std::size_t>(kPeers));
    EXPECT_EQ(log.lines(), std::vector<std::string>{});
    EXPECT_TRUE(pumpUntil([&] { return server_.activeConnections().empty(); }));
}

TEST(OscServerPortTest, DoesNotStartUdpWhenTheTcpPortIsTaken) {
    const std::uint16_t port = test::freePort();
    FileDescriptor holder(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder.get(), 1), 0);

    OscServer server;
    server.setPort(port);
    SocketError error;
    EXPECT_FALSE(server.startListening(&error));
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(server.udpSocket().udpSocket()->localPort(), 0) << "UDP must not be bound";
}

// Verifies that the UDP side never shares its port, even with a holder that
// asks for address reuse.
TEST(OscServerPortTest, FailsWhenAnotherSocketHoldsTheUdpPort) {
    const std::uint16_t port = test::freePort();
    const FileDescriptor holder = test::holdUdpPort(port);
    ASSERT_TRUE(holder.valid());

    OscServer server;
    server.setPort(port);
    SocketError error;
    EXPECT_FALSE(server.startListening(&error));
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE) << error.fullDescription();
}

TEST(OscServerPortTest, ListensOnTheSystemPortWhenItIsFree) {
    OscServer server;
    server.setPort(OscServer::kDefaultPort);
    if (!server.startListening()) GTEST_SKIP() << "port 7777 is in use here";
    EXPECT_EQ(server.tcpSocket().tcpSocket()->localPort(), 7777);
    EXPECT_EQ(server.udpSocket().udpSocket()->localPort(), 7777);
}

TEST_F(OscServerTest, ClientSendsOverUdpAndSlipTcp) {
    OscClient client;
    client.setHost("127.0.0.1");
    client.setPort(port_);
    client.sendPacket(OscMessage("/cue", {1.5f}));
    ASSERT_TRUE(waitForMessages(1));

    client.setUseTcp(true);
    EXPECT_EQ(client.socket(), nullptr) << "a change of transport drops the socket";
    ASSERT_TRUE(client.connect());
    for (int i = 0; i < 3; ++i)
        client.sendPacket(OscMessage("/go", {i}));
    ASSERT_TRUE(waitForMessages(4));
    EXPECT_EQ(addresses(), (std::vector<std::string>{"/cue", "/go", "/go", "/go"}));
    EXPECT_EQ(destination_.messages[3].arguments()[0].integerValue(), 2);
    EXPECT_TRUE(client.isConnected());
}

TEST(OscClientTest, DefaultsAndSettings) {
    OscClient client;
    EXPECT_EQ(client.host(), "localhost");
    EXPECT_EQ(client.port(), 53000);
    EXPECT_FALSE(client.useTcp());
    EXPECT_EQ(client.title(), "localhost : 53000");
    EXPECT_EQ(client.description(), "[OscClient localhost:53000]");

    client.setState({"", 8000, true, std::string("tag")});
    EXPECT_EQ(client.host(), "");
    EXPECT_EQ(client.title(), "<invalid>");
    OscClientState state = client.state();
    EXPECT_EQ(state.port, 8000);
    EXPECT_TRUE(state.useTcp);
    EXPECT_EQ(std::any_cast<std::string>(state.userData), "tag");
    EXPECT_FALSE(client.connect()) << "TCP needs a host";
}

TEST(OscClientTest, DefaultClientSendsToLocalhostPort53000OverUdp) {
    FileDescriptor receiver(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(OscClient::kDefaultPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        GTEST_SKIP() << "port 53000 is in use here";
    }
    OscClient client;
    client.sendPacket(OscMessage("/go"));
    std::uint8_t buffer[64];
    ssize_t n = -1;
    MainQueue::shared().pumpUntil([&] {
        n = ::recv(receiver.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0;
    });
    EXPECT_EQ(Bytes(buffer, buffer + std::max<ssize_t>(n, 0)), message("/go"));
}

}  // namespace
}  // namespace bw
