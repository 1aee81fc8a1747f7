#pragma once

#include <string>

namespace bw {

// The network stream an output sends: where it listens (srt://HOST:PORT or
// rtsp://HOST:PORT/NAME) and at what bitrate, in kbit/s (0: fitted to the
// output's size and rate).
struct StreamChoice {
    static constexpr int kLargestBitrateKbps = 1'000'000;

    std::string url;
    int bitrateKbps = 0;

    friend bool operator==(const StreamChoice&, const StreamChoice&) = default;
};

}  // namespace bw
