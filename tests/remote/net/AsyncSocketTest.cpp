#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/net/AsyncSocket.h"
#include "remote/net/NetTestSupport.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using test::bytesOf;

// Records every callback in order; fails the test if one arrives off the main
// thread. Accepted sockets are kept here.
class TcpRecorder : public AsyncSocketDelegate {
public:
    void socketDidAcceptNewSocket(AsyncSocket&, std::unique_ptr<AsyncSocket> socket) override {
        onMain();
        events.push_back("accept");
        accepted.push_back(std::move(socket));
        if (onAccept) onAccept(*accepted.back());
    }
    void socketDidConnectToHost(AsyncSocket&, const std::string& host,
                                std::uint16_t port) override {
        onMain();
        events.push_back("connect");
        connectedHost = host;
        connectedPort = port;
    }
    void socketDidReadData(AsyncSocket& socket, std::span<const std::uint8_t> data,
                           long tag) override {
        onMain();
        events.push_back("read " + std::to_string(tag));
        bytesRead.insert(bytesRead.end(), data.begin(), data.end());
        if (onRead) onRead(socket, data, tag);
    }
    void socketDidWriteData(AsyncSocket&, long tag) override {
        onMain();
        events.push_back("write " + std::to_string(tag));
    }
    void socketDidCloseReadStream(AsyncSocket&) override {
        onMain();
        events.push_back("close read");
    }
    void socketDidDisconnect(AsyncSocket&, const std::optional<SocketError>& error) override {
        onMain();
        events.push_back("disconnect");
        disconnectErrors.push_back(error);
    }
    double socketShouldTimeoutRead(AsyncSocket&, long tag, double elapsed, std::size_t) override {
        onMain();
        events.push_back("read timeout " + std::to_string(tag));
        timeoutElapsed.push_back(elapsed);
        return readExtensions.empty() ? 0 : readExtensions[timeoutElapsed.size() - 1];
    }

    bool has(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }

    std::vector<std::string> events;
    std::vector<std::unique_ptr<AsyncSocket>> accepted;
    std::string connectedHost;
    std::uint16_t connectedPort = 0;
    std::vector<std::uint8_t> bytesRead;
    std::vector<std::optional<SocketError>> disconnectErrors;
    std::vector<double> readExtensions;  // answers to successive read timeouts
    std::vector<double> timeoutElapsed;
    std::function<void(AsyncSocket&)> onAccept;
    std::function<void(AsyncSocket&, std::span<const std::uint8_t>, long)> onRead;

private:
    static void onMain() { EXPECT_TRUE(MainQueue::shared().isMainThread()); }
};

using test::pump;
using test::settle;

// A listener and one client connected to it; `server` is the accepted end.
struct Connection {
    TcpRecorder listening;
    TcpRecorder connecting;
    AsyncSocket listener{&listening, MainQueue::shared()};
    AsyncSocket client{&connecting, MainQueue::shared()};
    AsyncSocket* server = nullptr;

    bool open(const std::string& host) {
        SocketError error;
        if (!listener.acceptOnPort(0, &error)) {
            ADD_FAILURE() << error.fullDescription();
            return false;
        }
        if (!client.connectToHost(host, listener.localPort(), &error)) {
            ADD_FAILURE() << error.fullDescription();
            return false;
        }
        if (!pump([&] { return connecting.has("connect") && listening.accepted.size() == 1; })) {
            return false;
        }
        server = listening.accepted[0].get();
        return true;
    }
};

class TcpFamilyTest : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "::1" && !test::ipv6LoopbackAvailable()) {
            GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
        }
    }
    std::string host() const { return GetParam(); }
};

TEST_P(TcpFamilyTest, ConnectsAndCarriesDataBothWaysWithTags) {
    Connection c;
    ASSERT_TRUE(c.open(host()));
    EXPECT_EQ(c.connecting.connectedHost, host());
    EXPECT_EQ(c.connecting.connectedPort, c.listener.localPort());
    EXPECT_TRUE(c.client.isConnected());
    EXPECT_TRUE(c.server->isConnected());
    EXPECT_FALSE(c.listener.isConnected());
    EXPECT_EQ(c.server->connectedHost(), host());
    EXPECT_EQ(c.server->connectedPort(), c.client.localPort());
    EXPECT_EQ(c.client.connectedPort(), c.listener.localPort());

    c.server->readData(-1, 3);
    c.client.writeData(bytesOf("hello"), 3, 7);
    ASSERT_TRUE(pump([&] { return c.listening.has("read 3") && c.connecting.has("write 7"); }));
    EXPECT_EQ(c.listening.bytesRead, bytesOf("hello"));

    c.client.readData(5, 11);
    c.server->writeData(bytesOf("world"), -1, 12);
    ASSERT_TRUE(pump([&] { return c.connecting.has("read 11") && c.listening.has("write 12"); }));
    EXPECT_EQ(c.connecting.bytesRead, bytesOf("world"));
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpFamilyTest, testing::Values("127.0.0.1", "::1"),
                         [](const auto& instance) {
                             return std::string(instance.param) == "::1" ? "IPv6" : "IPv4";
                         });

// Verifies that queued reads take successive chunks in order, each with its
// own tag, and that a read queued before any data waits for it.
TEST(AsyncSocketTest, QueuedReadsCompleteInOrderWithTheirTags) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    c.listening.onRead = [&](AsyncSocket& socket, std::span<const std::uint8_t>, long tag) {
        if (tag < 5) socket.readData(-1, tag + 1);
    };
    c.server->readData(-1, 1);
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 5; ++i) {
        const std::vector<std::uint8_t> part = bytesOf("part" + std::to_string(i));
        all.insert(all.end(), part.begin(), part.end());
        c.client.writeData(part, -1, i);
        // Apart in time, so that each lands in a read of its own more often than not.
        settle();
    }
    ASSERT_TRUE(pump([&] { return c.listening.bytesRead.size() == all.size(); }));
    EXPECT_EQ(c.listening.bytesRead, all);
    std::vector<std::string> reads;
    for (const std::string& event : c.listening.events) {
        if (event.rfind("read ", 0) == 0) reads.push_back(event);
    }
    ASSERT_FALSE(reads.empty());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i], "read " + std::to_string(i + 1));
    }
}

// Verifies the timeout question: the first answer extends the read, the
// second (0) fails it with a timeout error and disconnects.
TEST(AsyncSocketTest, ReadTimeoutIsExtendedThenFails) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    c.listening.readExtensions = {0.1, 0};
    c.server->readData(0.1, 9);
    ASSERT_TRUE(pump([&] { return c.listening.has("disconnect"); }));
    ASSERT_EQ(c.listening.timeoutElapsed.size(), 2u);
    EXPECT_GE(c.listening.timeoutElapsed[0], 0.09);
    EXPECT_GE(c.listening.timeoutElapsed[1], c.listening.timeoutElapsed[0] + 0.09);
    const std::vector<std::string> expected = {"accept", "read timeout 9", "read timeout 9",
                                               "disconnect"};
    EXPECT_EQ(c.listening.events, expected);
    ASSERT_TRUE(c.listening.disconnectErrors[0].has_value());
    EXPECT_EQ(c.listening.disconnectErrors[0]->domain, kAsyncSocketErrorDomain);
    EXPECT_EQ(c.listening.disconnectErrors[0]->code, int(SocketErrorCode::timeout));
    EXPECT_FALSE(c.server->isConnected());
    // The peer sees the connection end.
    c.client.readData(-1, 1);
    ASSERT_TRUE(pump([&] { return c.connecting.has("disconnect"); }));
}

// Verifies that a large write (many partial sends) followed by
// disconnectAfterWriting delivers every byte before the peer sees the end.
TEST(AsyncSocketTest, DisconnectAfterWritingDeliversAllDataThenEndOfStream) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    std::vector<std::uint8_t> payload(4 * 1024 * 1024);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>((i * 131) >> 3);
    }
    c.listening.onRead = [](AsyncSocket& socket, std::span<const std::uint8_t>, long) {
        socket.readData(-1, 0);
    };
    c.client.writeData(payload, 10, 77);
    c.client.disconnectAfterWriting();
    c.server->readData(-1, 0);

    ASSERT_TRUE(pump([&] { return c.listening.has("disconnect"); }));
    EXPECT_EQ(c.listening.bytesRead.size(), payload.size());
    EXPECT_TRUE(c.listening.bytesRead == payload);
    // The end of the stream comes after all data, then the disconnect, without error.
    ASSERT_GE(c.listening.events.size(), 3u);
    EXPECT_EQ(c.listening.events[c.listening.events.size() - 2], "close read");
    EXPECT_EQ(c.listening.events.back(), "disconnect");
    EXPECT_FALSE(c.listening.disconnectErrors[0].has_value());

    ASSERT_TRUE(pump([&] { return c.connecting.has("disconnect"); }));
    const std::vector<std::string> expected = {"connect", "write 77", "disconnect"};
    EXPECT_EQ(c.connecting.events, expected);
    EXPECT_FALSE(c.connecting.disconnectErrors[0].has_value());
}

// Verifies the count of queued write bytes against a peer that does not
// read: it stays at what the kernel could not take, goes to 0 when the
// socket disconnects, and a write to the disconnected socket is not counted.
TEST(AsyncSocketTest, QueuedWriteBytesShowAStalledPeerAndClearOnDisconnect) {
    // A peer with a small receive buffer (set before listening, so that the
    // accepted socket has it from the start): the kernel holds little.
    FileDescriptor listening = test::plainSocket(SOCK_STREAM, "127.0.0.1");
    ASSERT_TRUE(listening.valid());
    const int receiveBufferBytes = 64 * 1024;
    ASSERT_EQ(::setsockopt(listening.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes,
                           sizeof receiveBufferBytes),
              0);
    ASSERT_EQ(::listen(listening.get(), 1), 0);
    TcpRecorder recorder;
    AsyncSocket client(&recorder, MainQueue::shared());
    const std::uint16_t port = test::boundPort(listening.get());
    ASSERT_TRUE(client.connectToHost("127.0.0.1", port));
    const FileDescriptor peer(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(pump([&] { return recorder.has("connect"); }));
    const int fd = test::socketDescriptor(client.localPort(), port);
    ASSERT_GE(fd, 0);

    constexpr std::size_t kChunk = 1 << 20;
    constexpr std::size_t kChunks = 32;
    for (std::size_t i = 0; i < kChunks; ++i) {
        client.writeData(std::vector<std::uint8_t>(kChunk, std::uint8_t(i)), -1, long(i));
    }
    // Some bytes went, and the kernel takes no more.
    ASSERT_TRUE(pump([&] {
        pollfd writable{fd, POLLOUT, 0};
        return recorder.has("write 0") && ::poll(&writable, 1, 0) == 0;
    }));
    const std::size_t stalled = client.queuedWriteBytes();
    EXPECT_GT(stalled, kChunks * kChunk / 2);
    EXPECT_LE(stalled, (kChunks - 1) * kChunk);

    client.disconnect();
    EXPECT_EQ(client.queuedWriteBytes(), 0u);
    client.writeData(std::vector<std::uint8_t>(kChunk), -1, 99);
    EXPECT_TRUE(pump([&] { return client.queuedWriteBytes() == 0; }));
}

TEST(AsyncSocketTest, PeerCloseWithNoReadQueuedIsStillNoticed) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    c.client.disconnect();
    ASSERT_TRUE(pump([&] { return c.listening.has("disconnect"); }));
    const std::vector<std::string> expected = {"accept", "close read", "disconnect"};
    EXPECT_EQ(c.listening.events, expected);
    // The side that disconnected is told too.
    ASSERT_TRUE(pump([&] { return c.connecting.has("disconnect"); }));
}

TEST(AsyncSocketTest, ConnectingToAClosedPortDisconnectsWithAPosixError) {
    // Bound but not listening: connections to it are refused.
    FileDescriptor closed = test::plainSocket(SOCK_STREAM, "127.0.0.1");
    ASSERT_TRUE(closed.valid());
    TcpRecorder recorder;
    AsyncSocket client(&recorder, MainQueue::shared());
    SocketError error;
    ASSERT_TRUE(client.connectToHost("127.0.0.1", test::boundPort(closed.get()), &error))
        << error.fullDescription();
    ASSERT_TRUE(pump([&] { return recorder.has("disconnect"); }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"disconnect"}));
    ASSERT_TRUE(recorder.disconnectErrors[0].has_value());
    EXPECT_EQ(recorder.disconnectErrors[0]->domain, kPosixErrorDomain);
    EXPECT_EQ(recorder.disconnectErrors[0]->code, ECONNREFUSED);
    EXPECT_FALSE(client.isConnected());
}

TEST(AsyncSocketTest, MisuseAndTakenPortsFail) {
    TcpRecorder recorder;
    AsyncSocket listener(&recorder, MainQueue::shared());
    ASSERT_TRUE(listener.acceptOnPort(0));
    SocketError error;
    EXPECT_FALSE(listener.acceptOnPort(0, &error));
    EXPECT_EQ(error.domain, kAsyncSocketErrorDomain);
    EXPECT_FALSE(listener.connectToHost("127.0.0.1", listener.localPort(), &error));
    EXPECT_EQ(error.domain, kAsyncSocketErrorDomain);

    AsyncSocket second(&recorder, MainQueue::shared());
    error = {};
    EXPECT_FALSE(second.acceptOnPort(listener.localPort(), &error));
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.reason, "Error in bind() function");

    AsyncSocket client(&recorder, MainQueue::shared());
    error = {};
    EXPECT_FALSE(client.connectToHost("", 1, &error));
    EXPECT_EQ(error.domain, kAsyncSocketErrorDomain);
    EXPECT_EQ(error.code, int(SocketErrorCode::badParam));
}

// Verifies that a listener stopped with disconnectAfterWriting can listen
// again on the same port (the OSC server changes ports this way).
TEST(AsyncSocketTest, ListenerCanListenAgainAfterDisconnecting) {
    TcpRecorder recorder;
    AsyncSocket listener(&recorder, MainQueue::shared());
    ASSERT_TRUE(listener.acceptOnPort(0));
    const std::uint16_t port = listener.localPort();
    listener.disconnectAfterWriting();
    ASSERT_TRUE(pump([&] { return recorder.has("disconnect"); }));
    SocketError error;
    EXPECT_TRUE(listener.acceptOnPort(port, &error)) << error.fullDescription();
}

TEST(AsyncSocketTest, ClearingTheDelegateSilencesTheSocket) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    c.server->readData(-1, 1);
    c.server->setDelegate(nullptr);
    c.client.writeData(bytesOf("unheard"), -1, 1);
    c.client.disconnect();
    settle();
    EXPECT_EQ(c.listening.events, (std::vector<std::string>{"accept"}));
}

TEST(AsyncSocketTest, DestroyingTheSocketInsideItsReadCallbackStopsDelivery) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    c.listening.onRead = [&](AsyncSocket& socket, std::span<const std::uint8_t>, long) {
        // Queue more reads first, so that more deliveries could follow.
        socket.readData(-1, 2);
        socket.readData(-1, 3);
        c.listening.accepted.clear();
        c.server = nullptr;
    };
    c.server->readData(-1, 1);
    c.client.writeData(bytesOf("first"), -1, 1);
    ASSERT_TRUE(pump([&] { return c.server == nullptr; }));
    c.client.writeData(bytesOf("second"), -1, 2);
    // The peer sees the connection end.
    c.client.readData(-1, 1);
    ASSERT_TRUE(pump([&] { return c.connecting.has("disconnect"); }));
    settle();
    EXPECT_EQ(c.listening.events, (std::vector<std::string>{"accept", "read 1"}));
}

// Verifies that a connection accepted after its listener lost its delegate is
// closed rather than left open with nobody to own it.
TEST(AsyncSocketTest, ConnectionAcceptedWithoutADelegateIsClosed) {
    TcpRecorder listening;
    TcpRecorder connecting;
    AsyncSocket listener(&listening, MainQueue::shared());
    ASSERT_TRUE(listener.acceptOnPort(0));
    listener.setDelegate(nullptr);
    AsyncSocket client(&connecting, MainQueue::shared());
    ASSERT_TRUE(client.connectToHost("127.0.0.1", listener.localPort()));
    client.readData(-1, 1);
    ASSERT_TRUE(pump([&] { return connecting.has("disconnect"); }));
    EXPECT_TRUE(listening.events.empty());
}

// Verifies the keepalive settings of an accepted connection by reading them
// back. The options are the whole of the fix: the kernel sends the probes and
// drops a peer that stops answering, which a test would need more than a
// minute and a cut link to watch.
TEST(AsyncSocketTest, AcceptedConnectionsProbeIdlePeers) {
    Connection c;
    ASSERT_TRUE(c.open("127.0.0.1"));
    const int fd = test::socketDescriptor(c.listener.localPort(), c.client.localPort());
    ASSERT_GE(fd, 0);
    const struct {
        int level;
        int name;
        int expected;
        const char* label;
    } options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
                   {IPPROTO_TCP, TCP_KEEPIDLE, 30, "TCP_KEEPIDLE"},
                   {IPPROTO_TCP, TCP_KEEPINTVL, 10, "TCP_KEEPINTVL"},
                   {IPPROTO_TCP, TCP_KEEPCNT, 3, "TCP_KEEPCNT"}};
    for (const auto& option : options) {
        int value = -1;
        socklen_t length = sizeof value;
        ASSERT_EQ(::getsockopt(fd, option.level, option.name, &value, &length), 0) << option.label;
        EXPECT_EQ(value, option.expected) << option.label;
    }
}

// Takes every free descriptor but one under a lowered soft limit; gives them
// back and restores the limit when it goes.
class DescriptorShortage {
public:
    DescriptorShortage() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (highest < 0) return;
        spare_.emplace_back(highest);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 16;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        while (true) {
            const int fd = ::fcntl(highest, F_DUPFD_CLOEXEC, 0);
            if (fd < 0) break;
            spare_.emplace_back(fd);
        }
        spare_.pop_back();  // one left for the connecting peer
    }
    ~DescriptorShortage() {
        spare_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorShortage(const DescriptorShortage&) = delete;
    DescriptorShortage& operator=(const DescriptorShortage&) = delete;

private:
    rlimit saved_{};
    std::vector<FileDescriptor> spare_;
};

// Verifies that a listener out of descriptors says so once when accepting
// starts failing and once when it works again, not at every retry, and that
// the waiting connection is accepted then.
TEST(AsyncSocketTest, AcceptFailingForWantOfDescriptorsIsLoggedOnceEachWay) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers check memory through a pipe of their own: with no
    // descriptor left they report good objects as bad. The plain build runs it.
    GTEST_SKIP() << "runs out of file descriptors, which the sanitizers' own checks need";
#endif
    TcpRecorder listening;
    AsyncSocket listener(&listening, MainQueue::shared());
    ASSERT_TRUE(listener.acceptOnPort(0));
    SystemLog::ScopedCapture log;
    FileDescriptor peer;
    {
        DescriptorShortage shortage;
        peer = test::plainSocket(SOCK_STREAM, "127.0.0.1");
        ASSERT_TRUE(peer.valid());
        socklen_t length = 0;
        const sockaddr_storage to =
            test::loopbackAddress("127.0.0.1", listener.localPort(), &length);
        ASSERT_EQ(::connect(peer.get(), reinterpret_cast<const sockaddr*>(&to), length), 0);
        // Several back-offs of the listener.
        MainQueue::shared().pumpUntil([] { return false; }, 600ms);
        EXPECT_TRUE(listening.accepted.empty());
    }
    ASSERT_TRUE(pump([&] { return listening.accepted.size() == 1; }));
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("Too many open files"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("again"), std::string::npos) << lines[1];
}

}  // namespace
}  // namespace bw
