#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/net/SocketAddress.h"
#include "remote/osc/OscBundle.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscServer.h"
#include "show/ShowState.h"

namespace bw {

class OscSocket;

// What the OSC server says back: the show's state pushed to subscribers,
// and answers to queries (docs/osc.md lists every address).
//
//   /updates i 1 [i PORT]   subscribe the sender; 0 unsubscribes. Over TCP
//                           the subscription is the connection's; over UDP
//                           it goes to the sender's address and source port
//                           (or PORT on the sender's host) and lapses after
//                           kUdpLease unless renewed by another /updates 1.
//                           Every /updates 1 is answered with the state.
//   /beamwright/get s NAME [i PORT]
//                           answers the sender at once: current, next,
//                           fade, movie, state, locked, health, clock,
//                           warnings, all (the state bundle), cues, outputs.
//
// Each reported change reaches every subscriber as one bundle (stateBundle).
// At most kMaxSubscribers; one more is refused with /beamwright/error. A
// subscriber is dropped when its UDP destination answers with an ICMP error,
// its TCP connection closes, or more than kMaxQueuedBytes wait unsent on
// its connection (then the connection is closed).
//
// Main thread only: the work is encoding once per change and queueing the
// bytes on the socket I/O thread; nothing waits for a peer. The server must
// outlive this.
class OscFeedback final : public ShowStateListener, public OscPeerObserver {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::size_t kMaxSubscribers = 64;
    static constexpr std::chrono::seconds kUdpLease{60};
    static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
    // The cue list's JSON is sent in pieces of at most this many bytes, so
    // that each message fits a receiver's 4 KiB buffer.
    static constexpr std::size_t kCueListPieceBytes = 3000;

    // `now` stands in for the steady clock (tests).
    explicit OscFeedback(OscServer& server, Now now = {});
    ~OscFeedback() override;
    OscFeedback(const OscFeedback&) = delete;
    OscFeedback& operator=(const OscFeedback&) = delete;

    // Where queries and new subscribers get the state from; null: nowhere
    // (queries are answered with /beamwright/error). Not owned.
    void setSource(const ShowStateSource* source) { source_ = source; }
    const ShowStateSource* source() const { return source_; }

    // Handles /updates and /beamwright/get and returns true; false for any
    // other address.
    bool takeMessage(const OscMessage& message);

    // Subscribers now, lapsed ones left out.
    std::size_t subscriberCount();

    // The bundle every subscriber gets for `state`: /beamwright/event,
    // current, next, nextWraps, fade, movie, state, locked, health, clock,
    // warnings, in that order, with an immediate time tag.
    static std::vector<OscMessage> stateMessages(const ShowState& state, ShowState::Change change);
    static OscBundle stateBundle(const ShowState& state, ShowState::Change change);
    // The answer to /beamwright/get NAME; none for an unknown name.
    static std::optional<std::vector<OscMessage>> queryAnswer(const std::string& name,
                                                              const ShowStateSource& source);

    // ShowStateListener
    void showStateChanged(const ShowState& state, ShowState::Change change) override;
    // OscPeerObserver
    void udpPeerUnreachable(const SocketAddress& peer) override;
    void connectionClosed(const OscSocket& connection) override;

private:
    // Where an answer goes: a UDP address, or a TCP connection.
    struct Peer {
        SocketAddress udp;
        std::shared_ptr<OscSocket> tcp;
    };
    struct Subscriber {
        // "UDP controller 10.0.0.5:9000", for log lines.
        std::string name;
        SocketAddress udp;
        std::weak_ptr<OscSocket> tcp;
        // Identity of `tcp`, compared only: never followed.
        const OscSocket* connection = nullptr;
        Clock::time_point renewed;
    };

    // The peer `message` came from; none when it cannot be answered.
    static std::optional<Peer> replyPeer(const OscMessage& message, std::size_t portArgument);
    void subscribe(const OscMessage& message);
    void answerQuery(const OscMessage& message);
    void send(const Peer& peer, const std::vector<std::uint8_t>& packet);
    void sendError(const Peer& peer, const std::string& text);
    void dropLapsed();
    void drop(std::size_t index, const std::string& why);
    Clock::time_point now() const { return now_ ? now_() : Clock::now(); }

    OscServer& server_;
    Now now_;
    const ShowStateSource* source_ = nullptr;
    std::vector<Subscriber> subscribers_;
};

}  // namespace bw
