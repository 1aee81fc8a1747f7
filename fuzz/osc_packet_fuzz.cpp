// Feeds arbitrary bytes to OscParser::processOscData as one packet. Every
// message delivered must encode again and decode to the same message, and that
// encoding must be stable; the messages of a bundle, re-bundled, must decode
// to the same list.
//
// Floats are compared by bit pattern, since NaN never equals itself. Blobs
// are encoded with their exact size, so their bytes come back unchanged.
//
// Every delivered message also goes to the OSC feedback (subscriptions and
// queries), as if from a UDP or a TCP controller, with a push after each
// packet: it takes exactly its own addresses and never keeps more than its
// limit of subscribers.
#include <netinet/in.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "platform/MainQueue.h"
#include "remote/OscFeedback.h"
#include "remote/net/AsyncSocket.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/osc/OscBundle.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscServer.h"
#include "remote/osc/OscSocket.h"

namespace {

using bw::OscArgument;
using bw::OscMessage;
using bw::OscParser;
using Bytes = std::vector<std::uint8_t>;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "osc_packet_fuzz: %s\n", what);
    __builtin_trap();
}

class Recorder : public bw::OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override { messages.push_back(message); }
    std::vector<OscMessage> messages;
};

bool sameArgument(const OscArgument& a, const OscArgument& b) {
    if (a.typeLetter() != b.typeLetter()) return false;
    if (a.typeLetter() == 'f') {
        return std::bit_cast<std::uint32_t>(a.float32Value()) ==
               std::bit_cast<std::uint32_t>(b.float32Value());
    }
    return a == b;
}

bool sameMessage(const OscMessage& a, const OscMessage& b) {
    if (a.addressPattern() != b.addressPattern() || a.typeTagString() != b.typeTagString() ||
        a.arguments().size() != b.arguments().size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.arguments().size(); ++i) {
        if (!sameArgument(a.arguments()[i], b.arguments()[i])) return false;
    }
    return true;
}

std::vector<OscMessage> decode(std::span<const std::uint8_t> packet) {
    Recorder recorder;
    OscParser::processOscData(packet, &recorder, nullptr);
    return recorder.messages;
}

bool debugTrace = false;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The trace adds log lines only; run it for part of the inputs.
    OscParser::setDebugSource([] { return debugTrace; });
    return 0;
}

class Source : public bw::ShowStateSource {
public:
    bw::ShowState showState() const override { return {}; }
    std::vector<bw::Cue> showCues() const override {
        return {bw::Cue{1, "One", 1.0, std::vector<bw::MediaOutputState>(2)}};
    }
    std::vector<bw::OutputSummary> showOutputs() const override { return {{"Stage", 64, 48}}; }
};

// The feedback of a server that does not listen: answers go nowhere.
void feedFeedback(const std::vector<OscMessage>& messages, bool overTcp) {
    static bw::OscServer server;
    static Source source;
    static bw::OscFeedback* const feedback = [] {
        auto* made = new bw::OscFeedback(server);
        made->setSource(&source);
        return made;
    }();
    static sockaddr_in udpPeer = [] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(9);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }();
    std::shared_ptr<bw::OscSocket> reply;
    if (overTcp) {
        reply = std::make_shared<bw::OscSocket>(
            std::make_unique<bw::AsyncSocket>(nullptr, bw::MainQueue::shared()));
    } else {
        reply = std::make_shared<bw::OscSocket>(std::make_unique<bw::AsyncUdpSocket>());
        reply->setPeerAddress(
            bw::SocketAddress(reinterpret_cast<const sockaddr*>(&udpPeer), sizeof udpPeer));
    }
    for (OscMessage message : messages) {
        message.replySocket = reply;
        const bool own = message.addressPattern() == "/updates" ||
                         message.addressPattern() == "/beamwright/get";
        check(feedback->takeMessage(message) == own, "the feedback took another address");
    }
    feedback->showStateChanged(bw::ShowState{}, bw::ShowState::Change::Tick);
    check(feedback->subscriberCount() <= bw::OscFeedback::kMaxSubscribers,
          "more subscribers than the limit");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    debugTrace = size % 8 == 5;
    const std::vector<OscMessage> first = decode(std::span(data, size));
    if (size > 0 && data[0] == '/') check(first.size() <= 1, "one message gave several");
    if (size == 0 || (data[0] != '/' && data[0] != '#')) {
        check(first.empty(), "a packet that is neither message nor bundle delivered");
    }

    bw::OscBundle rebundled;
    for (const OscMessage& message : first) {
        check(!message.addressPattern().empty() && message.addressPattern()[0] == '/',
              "a delivered address does not start with /");
        const Bytes encoded = message.packetData();
        check(encoded.size() % 4 == 0, "an encoding is not a multiple of 4 bytes");
        const std::vector<OscMessage> again = decode(encoded);
        check(again.size() == 1, "a re-encoded message does not decode to one message");
        check(sameMessage(again[0], message), "a message changed in a round trip");
        check(again[0].packetData() == encoded, "an encoding is not stable");
        rebundled.elements.push_back(encoded);
    }
    feedFeedback(first, size % 2 == 1);
    if (!first.empty()) {
        const std::vector<OscMessage> fromBundle = decode(rebundled.packetData());
        check(fromBundle.size() == first.size(), "a re-bundled list lost or gained messages");
        for (std::size_t i = 0; i < first.size(); ++i) {
            check(sameMessage(fromBundle[i], first[i]), "a re-bundled message changed");
        }
    }
    return 0;
}
