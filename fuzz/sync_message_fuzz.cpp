// Feeds arbitrary bytes to the OSC parser as one sync datagram and reads every
// message it yields as a sync message. Whatever parses must encode and parse
// back to the same message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "remote/SyncMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscParser.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "sync_message_fuzz: %s\n", what);
    __builtin_trap();
}

// A NaN cue ID reads back as NaN, which never equals itself.
bool sameMessage(const bw::SyncMessage::Body& a, const bw::SyncMessage::Body& b) {
    return bw::SyncMessage::encode(a).packetData() == bw::SyncMessage::encode(b).packetData();
}

class Reader : public bw::OscPacketDestination {
public:
    void takeMessage(const bw::OscMessage& message) override {
        const bw::SyncMessage::Parsed parsed = bw::SyncMessage::parse(message);
        check(parsed.body.has_value() != !parsed.error.empty(), "a message and an error, or neither");
        if (!parsed.body) return;
        const bw::SyncMessage::Parsed again =
            bw::SyncMessage::parse(bw::SyncMessage::encode(*parsed.body));
        check(again.body.has_value(), "an encoded message does not parse");
        check(sameMessage(*again.body, *parsed.body), "a message changed on its way round");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Reader reader;
    bw::OscParser::processOscData(std::span(data, size), &reader, nullptr);
    return 0;
}
