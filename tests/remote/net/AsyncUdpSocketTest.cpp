#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/net/NetTestSupport.h"
#include "remote/net/SocketIOThread.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using test::bytesOf;

// Records every callback; fails the test if one arrives off the main thread.
class UdpRecorder : public AsyncUdpSocketDelegate {
public:
    struct Datagram {
        std::vector<std::uint8_t> data;
        SocketAddress from;
    };

    void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                 const SocketAddress& from) override {
        EXPECT_TRUE(MainQueue::shared().isMainThread());
        received.push_back({std::vector<std::uint8_t>(data.begin(), data.end()), from});
        if (onReceive) onReceive(socket);
    }
    void udpSocketDidSendData(AsyncUdpSocket&, long tag) override {
        EXPECT_TRUE(MainQueue::shared().isMainThread());
        sent.push_back(tag);
    }
    void udpSocketDidNotSendData(AsyncUdpSocket&, long tag, const SocketError& error) override {
        notSent.push_back({tag, error});
    }
    void udpSocketDidClose(AsyncUdpSocket&) override { ++closed; }
    void udpSocketDestinationUnreachable(AsyncUdpSocket&, const SocketAddress& destination,
                                         const SocketError& error) override {
        EXPECT_TRUE(MainQueue::shared().isMainThread());
        unreachable.push_back({destination, error});
    }

    std::vector<Datagram> received;
    std::vector<long> sent;
    std::vector<std::pair<long, SocketError>> notSent;
    std::vector<std::pair<SocketAddress, SocketError>> unreachable;
    int closed = 0;
    std::function<void(AsyncUdpSocket&)> onReceive;
};

// `host` ("127.0.0.1", "::1", any numeric address) and `port`; empty for "".
SocketAddress addressOf(const std::string& host, std::uint16_t port) {
    if (host.empty()) return {};
    socklen_t length = 0;
    const sockaddr_storage storage = test::loopbackAddress(host, port, &length);
    return SocketAddress(reinterpret_cast<const sockaddr*>(&storage), length);
}

using test::pump;
using test::settle;

class UdpFamilyTest : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "::1" && !test::ipv6LoopbackAvailable()) {
            GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
        }
    }
    std::string host() const { return GetParam(); }
};

TEST_P(UdpFamilyTest, DeliversADatagramWithTheSendersAddressAndReportsTheSend) {
    UdpRecorder receiving;
    UdpRecorder sending;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    SocketError error;
    ASSERT_TRUE(receiver.bindToPort(0, &error)) << error.fullDescription();
    ASSERT_TRUE(receiver.beginReceiving(&error)) << error.fullDescription();
    ASSERT_NE(receiver.localPort(), 0);

    sender.sendData(bytesOf("/cue/go"), host(), receiver.localPort(), 3, 42);

    ASSERT_TRUE(pump([&] { return !receiving.received.empty() && !sending.sent.empty(); }));
    EXPECT_EQ(receiving.received[0].data, bytesOf("/cue/go"));
    EXPECT_EQ(receiving.received[0].from.host(), host());
    EXPECT_EQ(AsyncUdpSocket::hostFromAddress(receiving.received[0].from), host());
    // An implicit bind gave the sender a port, which the receiver sees.
    EXPECT_NE(sender.localPort(), 0);
    EXPECT_EQ(receiving.received[0].from.port(), sender.localPort());
    EXPECT_EQ(sending.sent, (std::vector<long>{42}));
    EXPECT_TRUE(sending.notSent.empty());
}

// Verifies the receive buffer size: a datagram of exactly 9216 bytes arrives
// whole and a longer one arrives cut to its first 9216 bytes.
TEST_P(UdpFamilyTest, CutsDatagramsLongerThanTheReceiveBuffer) {
    UdpRecorder receiving;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());
    FileDescriptor peer = test::plainSocket(SOCK_DGRAM, host());
    std::vector<std::uint8_t> exact(AsyncUdpSocket::kMaxDatagramBytes);
    std::vector<std::uint8_t> longer(AsyncUdpSocket::kMaxDatagramBytes + 1000);
    for (std::size_t i = 0; i < longer.size(); ++i)
        longer[i] = static_cast<std::uint8_t>(i * 7);
    for (std::size_t i = 0; i < exact.size(); ++i)
        exact[i] = static_cast<std::uint8_t>(i * 3);
    ASSERT_TRUE(test::sendDatagram(peer.get(), host(), receiver.localPort(), exact));
    ASSERT_TRUE(test::sendDatagram(peer.get(), host(), receiver.localPort(), longer));

    ASSERT_TRUE(pump([&] { return receiving.received.size() == 2; }));
    EXPECT_EQ(receiving.received[0].data, exact);
    const std::vector<std::uint8_t> cut(longer.begin(),
                                        longer.begin() + AsyncUdpSocket::kMaxDatagramBytes);
    EXPECT_EQ(receiving.received[1].data, cut);
}

// Verifies the send to an address: no lookup, an implicit bind, delivery
// with the sender's port and a completion with the tag.
TEST_P(UdpFamilyTest, SendsToAnAddress) {
    UdpRecorder receiving;
    UdpRecorder sending;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());

    sender.sendData(bytesOf("/reply"), addressOf(host(), receiver.localPort()), 3, 8);

    ASSERT_TRUE(pump([&] { return !receiving.received.empty() && !sending.sent.empty(); }));
    EXPECT_EQ(receiving.received[0].data, bytesOf("/reply"));
    EXPECT_EQ(receiving.received[0].from, addressOf(host(), sender.localPort()));
    EXPECT_EQ(sending.sent, (std::vector<long>{8}));
    EXPECT_TRUE(sending.notSent.empty());
}

INSTANTIATE_TEST_SUITE_P(Loopback, UdpFamilyTest, testing::Values("127.0.0.1", "::1"),
                         [](const auto& instance) {
                             return std::string(instance.param) == "::1" ? "IPv6" : "IPv4";
                         });

TEST(AsyncUdpSocketTest, MisuseFailsInTheSocketDomain) {
    UdpRecorder recorder;
    AsyncUdpSocket socket(&recorder, MainQueue::shared());
    SocketError error;
    EXPECT_FALSE(socket.beginReceiving(&error));
    EXPECT_EQ(error.domain, kAsyncUdpSocketErrorDomain);
    EXPECT_EQ(error.description, "Must bind a socket before you can receive data.");

    ASSERT_TRUE(socket.bindToPort(0));
    error = {};
    EXPECT_FALSE(socket.bindToPort(0, &error));
    EXPECT_EQ(error.domain, kAsyncUdpSocketErrorDomain);
    EXPECT_EQ(error.description, "Cannot bind a socket more than once.");
    EXPECT_NE(error.fullDescription().find("AsyncUdpSocketErrorDomain"), std::string::npos);
}

// Verifies the error of a taken port: the POSIX domain, EADDRINUSE and the
// failing call, all in the one-line description; nothing stays open.
TEST(AsyncUdpSocketTest, BindingATakenPortFailsWithAddressInUse) {
    // Held without address reuse, as another program would hold it.
    FileDescriptor holder = test::plainSocket(SOCK_DGRAM, "0.0.0.0");
    ASSERT_TRUE(holder.valid());
    const std::uint16_t taken = test::boundPort(holder.get());

    UdpRecorder recorder;
    AsyncUdpSocket socket(&recorder, MainQueue::shared());
    ASSERT_TRUE(socket.enableBroadcast(true));
    SocketError error;
    EXPECT_FALSE(socket.bindToPort(taken, &error));
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.reason, "Error in bind() function");
    EXPECT_EQ(error.fullDescription(), "Error Domain=POSIX Code=" + std::to_string(EADDRINUSE) +
                                           " \"" + std::strerror(EADDRINUSE) +
                                           "\" (Error in bind() function)");
    EXPECT_TRUE(socket.isClosed());
    EXPECT_EQ(socket.localPort(), 0);
    EXPECT_FALSE(socket.beginReceiving());
}

// Verifies event order on the main thread: datagrams arrive in the order one
// peer sent them, and send completions in the order the sends were queued.
TEST(AsyncUdpSocketTest, CallbacksArriveOnTheMainThreadInOrder) {
    UdpRecorder receiving;
    UdpRecorder sending;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        sender.sendData(bytesOf(std::to_string(i)), "127.0.0.1", receiver.localPort(), -1, i);
    }
    ASSERT_TRUE(
        pump([&] { return receiving.received.size() == kCount && sending.sent.size() == kCount; }));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(receiving.received[i].data, bytesOf(std::to_string(i)));
        ASSERT_EQ(sending.sent[i], i);
    }
}

// Verifies that a datagram to "localhost" reaches a receiver bound to the
// IPv4 loopback only, although the name lists ::1 as well.
TEST(AsyncUdpSocketTest, SendsToANamedHostOverIPv4) {
    FileDescriptor receiver = test::plainSocket(SOCK_DGRAM, "127.0.0.1");
    ASSERT_TRUE(receiver.valid());
    timeval wait{10, 0};
    ::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    UdpRecorder sending;
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    sender.sendData(bytesOf("named"), "localhost", test::boundPort(receiver.get()), 3, 1);
    char buffer[16] = {};
    EXPECT_EQ(::recv(receiver.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer), "named");
    ASSERT_TRUE(pump([&] { return sending.sent.size() == 1; }));
}

TEST(AsyncUdpSocketTest, SendWithoutAHostFails) {
    UdpRecorder sending;
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    sender.sendData(bytesOf("x"), "", 9, 3, 5);
    ASSERT_TRUE(pump([&] { return sending.notSent.size() == 1; }));
    EXPECT_EQ(sending.notSent[0].first, 5);
    EXPECT_EQ(sending.notSent[0].second.domain, kAsyncUdpSocketErrorDomain);
    EXPECT_TRUE(sending.sent.empty());
}

TEST(AsyncUdpSocketTest, SendToAnEmptyAddressFails) {
    UdpRecorder sending;
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    sender.sendData(bytesOf("x"), SocketAddress(), 3, 6);
    ASSERT_TRUE(pump([&] { return sending.notSent.size() == 1; }));
    EXPECT_EQ(sending.notSent[0].first, 6);
    EXPECT_EQ(sending.notSent[0].second.domain, kAsyncUdpSocketErrorDomain);
    EXPECT_EQ(sending.notSent[0].second.code, int(SocketErrorCode::badParam));
    EXPECT_TRUE(sending.sent.empty());
}

struct UnreachableCase {
    const char* name;
    const char* host;
    bool reports;
    // The option is set on the bound socket, which then closes and binds again.
    bool rebind;
};

void PrintTo(const UnreachableCase& c, std::ostream* out) {
    *out << c.name;
}

class UdpUnreachableTest : public testing::TestWithParam<UnreachableCase> {};

// Verifies the unreachable reports: each datagram to a closed port is
// reported once, with its destination, when the option is on, and never when
// it is off. Either way the socket goes on sending and receiving: a datagram
// sent right behind one that comes back (whose send the kernel may fail with
// that report) still goes out.
TEST_P(UdpUnreachableTest, ReportsAClosedPortAndKeepsWorking) {
    const UnreachableCase& c = GetParam();
    if (std::string(c.host) == "::1" && !test::ipv6LoopbackAvailable()) {
        GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    }
    // Echoes every datagram to where it came from.
    UdpRecorder echoing;
    AsyncUdpSocket echo(&echoing, MainQueue::shared());
    echoing.onReceive = [&](AsyncUdpSocket& socket) {
        socket.sendData(echoing.received.back().data, echoing.received.back().from, 3, 0);
    };
    ASSERT_TRUE(echo.bindToPort(0));
    ASSERT_TRUE(echo.beginReceiving());

    UdpRecorder sending;
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    SocketError error;
    ASSERT_TRUE(sender.bindToPort(0));
    if (c.reports) {
        ASSERT_TRUE(sender.setReportsUnreachable(true, &error)) << error.fullDescription();
    }
    if (c.rebind) {
        sender.close();
        ASSERT_TRUE(pump([&] { return sending.closed == 1; }));
        ASSERT_TRUE(sender.bindToPort(0));
    }
    ASSERT_TRUE(sender.beginReceiving());

    std::uint16_t closedPort = 0;
    {
        FileDescriptor gone = test::plainSocket(SOCK_DGRAM, c.host);
        ASSERT_TRUE(gone.valid());
        closedPort = test::boundPort(gone.get());
    }
    const SocketAddress closed = addressOf(c.host, closedPort);

    constexpr long kRounds = 2;
    for (long round = 1; round <= kRounds; ++round) {
        // Queued from the socket thread, so that both go in one turn of its
        // loop: the second send comes before the first one's report is read.
        SocketIOThread::shared().run([&, round] {
            sender.sendData(bytesOf("lost"), c.host, closedPort, 3, -round);
            sender.sendData(bytesOf("echo " + std::to_string(round)), c.host, echo.localPort(), 3,
                            round);
        });
        // The echo has gone both ways, well after the closed port's report.
        ASSERT_TRUE(pump([&] {
            return !sending.notSent.empty() ||
                   (sending.received.size() == std::size_t(round) &&
                    (!c.reports || sending.unreachable.size() == std::size_t(round)));
        })) << "round "
            << round;
        ASSERT_TRUE(sending.notSent.empty()) << sending.notSent[0].second.fullDescription();
        EXPECT_EQ(sending.received.back().data, bytesOf("echo " + std::to_string(round)));
        EXPECT_EQ(sending.received.back().from, addressOf(c.host, echo.localPort()));
    }
    settle();
    EXPECT_EQ(sending.unreachable.size(), c.reports ? std::size_t(kRounds) : 0u);
    for (const auto& [destination, report] : sending.unreachable) {
        EXPECT_EQ(destination, closed) << destination.text();
        EXPECT_EQ(report.domain, kPosixErrorDomain);
        EXPECT_EQ(report.code, ECONNREFUSED);
    }
    EXPECT_EQ(sending.sent, (std::vector<long>{-1, 1, -2, 2}));
    EXPECT_TRUE(sending.notSent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, UdpUnreachableTest,
    testing::Values(UnreachableCase{"IPv4Reported", "127.0.0.1", true, false},
                    UnreachableCase{"IPv4Unreported", "127.0.0.1", false, false},
                    UnreachableCase{"IPv6Reported", "::1", true, false},
                    UnreachableCase{"IPv6Unreported", "::1", false, false},
                    UnreachableCase{"IPv4ReportedAfterRebinding", "127.0.0.1", true, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Verifies the send-then-close cycle the OSC client uses: the datagram goes,
// the socket closes after it, and the next send opens it again.
TEST(AsyncUdpSocketTest, CloseAfterSendingClosesOnceSentAndASendReopens) {
    UdpRecorder receiving;
    UdpRecorder sending;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    AsyncUdpSocket sender(&sending, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());
    for (int round = 1; round <= 2; ++round) {
        sender.sendData(bytesOf("round"), "127.0.0.1", receiver.localPort(), 3, round);
        sender.closeAfterSending();
        ASSERT_TRUE(pump([&] {
            return sending.closed == round && receiving.received.size() == std::size_t(round);
        }));
        EXPECT_TRUE(sender.isClosed());
    }
    EXPECT_EQ(sending.sent, (std::vector<long>{1, 2}));
}

TEST(AsyncUdpSocketTest, ClosedSocketCanBindAgain) {
    UdpRecorder recorder;
    AsyncUdpSocket socket(&recorder, MainQueue::shared());
    ASSERT_TRUE(socket.bindToPort(0));
    socket.close();
    EXPECT_TRUE(socket.isClosed());
    ASSERT_TRUE(pump([&] { return recorder.closed == 1; }));
    EXPECT_TRUE(socket.bindToPort(0));
    EXPECT_TRUE(socket.beginReceiving());
}

TEST(AsyncUdpSocketTest, DestroyingTheSocketInsideItsReceiveCallbackStopsDelivery) {
    UdpRecorder receiving;
    auto receiver = std::make_unique<AsyncUdpSocket>(&receiving, MainQueue::shared());
    ASSERT_TRUE(receiver->bindToPort(0));
    ASSERT_TRUE(receiver->beginReceiving());
    const std::uint16_t port = receiver->localPort();
    receiving.onReceive = [&](AsyncUdpSocket& socket) {
        EXPECT_EQ(&socket, receiver.get());
        receiver.reset();
    };
    FileDescriptor peer = test::plainSocket(SOCK_DGRAM, "127.0.0.1");
    // Several at once, so that more are already read when the first is handled.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(test::sendDatagram(peer.get(), "127.0.0.1", port, bytesOf("x")));
    }
    ASSERT_TRUE(pump([&] { return receiver == nullptr; }));
    settle();
    EXPECT_EQ(receiving.received.size(), 1u);
}

TEST(AsyncUdpSocketTest, ClearingTheDelegateSilencesTheSocket) {
    UdpRecorder receiving;
    AsyncUdpSocket receiver(&receiving, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());
    FileDescriptor peer = test::plainSocket(SOCK_DGRAM, "127.0.0.1");
    ASSERT_TRUE(test::sendDatagram(peer.get(), "127.0.0.1", receiver.localPort(), bytesOf("a")));
    ASSERT_TRUE(pump([&] { return receiving.received.size() == 1; }));

    receiver.clearDelegate();
    ASSERT_TRUE(test::sendDatagram(peer.get(), "127.0.0.1", receiver.localPort(), bytesOf("b")));
    receiver.close();
    settle();
    EXPECT_EQ(receiving.received.size(), 1u);
    EXPECT_EQ(receiving.closed, 0);
}

struct HostCase {
    const char* name;
    int family;
    const char* address;
    const char* expected;
};

void PrintTo(const HostCase& c, std::ostream* out) {
    *out << c.address;
}

class SocketAddressHostTest : public testing::TestWithParam<HostCase> {};

TEST_P(SocketAddressHostTest, ShowsTheNumericHostAndPort) {
    const HostCase& c = GetParam();
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (c.family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(7777);
        ASSERT_EQ(::inet_pton(AF_INET, c.address, &v4->sin_addr), 1);
        length = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(7777);
        ASSERT_EQ(::inet_pton(AF_INET6, c.address, &v6->sin6_addr), 1);
        length = sizeof *v6;
    }
    const SocketAddress address(reinterpret_cast<sockaddr*>(&storage), length);
    EXPECT_EQ(address.host(), c.expected);
    EXPECT_EQ(address.port(), 7777);
}

INSTANTIATE_TEST_SUITE_P(Addresses, SocketAddressHostTest,
                         testing::Values(HostCase{"IPv4", AF_INET, "192.168.1.20", "192.168.1.20"},
                                         HostCase{"IPv6", AF_INET6, "fe80::1:2", "fe80::1:2"},
                                         HostCase{"IPv6Loopback", AF_INET6, "::1", "::1"},
                                         HostCase{"MappedIPv4", AF_INET6, "::ffff:10.0.0.7",
                                                  "10.0.0.7"}),
                         [](const auto& instance) { return std::string(instance.param.name); });

struct AddressPair {
    const char* name;
    SocketAddress a;
    SocketAddress b;
    // -1: a orders before b, 0: equal, 1: after.
    int order;
};

void PrintTo(const AddressPair& c, std::ostream* out) {
    *out << c.name;
}

class SocketAddressCompareTest : public testing::TestWithParam<AddressPair> {};

// Verifies that equality and order agree and that the order is antisymmetric.
TEST_P(SocketAddressCompareTest, ComparesFamilyAddressAndPort) {
    const AddressPair& c = GetParam();
    EXPECT_EQ(c.a == c.b, c.order == 0);
    EXPECT_EQ(c.b == c.a, c.order == 0);
    EXPECT_EQ(c.a < c.b, c.order < 0);
    EXPECT_EQ(c.b<c.a, c.order> 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SocketAddressCompareTest,
    testing::Values(
        AddressPair{"Same", addressOf("127.0.0.1", 9000), addressOf("127.0.0.1", 9000), 0},
        AddressPair{"SameIPv6", addressOf("::1", 9000), addressOf("::1", 9000), 0},
        // 255 and 256 order the other way as raw bytes in either byte order.
        AddressPair{"PortDiffers", addressOf("127.0.0.1", 255), addressOf("127.0.0.1", 256), -1},
        AddressPair{"AddressDiffers", addressOf("10.0.0.2", 9000), addressOf("10.0.0.1", 9000), 1},
        AddressPair{"FamilyDiffers", addressOf("127.0.0.1", 9000),
                    addressOf("::ffff:127.0.0.1", 9000), -1},
        AddressPair{"EmptyFirst", SocketAddress(), addressOf("127.0.0.1", 9000), -1},
        AddressPair{"BothEmpty", SocketAddress(), SocketAddress(), 0},
        AddressPair{"WithPort", addressOf("::1", 9000).withPort(9001), addressOf("::1", 9001), 0},
        AddressPair{"EmptyWithPort", SocketAddress().withPort(9000), SocketAddress(), 0}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST(SocketAddressTest, TextShowsHostAndPort) {
    const struct {
        SocketAddress address;
        const char* expected;
    } cases[] = {
        {addressOf("127.0.0.1", 9000), "127.0.0.1:9000"},
        {addressOf("::1", 9000), "[::1]:9000"},
        {addressOf("::ffff:10.0.0.7", 53000), "10.0.0.7:53000"},
        {addressOf("127.0.0.1", 9000).withPort(0), "127.0.0.1:0"},
        {SocketAddress(), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.address.text(), c.expected);
    }
}

}  // namespace
}  // namespace bw
