#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/GLibHandle.h"
#include "remote/SyncMessage.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/osc/OscPacketDestination.h"

namespace bw {

class Clock;

// The leader's side of a shared show: keeps the followers that say hello on
// its sync port (each hello answered with a welcome that lets the follower
// time its round trip), forgets one silent for kSilentAfter, sends each GO
// three times to every follower, and the show's state to every follower once
// a second. A follower is known by the address its datagrams come from, so
// it is reached through whatever relays or address translation lie between.
//
// Main thread only: the socket delivers on the main queue and the state is
// sent from a GLib timer on the default main context.
class SyncLeader final : public AsyncUdpSocketDelegate, public OscPacketDestination {
public:
    struct Follower {
        std::string host;
        std::uint16_t port = 0;
        std::string name;
        // The follower's last report; none before its first.
        std::optional<std::int64_t> roundTripNanoseconds;
        std::int64_t lastHeard = 0;  // host time
    };
    // The show's state for the once-a-second message; the leader fills in
    // the session and sequence.
    using StateSource = std::function<SyncMessage::State()>;
    // One line for the operator ("follower 10.0.0.2:4000 joined" ...); the
    // system log has them without a sink.
    using EventSink = std::function<void(const std::string&)>;

    static constexpr std::int64_t kSilentAfterNanoseconds = 5'000'000'000;
    static constexpr int kGoCopies = 3;

    SyncLeader(std::uint16_t port, StateSource stateSource, EventSink events, Clock& clock);
    ~SyncLeader() override;
    SyncLeader(const SyncLeader&) = delete;
    SyncLeader& operator=(const SyncLeader&) = delete;

    // Binds the sync port and starts the once-a-second state; false with the
    // reason when the port cannot be bound.
    bool start(std::string* error);

    std::int32_t session() const { return session_; }
    // The sequence number of the last GO sent (0 before the first).
    std::int32_t sequence() const { return sequence_; }
    // Sends a GO of cue `cueID` starting at show time `startTime` to every
    // follower, kGoCopies times, with the next sequence number; returns it.
    std::int32_t sendGo(double cueID, std::int64_t startTime);
    // Sends the state to every follower now (also done once a second).
    void sendState();

    std::vector<Follower> followers() const;
    // The longest round trip the followers reported; none without reports.
    std::optional<std::int64_t> largestRoundTrip() const;

    // Once a second: forgets silent followers, sends the state.
    void everySecond();

    // AsyncUdpSocketDelegate
    void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                 const SocketAddress& from) override;
    // OscPacketDestination
    void takeMessage(const OscMessage& message) override;

private:
    void send(const SyncMessage::Body& body, const std::string& host, std::uint16_t port);
    void event(const std::string& line);

    std::uint16_t port_;
    StateSource stateSource_;
    EventSink events_;
    Clock& clock_;
    AsyncUdpSocket socket_;
    GSourcePtr timer_;
    std::int32_t session_;
    std::int32_t sequence_ = 0;
    // Keyed by "host:port".
    std::map<std::string, Follower> followers_;
    // The sender of the datagram being parsed.
    SocketAddress sender_;
};

}  // namespace bw
