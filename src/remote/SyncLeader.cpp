#include "remote/SyncLeader.h"

#include <algorithm>
#include <random>

#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscParser.h"

namespace bw {

namespace {

std::string keyOf(const std::string& host, std::uint16_t port) {
    return host + ":" + std::to_string(port);
}

std::int32_t drawSession() {
    std::random_device device;
    std::uniform_int_distribution<std::int32_t> draw(1, INT32_MAX);
    return draw(device);
}

}  // namespace

SyncLeader::SyncLeader(std::uint16_t port, StateSource stateSource, EventSink events, Clock& clock)
    : port_(port),
      stateSource_(std::move(stateSource)),
      events_(std::move(events)),
      clock_(clock),
      socket_(this, MainQueue::shared()),
      session_(drawSession()) {}

SyncLeader::~SyncLeader() {
    socket_.clearDelegate();
    socket_.close();
}

bool SyncLeader::start(std::string* error) {
    SocketError socketError;
    if (!socket_.bindToPort(port_, &socketError) || !socket_.beginReceiving(&socketError)) {
        if (error) *error = "cannot listen on UDP port " + std::to_string(port_) + ": " +
                            socketError.description;
        return false;
    }
    timer_.reset(g_timeout_source_new(1000));
    g_source_set_callback(
        timer_.get(),
        [](gpointer self) -> gboolean {
            static_cast<SyncLeader*>(self)->everySecond();
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(timer_.get(), nullptr);
    return true;
}

std::int32_t SyncLeader::sendGo(double cueID, std::int64_t startTime) {
    ++sequence_;
    const SyncMessage::Go go{session_, sequence_, cueID, startTime};
    // Copies go out together: a lost datagram is the network's doing, and
    // each copy has an equal chance through it.
    for (int copy = 0; copy < kGoCopies; ++copy) {
        for (const auto& [key, follower] : followers_) {
            send(go, follower.host, follower.port);
        }
    }
    return sequence_;
}

void SyncLeader::sendState() {
    SyncMessage::State state = stateSource_ ? stateSource_() : SyncMessage::State{};
    state.session = session_;
    state.sequence = sequence_;
    for (const auto& [key, follower] : followers_) {
        send(state, follower.host, follower.port);
    }
}

std::vector<SyncLeader::Follower> SyncLeader::followers() const {
    std::vector<Follower> list;
    for (const auto& [key, follower] : followers_) list.push_back(follower);
    return list;
}

std::optional<std::int64_t> SyncLeader::largestRoundTrip() const {
    std::optional<std::int64_t> largest;
    for (const auto& [key, follower] : followers_) {
        if (follower.roundTripNanoseconds) {
            largest = std::max(largest.value_or(0), *follower.roundTripNanoseconds);
        }
    }
    return largest;
}

void SyncLeader::everySecond() {
    const std::int64_t now = clock_.hostTimeNanoseconds();
    for (auto it = followers_.begin(); it != followers_.end();) {
        if (now - it->second.lastHeard > kSilentAfterNanoseconds) {
            event("follower " + it->first + " left (silent for 5 s)");
            it = followers_.erase(it);
        } else {
            ++it;
        }
    }
    sendState();
}

void SyncLeader::udpSocketDidReceiveData(AsyncUdpSocket& /*socket*/,
                                         std::span<const std::uint8_t> data,
                                         const SocketAddress& from) {
    sender_ = from;
    OscParser::processOscData(data, this, nullptr);
    sender_ = SocketAddress();
}

void SyncLeader::takeMessage(const OscMessage& message) {
    const std::string host = sender_.host();
    const std::uint16_t port = sender_.port();
    const SyncMessage::Parsed parsed = SyncMessage::parse(message);
    const auto* hello = parsed.body ? std::get_if<SyncMessage::Hello>(&*parsed.body) : nullptr;
    if (hello == nullptr) {
        SystemLog::shared().log("Warning: sync: ignored a message from " + keyOf(host, port) + ": " +
                                (parsed.body ? message.addressPattern() + " is not for a leader"
                                             : parsed.error));
        return;
    }
    const std::string key = keyOf(host, port);
    auto [it, added] = followers_.try_emplace(key);
    Follower& follower = it->second;
    follower.host = host;
    follower.port = port;
    follower.name = hello->name;
    follower.lastHeard = clock_.hostTimeNanoseconds();
    if (hello->roundTripMicroseconds >= 0) {
        follower.roundTripNanoseconds = std::int64_t{hello->roundTripMicroseconds} * 1000;
    }
    send(SyncMessage::Welcome{hello->token}, host, port);
    if (added) {
        event("follower " + key + " joined (" + hello->name + ")");
        // The newcomer learns the show's state at once.
        SyncMessage::State state = stateSource_ ? stateSource_() : SyncMessage::State{};
        state.session = session_;
        state.sequence = sequence_;
        send(state, host, port);
    }
}

void SyncLeader::send(const SyncMessage::Body& body, const std::string& host, std::uint16_t port) {
    socket_.sendData(SyncMessage::encode(body).packetData(), host, port, 1.0, 0);
}

void SyncLeader::event(const std::string& line) {
    if (events_) {
        events_(line);
    } else {
        SystemLog::shared().log("sync: " + line);
    }
}

}  // namespace bw
