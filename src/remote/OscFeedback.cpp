#include "remote/OscFeedback.h"

#include <algorithm>
#include <utility>

#include "platform/SystemLog.h"
#include "remote/osc/OscSocket.h"

namespace bw {
namespace {

constexpr const char* kUpdatesAddress = "/updates";
constexpr const char* kGetAddress = "/beamwright/get";
constexpr const char* kErrorAddress = "/beamwright/error";
constexpr const char* kQueryNames =
    "current, next, fade, movie, state, locked, health, clock, warnings, all, cues, outputs";

int flag(bool value) {
    return value ? 1 : 0;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

// The int32 argument at `index`, if the message has one there.
std::optional<std::int32_t> intArgument(const OscMessage& message, std::size_t index) {
    const auto& arguments = message.arguments();
    if (index >= arguments.size() || !arguments[index].integerValue()) return std::nullopt;
    return arguments[index].int32Value();
}

}  // namespace

OscFeedback::OscFeedback(OscServer& server, Now now) : server_(server), now_(std::move(now)) {
    server_.setPeerObserver(this);
}

OscFeedback::~OscFeedback() {
    server_.setPeerObserver(nullptr);
}

bool OscFeedback::takeMessage(const OscMessage& message) {
    const std::string& address = message.addressPattern();
    if (address == kUpdatesAddress) {
        subscribe(message);
        return true;
    }
    if (address == kGetAddress) {
        answerQuery(message);
        return true;
    }
    return false;
}

std::size_t OscFeedback::subscriberCount() {
    dropLapsed();
    return subscribers_.size();
}

std::optional<OscFeedback::Peer> OscFeedback::replyPeer(const OscMessage& message,
                                                        std::size_t portArgument) {
    const std::shared_ptr<OscSocket>& socket = message.replySocket;
    if (!socket) return std::nullopt;
    if (socket->isTcp()) return Peer{{}, socket};
    SocketAddress address = socket->peerAddress();
    if (address.empty()) return std::nullopt;
    // A sender that cannot receive on its source port (a one-shot command
    // line tool) names the port its listener has.
    if (const std::optional<std::int32_t> port = intArgument(message, portArgument)) {
        if (*port < 1 || *port > 65535) return std::nullopt;
        address = address.withPort(static_cast<std::uint16_t>(*port));
    }
    return Peer{address, nullptr};
}

void OscFeedback::subscribe(const OscMessage& message) {
    const std::optional<std::int32_t> on = intArgument(message, 0);
    const std::optional<Peer> peer = replyPeer(message, 1);
    if (!peer) return;
    if (!on || (*on != 0 && *on != 1)) {
        sendError(*peer, "/updates needs int32 1 (subscribe) or 0 (unsubscribe)");
        return;
    }
    dropLapsed();
    const auto found = std::find_if(subscribers_.begin(), subscribers_.end(), [&](const auto& s) {
        return peer->tcp ? s.connection == peer->tcp.get()
                         : s.connection == nullptr && s.udp == peer->udp;
    });
    if (*on == 0) {
        if (found != subscribers_.end()) subscribers_.erase(found);
        return;
    }
    if (found != subscribers_.end()) {
        found->renewed = now();
    } else if (subscribers_.size() >= kMaxSubscribers) {
        sendError(*peer, "/updates refused: " + std::to_string(kMaxSubscribers) +
                             " controllers are subscribed already");
        return;
    } else {
        Subscriber subscriber;
        subscriber.name = peer->tcp ? "TCP controller " + peer->tcp->host() + ":" +
                                          std::to_string(peer->tcp->port())
                                    : "UDP controller " + peer->udp.text();
        subscriber.udp = peer->udp;
        subscriber.tcp = peer->tcp;
        subscriber.connection = peer->tcp.get();
        subscriber.renewed = now();
        subscribers_.push_back(std::move(subscriber));
    }
    // A new (or renewed) subscriber starts from the whole state.
    if (source_ != nullptr)
        send(*peer, stateBundle(source_->showState(), ShowState::Change::Tick).packetData());
}

void OscFeedback::answerQuery(const OscMessage& message) {
    const std::optional<Peer> peer = replyPeer(message, 1);
    if (!peer) return;
    const auto& arguments = message.arguments();
    const std::string* name = arguments.empty() ? nullptr : arguments.front().stringValue();
    if (name == nullptr) {
        sendError(*peer, std::string("/beamwright/get needs a name: ") + kQueryNames);
        return;
    }
    if (source_ == nullptr) {
        sendError(*peer, "no show is loaded yet");
        return;
    }
    const std::optional<std::vector<OscMessage>> answer = queryAnswer(*name, *source_);
    if (!answer) {
        sendError(*peer, "unknown query \"" + *name + "\": ask for " + kQueryNames);
        return;
    }
    if (*name == "all" || *name == "outputs") {
        OscBundle bundle;
        for (const OscMessage& part : *answer)
            bundle.addPacket(part);
        send(*peer, bundle.packetData());
        return;
    }
    // The cue list's pieces go one message each, in order.
    for (const OscMessage& part : *answer)
        send(*peer, part.packetData());
}

std::optional<std::vector<OscMessage>> OscFeedback::queryAnswer(const std::string& name,
                                                                const ShowStateSource& source) {
    if (name == "cues") {
        const std::vector<std::string> pieces =
            splitUtf8(cueListJson(source.showCues()), kCueListPieceBytes);
        std::vector<OscMessage> messages;
        const auto count = static_cast<int>(pieces.size());
        for (int i = 0; i < count; ++i) {
            messages.emplace_back(
                "/beamwright/cues",
                std::vector<OscValue>{pieces[static_cast<std::size_t>(i)], i + 1, count});
        }
        return messages;
    }
    if (name == "outputs") {
        const std::vector<OutputSummary> outputs = source.showOutputs();
        std::vector<OscMessage> messages;
        messages.emplace_back("/beamwright/outputs",
                              std::vector<OscValue>{static_cast<int>(outputs.size())});
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            messages.emplace_back("/beamwright/output",
                                  std::vector<OscValue>{static_cast<int>(j + 1), outputs[j].name,
                                                        outputs[j].width, outputs[j].height});
        }
        return messages;
    }
    std::vector<OscMessage> all = stateMessages(source.showState(), ShowState::Change::Tick);
    if (name == "all") return all;
    const std::string address = "/beamwright/" + name;
    for (OscMessage& message : all) {
        if (message.addressPattern() == address && name != "event")
            return std::vector<OscMessage>{std::move(message)};
    }
    return std::nullopt;
}

std::vector<OscMessage> OscFeedback::stateMessages(const ShowState& state,
                                                   ShowState::Change change) {
    std::vector<OscMessage> messages;
    auto add = [&](const char* address, std::vector<OscValue> arguments) {
        messages.emplace_back(address, std::move(arguments));
    };
    add("/beamwright/event", {ShowState::changeName(change), state.detail});
    add("/beamwright/current", {state.current.id, state.current.description});
    add("/beamwright/next", {state.next.id, state.next.description});
    add("/beamwright/nextWraps", {flag(state.nextWraps)});
    add("/beamwright/fade",
        {static_cast<float>(state.fadeProgress), static_cast<float>(state.fadeElapsed),
         static_cast<float>(state.fadeRemaining)});
    add("/beamwright/movie",
        {static_cast<float>(state.movieElapsed), static_cast<float>(state.movieRemaining)});
    add("/beamwright/state", {ShowState::modeName(state.mode)});
    add("/beamwright/locked", {flag(state.locked)});
    add("/beamwright/health",
        {static_cast<int>(std::min<std::uint64_t>(state.framesDropped, 0x7fffffff)),
         static_cast<float>(state.framesPerSecond)});
    add("/beamwright/clock", {state.clock, flag(state.clockLost)});
    add("/beamwright/warnings", {static_cast<int>(state.warnings.size()), joined(state.warnings)});
    add("/beamwright/autoIn", {static_cast<float>(state.autoIn)});
    return messages;
}

OscBundle OscFeedback::stateBundle(const ShowState& state, ShowState::Change change) {
    OscBundle bundle;
    for (const OscMessage& message : stateMessages(state, change))
        bundle.addPacket(message);
    return bundle;
}

void OscFeedback::showStateChanged(const ShowState& state, ShowState::Change change) {
    dropLapsed();
    if (subscribers_.empty()) return;
    const std::vector<std::uint8_t> packet = stateBundle(state, change).packetData();
    // Framed once per framing, for however many connections use it.
    std::optional<std::vector<std::uint8_t>> framed[2];
    for (std::size_t i = 0; i < subscribers_.size();) {
        Subscriber& subscriber = subscribers_[i];
        if (subscriber.connection == nullptr) {
            server_.sendDatagram(packet, subscriber.udp);
            ++i;
            continue;
        }
        const std::shared_ptr<OscSocket> connection = subscriber.tcp.lock();
        if (!connection) {
            drop(i, "its connection closed");
            continue;
        }
        AsyncSocket& socket = *connection->tcpSocket();
        if (socket.queuedWriteBytes() > kMaxQueuedBytes) {
            drop(i, "it stopped reading");
            connection->disconnect();
            continue;
        }
        const OscSocket::Framing framing = connection->framing();
        auto& bytes = framed[framing == OscSocket::Framing::Slip ? 0 : 1];
        if (!bytes) bytes = OscSocket::frame(packet, framing);
        socket.writeData(*bytes, OscSocket::kSendTimeoutSeconds, 0);
        ++i;
    }
}

void OscFeedback::udpPeerUnreachable(const SocketAddress& peer) {
    for (std::size_t i = 0; i < subscribers_.size(); ++i) {
        if (subscribers_[i].connection == nullptr && subscribers_[i].udp == peer) {
            drop(i, "it cannot be reached");
            return;
        }
    }
}

void OscFeedback::connectionClosed(const OscSocket& connection) {
    for (std::size_t i = 0; i < subscribers_.size(); ++i) {
        if (subscribers_[i].connection == &connection) {
            drop(i, "its connection closed");
            return;
        }
    }
}

void OscFeedback::send(const Peer& peer, const std::vector<std::uint8_t>& packet) {
    if (peer.tcp) {
        peer.tcp->tcpSocket()->writeData(OscSocket::frame(packet, peer.tcp->framing()),
                                         OscSocket::kSendTimeoutSeconds, 0);
        return;
    }
    server_.sendDatagram(packet, peer.udp);
}

void OscFeedback::sendError(const Peer& peer, const std::string& text) {
    send(peer, OscMessage(kErrorAddress, {text}).packetData());
}

void OscFeedback::dropLapsed() {
    const Clock::time_point cutoff = now() - kUdpLease;
    for (std::size_t i = 0; i < subscribers_.size();) {
        if (subscribers_[i].connection == nullptr && subscribers_[i].renewed < cutoff) {
            drop(i, "it did not renew its subscription");
        } else {
            ++i;
        }
    }
}

void OscFeedback::drop(std::size_t index, const std::string& why) {
    SystemLog::shared().log("OSC feedback: stopped updating " + subscribers_[index].name + ": " +
                            why);
    subscribers_.erase(subscribers_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace bw
