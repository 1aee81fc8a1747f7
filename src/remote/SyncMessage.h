#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "remote/osc/OscMessage.h"

namespace bw {

// The OSC messages between a show's leader and its followers, over UDP on the
// leader's sync port (docs/sync.md). 64-bit values (cue IDs, show times in
// nanoseconds) travel as strings, OSC 1.0 having no 64-bit types:
//
//   /beamwright/sync/hello   ,sii   name, round trip in microseconds (-1:
//                                   none measured yet), token   follower -> leader
//   /beamwright/sync/welcome ,i     the hello's token             leader -> follower
//   /beamwright/sync/go      ,iiss  session, sequence, cue ID, start time
//   /beamwright/sync/state   ,iisss session, sequence, current cue ID,
//                                   next cue ID, current cue's start time
//                                   ("" where there is none)
//
// The session is a number the leader draws at start, so that a follower can
// tell a restarted leader (whose sequence starts again) from old news.
//
// A value type; any thread.
struct SyncMessage {
    struct Hello {
        std::string name;
        std::int32_t roundTripMicroseconds = -1;
        std::int32_t token = 0;
        friend bool operator==(const Hello&, const Hello&) = default;
    };
    struct Welcome {
        std::int32_t token = 0;
        friend bool operator==(const Welcome&, const Welcome&) = default;
    };
    struct Go {
        std::int32_t session = 0;
        std::int32_t sequence = 0;
        double cueID = 0.0;
        std::int64_t startTime = 0;
        friend bool operator==(const Go&, const Go&) = default;
    };
    struct State {
        std::int32_t session = 0;
        std::int32_t sequence = 0;
        std::optional<double> currentCue;
        std::optional<double> nextCue;
        std::optional<std::int64_t> currentStartTime;
        friend bool operator==(const State&, const State&) = default;
    };
    using Body = std::variant<Hello, Welcome, Go, State>;

    static constexpr std::string_view kHelloAddress = "/beamwright/sync/hello";
    static constexpr std::string_view kWelcomeAddress = "/beamwright/sync/welcome";
    static constexpr std::string_view kGoAddress = "/beamwright/sync/go";
    static constexpr std::string_view kStateAddress = "/beamwright/sync/state";

    // A message, or why the OSC message is none (for the log).
    struct Parsed {
        std::optional<Body> body;
        std::string error;
    };

    static OscMessage encode(const Body& body);
    static Parsed parse(const OscMessage& message);

    // A cue ID as text that reads back to the same double ("12.5", "0.1").
    static std::string cueIDText(double id);
    // The whole text as a number (C locale); none otherwise.
    static std::optional<double> parseCueID(std::string_view text);
    // The whole text as a signed decimal integer; none otherwise.
    static std::optional<std::int64_t> parseTime(std::string_view text);
};

}  // namespace bw
