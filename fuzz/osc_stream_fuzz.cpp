// Feeds arbitrary bytes as a TCP stream, cut into chunks at positions taken
// from the input, through OscParser's SLIP and length-prefixed translations.
// Either way the chunking must not matter: the messages, the log lines, the
// bytes left in the buffer and the framing state must equal those of the
// stream given as one chunk. The buffer never outgrows the packet cap.
//
// Input layout: byte 0 holds the number of cuts (low 4 bits) and, when its
// high 4 bits are all set, a request to repeat the stream so that the
// SLIP oversize path runs (a stream without END bytes is repeated past the
// cap, then ended); then 2 bytes per cut; the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/SystemLog.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscStreamState.h"

namespace {

using bw::OscMessage;
using bw::OscParser;
using bw::OscStreamState;
using Bytes = std::vector<std::uint8_t>;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "osc_stream_fuzz: %s\n", what);
    __builtin_trap();
}

class Recorder : public bw::OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override {
        encodings.push_back(message.packetData());
    }
    // Encodings compare NaN floats by their bits.
    std::vector<Bytes> encodings;
};

using Translate = void (*)(std::span<const std::uint8_t>, std::vector<std::uint8_t>&,
                           OscStreamState&, bw::OscPacketDestination*);

struct Outcome {
    std::vector<Bytes> encodings;
    std::vector<std::string> lines;
    Bytes buffer;
    OscStreamState state;
};

Outcome run(Translate translate, std::span<const std::uint8_t> stream,
            const std::vector<std::size_t>& cuts, const std::shared_ptr<bw::OscSocket>& socket,
            std::size_t bufferLimit) {
    bw::SystemLog::ScopedCapture capture;
    Recorder recorder;
    Outcome outcome;
    outcome.state.socket = socket;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        translate(stream.subspan(from, to - from), outcome.buffer, outcome.state, &recorder);
        check(outcome.buffer.size() <= bufferLimit, "the buffer outgrew the cap");
        from = to;
    }
    outcome.encodings = std::move(recorder.encodings);
    outcome.lines = capture.lines();
    return outcome;
}

void compare(const Outcome& whole, const Outcome& chunked) {
    check(whole.encodings == chunked.encodings, "chunking changed the delivered messages");
    check(whole.lines == chunked.lines, "chunking changed the log lines");
    check(whole.buffer == chunked.buffer, "chunking changed the bytes left over");
    check(whole.state.danglingESC == chunked.state.danglingESC, "chunking changed danglingESC");
    check(whole.state.discardingOversizedPacket == chunked.state.discardingOversizedPacket,
          "chunking changed the discarding state");
    check(whole.state.failed == chunked.state.failed, "chunking changed the failed state");
}

// Sorted cut positions over a stream of `size` bytes, each 16-bit value in
// `cutBytes` spread over the whole stream.
std::vector<std::size_t> cutsFor(std::span<const std::uint8_t> cutBytes, std::size_t size) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i + 1 < cutBytes.size(); i += 2) {
        const std::size_t raw = (std::size_t{cutBytes[i]} << 8) | cutBytes[i + 1];
        cuts.push_back(raw * (size + 1) / 65536);
    }
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OscParser::setDebugSource([] { return false; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cutCount = data[0] & 0x0F;
    const bool repeat = (data[0] & 0xF0) == 0xF0;
    if (size < 1 + 2 * cutCount) return 0;
    const std::span<const std::uint8_t> input(data + 1 + 2 * cutCount, size - 1 - 2 * cutCount);

    const std::span<const std::uint8_t> cutBytes(data + 1, 2 * cutCount);

    // Identity only: the parser never dereferences the socket.
    static int socketStorage;
    static const std::shared_ptr<bw::OscSocket> socket(
        std::shared_ptr<int>(), reinterpret_cast<bw::OscSocket*>(&socketStorage));

    const std::size_t slipLimit = OscParser::kMaxStreamPacketBytes;
    const std::size_t prefixedLimit = OscParser::kMaxStreamPacketBytes + 4;
    Bytes stream(input.begin(), input.end());
    std::vector<std::size_t> cuts = cutsFor(cutBytes, stream.size());
    compare(run(&OscParser::translateLengthPrefixedData, stream, {}, socket, prefixedLimit),
            run(&OscParser::translateLengthPrefixedData, stream, cuts, socket, prefixedLimit));

    // The repeated stream goes to SLIP only, and only without END bytes: one
    // oversized packet, not thousands of small ones each logging a line.
    if (repeat && !input.empty() &&
        std::find(input.begin(), input.end(), OscParser::kSlipEnd) == input.end()) {
        while (stream.size() <= OscParser::kMaxStreamPacketBytes + 8) {
            stream.insert(stream.end(), input.begin(), input.end());
        }
        stream.push_back(OscParser::kSlipEnd);
        stream.insert(stream.end(), input.begin(), input.end());
        cuts = cutsFor(cutBytes, stream.size());
    }
    compare(run(&OscParser::translateSlipData, stream, {}, socket, slipLimit),
            run(&OscParser::translateSlipData, stream, cuts, socket, slipLimit));
    return 0;
}
