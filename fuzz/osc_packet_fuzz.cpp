// Feeds arbitrary bytes to OscParser::processOscData as one packet. Every
// message delivered must encode again and decode to the same message, and that
// encoding must be stable; the messages of a bundle, re-bundled, must decode
// to the same list.
//
// Floats are compared by bit pattern, since NaN never equals itself. Blobs
// are encoded with their exact size, so their bytes come back unchanged.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "remote/osc/OscBundle.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscParser.h"

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
    if (!first.empty()) {
        const std::vector<OscMessage> fromBundle = decode(rebundled.packetData());
        check(fromBundle.size() == first.size(), "a re-bundled list lost or gained messages");
        for (std::size_t i = 0; i < first.size(); ++i) {
            check(sameMessage(fromBundle[i], first[i]), "a re-bundled message changed");
        }
    }
    return 0;
}
