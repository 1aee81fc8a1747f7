// Times OscParser::processOscData against liblo's decoder on the same bytes:
// one "/cue" message with the float 12.5, and a bundle of 10 such messages.
// liblo has no public bundle decoder, so its side walks the bundle's element
// sizes (a few loads) and decodes each element with lo_message_deserialise.
// Both sides count the messages and arguments they get, so neither can skip
// work.
//
// The codec comparison runs with the debug trace setting fixed to false. A
// second table gives the cost of one message as the server meets it, with
// the real lookup of the "debugIncomingOSC" preference (asked for the message
// and for each argument, from a file in a scratch configuration folder),
// against decoding alone in alternating rounds. Each figure is the median of
// kRounds rounds after a warm-up; the ratio is the median of the per-round
// ratios.
#include <lo/lo.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Preferences.h"
#include "remote/osc/OscBundle.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscParser.h"

namespace {

using bw::OscMessage;
using bw::OscParser;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 15;

class Counter : public bw::OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override {
        ++messages;
        arguments += message.arguments().size();
    }
    std::size_t messages = 0;
    std::size_t arguments = 0;
};

// Nanoseconds per call of `decodeOnce` over one round of `calls` calls.
double nanosecondsPerCall(std::size_t calls, const std::function<void()>& decodeOnce) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < calls; ++i)
        decodeOnce();
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    return elapsed.count() / static_cast<double>(calls);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void ours(const Bytes& packet, Counter& counter) {
    OscParser::processOscData(packet, &counter, nullptr);
}

void liblo(Bytes& packet, Counter& counter) {
    const auto decodeMessage = [&counter](std::uint8_t* data, std::size_t size) {
        int result = 0;
        lo_message message = lo_message_deserialise(data, size, &result);
        if (message == nullptr) return;
        ++counter.messages;
        counter.arguments += static_cast<std::size_t>(lo_message_get_argc(message));
        lo_message_free(message);
    };
    if (packet[0] == '/') return decodeMessage(packet.data(), packet.size());
    // "#bundle", time tag, then size-prefixed elements (all messages here).
    std::size_t at = 16;
    while (at + 4 <= packet.size()) {
        const std::size_t size = (std::size_t{packet[at]} << 24) |
                                 (std::size_t{packet[at + 1]} << 16) |
                                 (std::size_t{packet[at + 2]} << 8) | packet[at + 3];
        decodeMessage(packet.data() + at + 4, size);
        at += 4 + size;
    }
}

struct Row {
    double ourNs = 0;
    double libloNs = 0;
};

Row compare(const char* label, Bytes packet, std::size_t calls, std::size_t expectedMessages) {
    Counter ourCounter;
    Counter libloCounter;
    ours(packet, ourCounter);
    liblo(packet, libloCounter);
    if (ourCounter.messages != expectedMessages || libloCounter.messages != expectedMessages ||
        ourCounter.arguments != expectedMessages || libloCounter.arguments != expectedMessages) {
        std::fprintf(stderr, "bench_osc_decode: %s does not decode to %zu messages on both sides\n",
                     label, expectedMessages);
        std::exit(1);
    }
    // Rounds alternate between the two sides, so both meet the same load.
    const auto decodeOurs = [&] { ours(packet, ourCounter); };
    const auto decodeLiblo = [&] { liblo(packet, libloCounter); };
    nanosecondsPerCall(calls / 10, decodeOurs);
    nanosecondsPerCall(calls / 10, decodeLiblo);
    std::vector<double> ourRounds;
    std::vector<double> libloRounds;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        ourRounds.push_back(nanosecondsPerCall(calls, decodeOurs));
        libloRounds.push_back(nanosecondsPerCall(calls, decodeLiblo));
        ratios.push_back(ourRounds.back() / libloRounds.back());
    }
    Row row;
    row.ourNs = median(ourRounds);
    row.libloNs = median(libloRounds);
    std::printf("%-28s %10.1f ns %10.1f ns %9.2fx\n", label, row.ourNs, row.libloNs,
                median(ratios));
    return row;
}

}  // namespace

int main() {
    // A scratch configuration folder, so the preference lookup reads a real
    // file without touching the user's.
    char folderTemplate[] = "/tmp/beamwright-osc-bench-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr) return 1;
    setenv("XDG_CONFIG_HOME", folder, 1);
    bw::Preferences::shared().setBool(bw::Preferences::kDebugIncomingOSC, false);

    const OscMessage cue("/cue", {12.5f});
    bw::OscBundle bundle;
    for (int i = 0; i < 10; ++i)
        bundle.addPacket(cue);

    std::printf("median of %d alternating rounds after a warm-up\n\n", kRounds);
    std::printf("%-28s %13s %13s %10s\n", "decode", "ours", "liblo", "ours/liblo");
    OscParser::setDebugSource([] { return false; });
    compare("/cue ,f 12.5 (16 bytes)", cue.packetData(), 2'000'000, 1);
    compare("bundle of 10 (216 bytes)", bundle.packetData(), 200'000, 10);

    const Bytes packet = cue.packetData();
    Counter counter;
    const auto decode = [&] { ours(packet, counter); };
    const auto withLookup = [&](bool lookup) {
        if (lookup) {
            OscParser::setDebugSource(nullptr);  // the preference
        } else {
            OscParser::setDebugSource([] { return false; });
        }
    };
    withLookup(true);
    nanosecondsPerCall(100'000, decode);
    withLookup(false);
    nanosecondsPerCall(100'000, decode);
    std::vector<double> lookupRounds;
    std::vector<double> aloneRounds;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        withLookup(true);
        lookupRounds.push_back(nanosecondsPerCall(1'000'000, decode));
        withLookup(false);
        aloneRounds.push_back(nanosecondsPerCall(1'000'000, decode));
        ratios.push_back(lookupRounds.back() / aloneRounds.back());
    }
    std::printf("\n%-28s %13s %13s %10s\n", "per message", "with lookup", "decode alone", "ratio");
    std::printf("%-28s %10.1f ns %10.1f ns %9.2fx\n", "/cue ,f 12.5 (16 bytes)",
                median(lookupRounds), median(aloneRounds), median(ratios));
    std::printf("(the preference is read from %s/beamwright)\n", folder);

    std::filesystem::remove_all(folder);
    return 0;
}
