#include "remote/osc/OscServer.h"

#include <algorithm>

#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscParser.h"

namespace bw {

OscServer::OscServer() : OscServer(MainQueue::shared()) {}

OscServer::OscServer(MainQueue& queue)
    : tcpSocket_(std::make_unique<AsyncSocket>(this, queue)),
      udpSocket_(std::make_unique<AsyncUdpSocket>(this, queue)) {
    tcpSocket_.setPort(port_);
    udpSocket_.setPort(port_);
    tcpSocket_.tcpSocket()->setConnectionLimit(kMaxConnections);
}

OscServer::~OscServer() {
    stopListening();
    // Connections die with their wrappers; none may report back to a server
    // that is going away.
    for (auto& [connection, socket] : activeTcpSockets_)
        socket->tcpSocket()->setDelegate(nullptr);
    activeTcpSockets_.clear();
    tcpSocket_.tcpSocket()->setDelegate(nullptr);
    udpSocket_.udpSocket()->clearDelegate();
}

void OscServer::setPort(std::uint16_t port) {
    port_ = port;
    stopListening();
    tcpSocket_.setPort(port);
    udpSocket_.setPort(port);
}

bool OscServer::startListening(SocketError* error) {
    if (!tcpSocket_.startListening(error)) return false;
    // Datagrams to peers that went away come back as ICMP errors, which
    // tell the peer observer.
    udpSocket_.udpSocket()->setReportsUnreachable(true);
    udpListening_ = udpSocket_.startListening(error);
    return udpListening_;
}

void OscServer::sendDatagram(std::vector<std::uint8_t> data, const SocketAddress& to) {
    if (!udpListening_) return;
    udpSocket_.udpSocket()->sendData(std::move(data), to, OscSocket::kSendTimeoutSeconds, 0);
}

void OscServer::stopListening() {
    udpListening_ = false;
    tcpSocket_.stopListening();
    udpSocket_.stopListening();
}

std::vector<long> OscServer::activeConnections() const {
    std::vector<long> connections;
    for (const auto& [connection, socket] : activeTcpSockets_)
        connections.push_back(connection);
    return connections;
}

const OscSocket* OscServer::connectionSocket(long connection) const {
    auto found = activeTcpSockets_.find(connection);
    return found == activeTcpSockets_.end() ? nullptr : found->second.get();
}

void OscServer::socketDidAcceptNewSocket(AsyncSocket& /*listener*/,
                                         std::unique_ptr<AsyncSocket> newSocket) {
    auto wrapper = std::make_shared<OscSocket>(std::move(newSocket));
    AsyncSocket& connection = *wrapper->tcpSocket();
    wrapper->setHost(connection.connectedHost());
    wrapper->setPort(connection.connectedPort());

    const long k = activeIndex_++;
    activeTcpSockets_[k] = wrapper;
    activeData_[k] = {};
    activeState_[k] = OscStreamState{wrapper, false};
    activeFraming_[k] = Framing::Undecided;
    connection.readData(-1, k);
}

void OscServer::socketDidRefuseConnection(AsyncSocket& /*listener*/, const std::string& host) {
    SystemLog::shared().log("Warning: OscServer refused a TCP connection from " + host + "; " +
                            std::to_string(kMaxConnections) + " connections are already open.");
}

void OscServer::socketDidReadData(AsyncSocket& socket, std::span<const std::uint8_t> data,
                                  long tag) {
    auto buffer = activeData_.find(tag);
    auto state = activeState_.find(tag);
    if (buffer == activeData_.end() || state == activeState_.end()) return;

    Framing& framing = activeFraming_[tag];
    if (framing == Framing::Undecided && !data.empty()) {
        framing = data.front() == 0x00 ? Framing::LengthPrefixed : Framing::Slip;
        // Answers go back framed as the peer frames its packets.
        if (auto wrapper = activeTcpSockets_.find(tag); wrapper != activeTcpSockets_.end()) {
            wrapper->second->setFraming(framing == Framing::LengthPrefixed
                                            ? OscSocket::Framing::LengthPrefixed
                                            : OscSocket::Framing::Slip);
        }
    }
    if (framing == Framing::LengthPrefixed) {
        OscParser::translateLengthPrefixedData(data, buffer->second, state->second, delegate_);
        // A length the stream cannot hold leaves no way to find the next
        // packet: end the connection.
        if (state->second.failed) {
            closeConnection(tag);
            return;
        }
    } else {
        OscParser::translateSlipData(data, buffer->second, state->second, delegate_);
    }
    // The delegate may have stopped the server, or the connection may be gone.
    if (activeTcpSockets_.contains(tag)) socket.readData(-1, tag);
}

void OscServer::closeConnection(long connection) {
    auto found = activeTcpSockets_.find(connection);
    if (found == activeTcpSockets_.end()) return;
    std::shared_ptr<OscSocket> wrapper = found->second;
    activeTcpSockets_.erase(connection);
    activeData_.erase(connection);
    activeState_.erase(connection);
    activeFraming_.erase(connection);
    wrapper->tcpSocket()->setDelegate(nullptr);
    wrapper->disconnect();
    if (peerObserver_ != nullptr) peerObserver_->connectionClosed(*wrapper);
}

void OscServer::socketDidDisconnect(AsyncSocket& socket, const std::optional<SocketError>&) {
    if (&socket == tcpSocket_.tcpSocket()) return;  // the listener stopped
    auto found =
        std::find_if(activeTcpSockets_.begin(), activeTcpSockets_.end(),
                     [&](const auto& entry) { return entry.second->tcpSocket() == &socket; });
    if (found == activeTcpSockets_.end()) {
        SystemLog::shared().log(
            "Error: OscServer couldn't find the OscSocket associated with the disconnecting TCP "
            "socket.");
        return;
    }
    const long connection = found->first;
    // The wrapper (and with it the socket reporting this) may live on in a
    // message's reply socket, so it must not report here again; otherwise it
    // dies now, inside its own callback.
    socket.setDelegate(nullptr);
    const std::shared_ptr<OscSocket> wrapper = found->second;
    activeTcpSockets_.erase(connection);
    activeData_.erase(connection);
    activeState_.erase(connection);
    activeFraming_.erase(connection);
    if (peerObserver_ != nullptr) peerObserver_->connectionClosed(*wrapper);
}

double OscServer::socketShouldTimeoutRead(AsyncSocket&, long, double, std::size_t) {
    SystemLog::shared().log("Warning: OscServer timed out when reading TCP data.");
    return 0;
}

double OscServer::socketShouldTimeoutWrite(AsyncSocket&, long, double, std::size_t) {
    SystemLog::shared().log("Warning: OscServer timed out when writing TCP data.");
    return 0;
}

void OscServer::udpSocketDidReceiveData(AsyncUdpSocket& /*socket*/,
                                        std::span<const std::uint8_t> data,
                                        const SocketAddress& from) {
    // The reply socket opens an operating-system socket only if something is
    // sent on it, so a flood of datagrams costs no file descriptors. It has
    // no delegate: nothing here listens for the outcome of a reply, and the
    // message carrying it may outlive the server.
    auto reply = std::make_shared<OscSocket>(std::make_unique<AsyncUdpSocket>());
    reply->setHost(AsyncUdpSocket::hostFromAddress(from));
    reply->setPort(udpReplyPort_);
    reply->setPeerAddress(from);
    OscParser::processOscData(data, delegate_, reply);
}

void OscServer::udpSocketDestinationUnreachable(AsyncUdpSocket& /*socket*/,
                                                const SocketAddress& destination,
                                                const SocketError& /*error*/) {
    if (peerObserver_ != nullptr) peerObserver_->udpPeerUnreachable(destination);
}

}  // namespace bw
