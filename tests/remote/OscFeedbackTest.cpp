// The OSC feedback through a real server on loopback: subscriptions over UDP
// and both TCP framings, the limit, the UDP lease, peers that vanish, and
// the queries.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "remote/OscFeedback.h"
#include "remote/RemoteTestSupport.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscSocket.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Framing = OscSocket::Framing;

constexpr auto kDeadline = 20s;

class FakeSource : public ShowStateSource {
public:
    ShowState showState() const override { return state; }
    std::vector<Cue> showCues() const override { return cues; }
    std::vector<OutputSummary> showOutputs() const override { return outputs; }
    ShowState state;
    std::vector<Cue> cues;
    std::vector<OutputSummary> outputs;
};

// Hands the feedback's addresses to it, as the network front does.
class FeedbackDestination : public OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override {
        if (feedback != nullptr) feedback->takeMessage(message);
    }
    OscFeedback* feedback = nullptr;
};

std::vector<OscMessage> decode(std::span<const std::uint8_t> packet) {
    test::RecordingDestination recorder;
    OscParser::processOscData(packet, &recorder, nullptr);
    return recorder.messages;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A controller on a UDP socket of its own, as an OSC app has.
class UdpPeer {
public:
    UdpPeer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address = loopback(0);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    std::uint16_t port() const { return port_; }
    void send(std::uint16_t to, const OscPacket& packet) {
        const std::vector<std::uint8_t> bytes = packet.packetData();
        const sockaddr_in address = loopback(to);
        ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // The messages of the next datagram; empty when none came in time.
    std::vector<OscMessage> receive() {
        std::vector<std::uint8_t> buffer(65536);
        ssize_t count = -1;
        MainQueue::shared().pumpUntil(
            [&] { return (count = ::recv(fd_.get(), buffer.data(), buffer.size(), 0)) >= 0; },
            kDeadline);
        if (count < 0) return {};
        return decode(std::span(buffer.data(), static_cast<std::size_t>(count)));
    }
    void close() { fd_.reset(); }

private:
    FileDescriptor fd_;
    std::uint16_t port_ = 0;
};

// A controller on one TCP connection, framing as it is told.
class TcpPeer {
public:
    TcpPeer(std::uint16_t to, Framing framing)
        : fd_(::socket(AF_INET, SOCK_STREAM, 0)), framing_(framing) {
        const sockaddr_in address = loopback(to);
        connected_ =
            ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        state_.socket = std::make_shared<OscSocket>(std::make_unique<AsyncUdpSocket>());
    }
    bool connected() const { return connected_; }
    void send(const OscPacket& packet) {
        const std::vector<std::uint8_t> bytes = OscSocket::frame(packet.packetData(), framing_);
        ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads until at least `count` messages have come.
    std::vector<OscMessage> receive(std::size_t count) {
        MainQueue::shared().pumpUntil(
            [&] {
                std::uint8_t chunk[4096];
                const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    const std::span<const std::uint8_t> data(chunk, static_cast<std::size_t>(n));
                    if (framing_ == Framing::Slip) {
                        OscParser::translateSlipData(data, buffer_, state_, &recorder_);
                    } else {
                        OscParser::translateLengthPrefixedData(data, buffer_, state_, &recorder_);
                    }
                }
                return recorder_.messages.size() >= count;
            },
            kDeadline);
        return std::exchange(recorder_.messages, {});
    }
    void close() { fd_.reset(); }

private:
    FileDescriptor fd_;
    Framing framing_;
    bool connected_ = false;
    std::vector<std::uint8_t> buffer_;
    OscStreamState state_;
    test::RecordingDestination recorder_;
};

std::vector<std::string> addresses(const std::vector<OscMessage>& messages) {
    std::vector<std::string> list;
    for (const OscMessage& message : messages) list.push_back(message.addressPattern());
    return list;
}

const std::vector<std::string> kStateAddresses = {
    "/beamwright/event",  "/beamwright/current", "/beamwright/next",     "/beamwright/nextWraps",
    "/beamwright/fade",   "/beamwright/movie",   "/beamwright/state",    "/beamwright/locked",
    "/beamwright/health", "/beamwright/clock",   "/beamwright/warnings", "/beamwright/autoIn"};

OscMessage subscribe(int on) {
    return OscMessage("/updates", {on});
}

class OscFeedbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = test::freePort();
        server_.setPort(port_);
        server_.setDelegate(&destination_);
        ASSERT_TRUE(server_.startListening());
        destination_.feedback = &feedback_;
        source_.state.current = {"12.5", "Opening"};
        source_.state.next = {"13.0", "Blackout"};
        feedback_.setSource(&source_);
    }
    void push(ShowState::Change change = ShowState::Change::Go) {
        feedback_.showStateChanged(source_.state, change);
    }

    std::uint16_t port_ = 0;
    OscServer server_;
    FeedbackDestination destination_;
    OscFeedback::Clock::time_point now_ = OscFeedback::Clock::now();
    OscFeedback feedback_{server_, [this] { return now_; }};
    FakeSource source_;
};

TEST_F(OscFeedbackTest, StateMessagesCarryEveryFigureWithItsTypes) {
    ShowState state;
    state.current = {"12.5", "Opening"};
    state.fadeProgress = 0.25;
    state.fadeElapsed = 0.5;
    state.fadeRemaining = 1.5;
    state.mode = ShowState::Mode::Fading;
    state.framesDropped = 3;
    state.framesPerSecond = 59.5;
    state.warnings = {"dropped frames: 3 dropped", "clock: lost"};
    const std::vector<OscMessage> messages =
        OscFeedback::stateMessages(state, ShowState::Change::Go);
    ASSERT_EQ(addresses(messages), kStateAddresses);
    EXPECT_EQ(messages[0], OscMessage("/beamwright/event", {"go", ""}));
    EXPECT_EQ(messages[1], OscMessage("/beamwright/current", {"12.5", "Opening"}));
    EXPECT_EQ(messages[2], OscMessage("/beamwright/next", {"", ""}));
    EXPECT_EQ(messages[4], OscMessage("/beamwright/fade", {0.25f, 0.5f, 1.5f}));
    EXPECT_EQ(messages.back(), OscMessage("/beamwright/autoIn", {-1.0f}));
    EXPECT_EQ(messages[5], OscMessage("/beamwright/movie", {-1.0f, -1.0f}));
    EXPECT_EQ(messages[6], OscMessage("/beamwright/state", {"fading"}));
    EXPECT_EQ(messages[8], OscMessage("/beamwright/health", {3, 59.5f}));
    EXPECT_EQ(messages[10], OscMessage("/beamwright/warnings",
                                       {2, "dropped frames: 3 dropped; clock: lost"}));
}

TEST_F(OscFeedbackTest, AUdpSubscriberGetsTheStateThenEveryChangeUntilItLeaves) {
    UdpPeer peer;
    peer.send(port_, subscribe(1));
    EXPECT_EQ(addresses(peer.receive()), kStateAddresses);
    EXPECT_EQ(feedback_.subscriberCount(), 1u);

    source_.state.current = {"13.0", "Blackout"};
    push();
    const std::vector<OscMessage> change = peer.receive();
    ASSERT_EQ(addresses(change), kStateAddresses);
    EXPECT_EQ(change[0], OscMessage("/beamwright/event", {"go", ""}));
    EXPECT_EQ(change[1], OscMessage("/beamwright/current", {"13.0", "Blackout"}));

    peer.send(port_, subscribe(0));
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return feedback_.subscriberCount() == 0; },
                                              kDeadline));
    push();
    // The next thing it hears is its own question's answer, not the change.
    peer.send(port_, OscMessage("/beamwright/get", {"state"}));
    EXPECT_EQ(peer.receive(), (std::vector{OscMessage("/beamwright/state", {"standby"})}));
}

TEST_F(OscFeedbackTest, APortArgumentSendsTheUpdatesThereOnTheSendersHost) {
    UdpPeer sender;
    UdpPeer listener;
    sender.send(port_, OscMessage("/updates", {1, static_cast<int>(listener.port())}));
    EXPECT_EQ(addresses(listener.receive()), kStateAddresses);
    sender.send(port_, OscMessage("/beamwright/get", {"current", static_cast<int>(listener.port())}));
    EXPECT_EQ(listener.receive(),
              (std::vector{OscMessage("/beamwright/current", {"12.5", "Opening"})}));
}

TEST_F(OscFeedbackTest, SixtyFourSubscribersAllHearAChangeAndTheNextIsRefused) {
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (std::size_t i = 0; i < OscFeedback::kMaxSubscribers; ++i) {
        peers.push_back(std::make_unique<UdpPeer>());
        peers.back()->send(port_, subscribe(1));
        ASSERT_EQ(peers.back()->receive().size(), kStateAddresses.size()) << i;
    }
    UdpPeer refused;
    refused.send(port_, subscribe(1));
    const std::vector<OscMessage> answer = refused.receive();
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].addressPattern(), "/beamwright/error");
    EXPECT_NE(answer[0].arguments()[0].stringValue()->find("64 controllers"), std::string::npos);
    EXPECT_EQ(feedback_.subscriberCount(), OscFeedback::kMaxSubscribers);

    push();
    for (auto& peer : peers) EXPECT_EQ(peer->receive().size(), kStateAddresses.size());
}

TEST_F(OscFeedbackTest, AUdpSubscriptionLapsesUnlessRenewed) {
    UdpPeer renewing;
    UdpPeer silent;
    for (UdpPeer* peer : {&renewing, &silent}) {
        peer->send(port_, subscribe(1));
        ASSERT_FALSE(peer->receive().empty());
    }
    now_ += OscFeedback::kUdpLease - 1s;
    renewing.send(port_, subscribe(1));
    ASSERT_FALSE(renewing.receive().empty());
    now_ += 2s;
    EXPECT_EQ(feedback_.subscriberCount(), 1u);
    now_ += OscFeedback::kUdpLease;
    EXPECT_EQ(feedback_.subscriberCount(), 0u);
}

TEST_F(OscFeedbackTest, ASubscriberWhosePortClosedIsDropped) {
    UdpPeer gone;
    UdpPeer staying;
    for (UdpPeer* peer : {&gone, &staying}) {
        peer->send(port_, subscribe(1));
        ASSERT_FALSE(peer->receive().empty());
    }
    gone.close();
    // Each push to the closed port comes back as an ICMP error.
    ASSERT_TRUE(MainQueue::shared().pumpUntil(
        [&] {
            push(ShowState::Change::Tick);
            return feedback_.subscriberCount() == 1;
        },
        kDeadline));
    push();
    // The other one still hears every change, the last one included.
    std::vector<OscMessage> last;
    for (std::vector<OscMessage> got; !(got = staying.receive()).empty();) {
        last = got;
        if (last[0] == OscMessage("/beamwright/event", {"go", ""})) break;
    }
    EXPECT_EQ(last.at(0), OscMessage("/beamwright/event", {"go", ""}));
}

class OscFeedbackTcpTest : public OscFeedbackTest,
                           public ::testing::WithParamInterface<Framing> {};

TEST_P(OscFeedbackTcpTest, TheConnectionIsTheSubscriptionAnsweredInItsOwnFraming) {
    TcpPeer peer(port_, GetParam());
    ASSERT_TRUE(peer.connected());
    peer.send(subscribe(1));
    EXPECT_EQ(addresses(peer.receive(kStateAddresses.size())), kStateAddresses);
    push();
    EXPECT_EQ(addresses(peer.receive(kStateAddresses.size())), kStateAddresses);

    peer.send(OscMessage("/beamwright/get", {"outputs"}));
    source_.outputs = {{"Stage", 1920, 1080}, {"Cyc", 1280, 720}};
    const std::vector<OscMessage> outputs = peer.receive(3);
    EXPECT_EQ(outputs, (std::vector{OscMessage("/beamwright/outputs", {2}),
                                    OscMessage("/beamwright/output", {1, "Stage", 1920, 1080}),
                                    OscMessage("/beamwright/output", {2, "Cyc", 1280, 720})}));

    // A peer that dies closes its connection, and with it the subscription.
    peer.close();
    EXPECT_TRUE(MainQueue::shared().pumpUntil([&] { return feedback_.subscriberCount() == 0; },
                                              kDeadline));
}

INSTANTIATE_TEST_SUITE_P(Framings, OscFeedbackTcpTest,
                         ::testing::Values(Framing::Slip, Framing::LengthPrefixed));

TEST_F(OscFeedbackTest, ATcpSubscriberThatStopsReadingIsDropped) {
    TcpPeer peer(port_, Framing::Slip);
    peer.send(subscribe(1));
    ASSERT_EQ(peer.receive(kStateAddresses.size()).size(), kStateAddresses.size());
    source_.state.warnings = {std::string(4000, 'w')};
    // Bundles pile up in the kernel's buffers, then in the socket's queue.
    EXPECT_TRUE(MainQueue::shared().pumpUntil(
        [&] {
            for (int i = 0; i < 50; ++i) push(ShowState::Change::Tick);
            return feedback_.subscriberCount() == 0;
        },
        std::chrono::seconds(60)));
}

TEST_F(OscFeedbackTest, QueriesAnswerAtOnceAndUnknownOnesSayWhatThereIs) {
    for (int i = 0; i < 40; ++i) {
        source_.cues.push_back(
            {static_cast<double>(i + 1), "Cue with a long description " + std::to_string(i), 2.0,
             std::vector<MediaOutputState>(3)});
    }
    UdpPeer peer;
    peer.send(port_, OscMessage("/beamwright/get", {"cues"}));
    std::string json;
    for (int part = 1;; ++part) {
        const std::vector<OscMessage> got = peer.receive();
        ASSERT_EQ(got.size(), 1u);
        const auto& arguments = got[0].arguments();
        ASSERT_EQ(got[0].typeTagString(), ",sii");
        EXPECT_EQ(arguments[1].int32Value(), part);
        json += *arguments[0].stringValue();
        if (arguments[1].int32Value() == arguments[2].int32Value()) {
            EXPECT_GT(part, 1);  // more than one datagram holds
            break;
        }
    }
    EXPECT_EQ(nlohmann::json::parse(json), nlohmann::json::parse(cueListJson(source_.cues)));

    struct Case {
        OscMessage query;
        std::string answerStart;
    };
    const std::vector<Case> cases = {
        {OscMessage("/beamwright/get", {"next"}), "/beamwright/next"},
        {OscMessage("/beamwright/get", {"bogus"}), "/beamwright/error"},
        {OscMessage("/beamwright/get", {7}), "/beamwright/error"},
        {OscMessage("/beamwright/get"), "/beamwright/error"},
        {OscMessage("/updates", {"yes"}), "/beamwright/error"},
        {OscMessage("/updates", {2}), "/beamwright/error"},
    };
    for (const Case& c : cases) {
        peer.send(port_, c.query);
        const std::vector<OscMessage> got = peer.receive();
        ASSERT_EQ(got.size(), 1u) << c.query.description();
        EXPECT_EQ(got[0].addressPattern(), c.answerStart) << c.query.description();
    }
    EXPECT_EQ(feedback_.subscriberCount(), 0u);
}

}  // namespace
}  // namespace bw
