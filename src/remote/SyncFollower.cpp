#include "remote/SyncFollower.h"

#include <algorithm>
#include <limits>

#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscParser.h"

namespace bw {

namespace {

constexpr std::size_t kHellosRemembered = 8;

}  // namespace

SyncFollower::SyncFollower(std::string leaderHost, std::uint16_t leaderPort, std::string name,
                           SyncFollowerDelegate& delegate, Clock& clock)
    : leaderHost_(std::move(leaderHost)),
      leaderPort_(leaderPort),
      name_(std::move(name)),
      delegate_(delegate),
      clock_(clock),
      socket_(this, MainQueue::shared()) {}

SyncFollower::~SyncFollower() {
    socket_.clearDelegate();
    socket_.close();
}

bool SyncFollower::start(std::string* error) {
    SocketError socketError;
    if (!socket_.bindToPort(0, &socketError) || !socket_.beginReceiving(&socketError)) {
        if (error) *error = "cannot open a UDP socket: " + socketError.description;
        return false;
    }
    timer_.reset(g_timeout_source_new(1000));
    g_source_set_callback(
        timer_.get(),
        [](gpointer self) -> gboolean {
            static_cast<SyncFollower*>(self)->sayHello();
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(timer_.get(), nullptr);
    sayHello();
    return true;
}

void SyncFollower::sayHello() {
    const std::int32_t token = nextToken_++;
    pendingHellos_.emplace_back(token, clock_.hostTimeNanoseconds());
    if (pendingHellos_.size() > kHellosRemembered) pendingHellos_.pop_front();
    std::int32_t roundTripMicroseconds = -1;
    if (roundTrip_) {
        roundTripMicroseconds = static_cast<std::int32_t>(std::min<std::int64_t>(
            *roundTrip_ / 1000, std::numeric_limits<std::int32_t>::max()));
    }
    const SyncMessage::Hello hello{name_, roundTripMicroseconds, token};
    socket_.sendData(SyncMessage::encode(hello).packetData(), leaderHost_, leaderPort_, 1.0, 0);
}

void SyncFollower::udpSocketDidReceiveData(AsyncUdpSocket& /*socket*/,
                                           std::span<const std::uint8_t> data,
                                           const SocketAddress& from) {
    if (from.port() != leaderPort_) {
        SystemLog::shared().log("Warning: sync: ignored a datagram from " + from.host() + ":" +
                                std::to_string(from.port()) + ", not the leader");
        return;
    }
    sender_ = from;
    OscParser::processOscData(data, this, nullptr);
}

void SyncFollower::takeMessage(const OscMessage& message) {
    const SyncMessage::Parsed parsed = SyncMessage::parse(message);
    if (!parsed.body) {
        SystemLog::shared().log("Warning: sync: ignored a message from the leader: " + parsed.error);
        return;
    }
    if (const auto* welcome = std::get_if<SyncMessage::Welcome>(&*parsed.body)) {
        for (auto it = pendingHellos_.begin(); it != pendingHellos_.end(); ++it) {
            if (it->first == welcome->token) {
                roundTrip_ = clock_.hostTimeNanoseconds() - it->second;
                pendingHellos_.erase(pendingHellos_.begin(), it + 1);
                break;
            }
        }
    } else if (const auto* go = std::get_if<SyncMessage::Go>(&*parsed.body)) {
        if (isNew(go->session, go->sequence)) delegate_.syncGo(*go);
    } else if (const auto* state = std::get_if<SyncMessage::State>(&*parsed.body)) {
        const bool fresh = isNew(state->session, state->sequence);
        delegate_.syncState(*state, fresh);
    } else {
        SystemLog::shared().log("Warning: sync: ignored " + message.addressPattern() +
                                " from the leader: not for a follower");
    }
}

bool SyncFollower::isNew(std::int32_t session, std::int32_t sequence) {
    if (session_ != session) {
        // First contact, or a leader that started anew: its numbering starts over.
        session_ = session;
        sequence_ = sequence;
        return true;
    }
    if (sequence <= sequence_) return false;
    sequence_ = sequence;
    return true;
}

}  // namespace bw
