#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "platform/GLibHandle.h"
#include "remote/SyncMessage.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/osc/OscPacketDestination.h"

namespace bw {

class Clock;

// What a follower acts on. Main thread.
class SyncFollowerDelegate {
public:
    virtual ~SyncFollowerDelegate() = default;
    // A GO not seen before (each is sent three times; the copies are dropped).
    virtual void syncGo(const SyncMessage::Go& go) = 0;
    // The leader's state, once a second. `fresh`: its sequence is one this
    // follower has not acted on (a GO it missed), or the first state of a
    // leader's session (this follower or the leader started anew).
    virtual void syncState(const SyncMessage::State& state, bool fresh) = 0;
};

// The follower's side of a shared show: says hello to the leader's sync port
// once a second with the round trip it measured (from the leader's welcome to
// its previous hello), and hands GO and state messages to its delegate, each
// GO once however many copies arrive. Datagrams from anyone but the leader's
// address and port are logged and dropped.
//
// Main thread only: the socket delivers on the main queue, hellos are sent
// from a GLib timer on the default main context.
class SyncFollower final : public AsyncUdpSocketDelegate, public OscPacketDestination {
public:
    // `name` tells the leader who this is (host name and process).
    SyncFollower(std::string leaderHost, std::uint16_t leaderPort, std::string name,
                 SyncFollowerDelegate& delegate, Clock& clock);
    ~SyncFollower() override;
    SyncFollower(const SyncFollower&) = delete;
    SyncFollower& operator=(const SyncFollower&) = delete;

    // Opens the socket and says the first hello; false with the reason when
    // no socket can be opened.
    bool start(std::string* error);

    // The last round trip measured; none before the first welcome.
    std::optional<std::int64_t> roundTrip() const { return roundTrip_; }
    // Sends a hello now (also done once a second).
    void sayHello();

    // AsyncUdpSocketDelegate
    void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                 const SocketAddress& from) override;
    // OscPacketDestination
    void takeMessage(const OscMessage& message) override;

private:
    // Whether (session, sequence) is news; remembers it when it is.
    bool isNew(std::int32_t session, std::int32_t sequence);

    std::string leaderHost_;
    std::uint16_t leaderPort_;
    std::string name_;
    SyncFollowerDelegate& delegate_;
    Clock& clock_;
    AsyncUdpSocket socket_;
    GSourcePtr timer_;
    std::int32_t nextToken_ = 1;
    // Hellos not yet welcomed: token and host time sent, newest last.
    std::deque<std::pair<std::int32_t, std::int64_t>> pendingHellos_;
    std::optional<std::int64_t> roundTrip_;
    std::optional<std::int32_t> session_;
    std::int32_t sequence_ = 0;
    SocketAddress sender_;
};

}  // namespace bw
