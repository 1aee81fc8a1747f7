// Bounded load on loopback: many datagrams, many connections, many unused
// sockets. Counts and descriptor tallies only; no timing is asserted.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "remote/net/AsyncSocket.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/net/NetTestSupport.h"
#include "remote/net/SocketIOThread.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

class CountingUdpDelegate : public AsyncUdpSocketDelegate {
public:
    explicit CountingUdpDelegate(int expected) : seen(expected, false) {}

    void udpSocketDidReceiveData(AsyncUdpSocket&, std::span<const std::uint8_t> data,
                                 const SocketAddress&) override {
        std::uint32_t sequence = 0;
        if (data.size() < sizeof sequence) return;
        std::memcpy(&sequence, data.data(), sizeof sequence);
        if (sequence < seen.size() && !seen[sequence]) {
            seen[sequence] = true;
            ++received;
        } else {
            ++unexpected;
        }
    }

    std::vector<bool> seen;
    std::atomic<int> received{0};
    int unexpected = 0;
};

// Verifies that a steady stream of 20,000 small datagrams from another
// thread reaches the delegate, each exactly once. The sender keeps at most a
// bounded number in flight, so a slow (sanitised) build is not flooded past
// the socket's buffer.
TEST(SocketLoadTest, DeliversEveryDatagramOfASteadyStream) {
    constexpr int kCount = 20000;
    constexpr int kBurst = 50;
    constexpr int kMaxInFlight = 1000;
    CountingUdpDelegate counting(kCount);
    AsyncUdpSocket receiver(&counting, MainQueue::shared());
    ASSERT_TRUE(receiver.bindToPort(0));
    ASSERT_TRUE(receiver.beginReceiving());
    const std::uint16_t port = receiver.localPort();

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        FileDescriptor fd = test::plainSocket(SOCK_DGRAM, "127.0.0.1");
        std::vector<std::uint8_t> payload(32, 0xab);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (std::uint32_t i = 0; i < kCount && !stop; ++i) {
            while (static_cast<int>(i) - counting.received.load() >= kMaxInFlight && !stop &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(200us);
            }
            std::memcpy(payload.data(), &i, sizeof i);
            if (test::sendDatagram(fd.get(), "127.0.0.1", port, payload)) ++sent;
            if (i % kBurst == kBurst - 1) std::this_thread::sleep_for(200us);
        }
    });
    const bool all =
        MainQueue::shared().pumpUntil([&] { return counting.received.load() == kCount; }, 90s);
    stop = true;
    sender.join();
    EXPECT_TRUE(all) << counting.received << " of " << sent << " sent";
    EXPECT_EQ(sent, kCount);
    EXPECT_EQ(counting.unexpected, 0);
}

class ConnectionCounter : public AsyncSocketDelegate {
public:
    void socketDidAcceptNewSocket(AsyncSocket&, std::unique_ptr<AsyncSocket> socket) override {
        accepted = std::move(socket);
        ++acceptedCount;
    }
    void socketDidConnectToHost(AsyncSocket&, const std::string&, std::uint16_t) override {
        ++connectedCount;
    }
    void socketDidDisconnect(AsyncSocket&, const std::optional<SocketError>& error) override {
        if (error) ++errors;
    }

    std::unique_ptr<AsyncSocket> accepted;
    int acceptedCount = 0;
    int connectedCount = 0;
    int errors = 0;
};

TEST(SocketLoadTest, OpeningAndClosingConnectionsLeavesNoDescriptorBehind) {
    constexpr int kConnections = 200;
    const bool v6 = test::ipv6LoopbackAvailable();
    ConnectionCounter server;
    ConnectionCounter clients;
    AsyncSocket listener(&server, MainQueue::shared());
    ASSERT_TRUE(listener.acceptOnPort(0));  // the I/O thread exists from here on
    MainQueue::shared().drain();
    const int before = test::openDescriptorCount();

    for (int i = 0; i < kConnections; ++i) {
        const char* host = (v6 && i % 2 == 1) ? "::1" : "127.0.0.1";
        auto client = std::make_unique<AsyncSocket>(&clients, MainQueue::shared());
        ASSERT_TRUE(client->connectToHost(host, listener.localPort()));
        ASSERT_TRUE(MainQueue::shared().pumpUntil(
            [&] { return clients.connectedCount == i + 1 && server.acceptedCount == i + 1; }, 10s))
            << "connection " << i;
        // Both ends watch for the peer's close; half the time each end goes first.
        client->readData(-1, 0);
        server.accepted->readData(-1, 0);
        if (i % 2 == 0) client.reset();
        server.accepted.reset();
        client.reset();
    }
    MainQueue::shared().drain();
    EXPECT_EQ(test::openDescriptorCount(), before);
    EXPECT_EQ(server.errors + clients.errors, 0);
}

TEST(SocketLoadTest, UnusedUdpSocketsOpenNoDescriptors) {
    SocketIOThread::shared();
    const int before = test::openDescriptorCount();
    class Silent : public AsyncUdpSocketDelegate {
        void udpSocketDidReceiveData(AsyncUdpSocket&, std::span<const std::uint8_t>,
                                     const SocketAddress&) override {}
    } delegate;
    std::vector<std::unique_ptr<AsyncUdpSocket>> sockets;
    for (int i = 0; i < 1000; ++i) {
        sockets.push_back(std::make_unique<AsyncUdpSocket>(&delegate, MainQueue::shared()));
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
    EXPECT_TRUE(sockets.back()->isClosed());
    sockets.clear();
    EXPECT_EQ(test::openDescriptorCount(), before);
}

}  // namespace
}  // namespace bw
