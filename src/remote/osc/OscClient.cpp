#include "remote/osc/OscClient.h"

#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscSocket.h"

namespace bw {

OscClient::OscClient() : OscClient(MainQueue::shared()) {}

OscClient::OscClient(MainQueue& queue) : queue_(queue) {}

OscClient::~OscClient() {
    destroySocket();
}

void OscClient::setHost(const std::string& host) {
    if (host.empty()) {
        host_.reset();
    } else {
        host_ = host;
    }
    if (socket_) socket_->setHost(this->host());
}

void OscClient::setPort(std::uint16_t port) {
    port_ = port;
    if (socket_) socket_->setPort(port);
}

void OscClient::setUseTcp(bool useTcp) {
    if (useTcp == useTcp_) return;
    useTcp_ = useTcp;
    destroySocket();
}

OscClientState OscClient::state() const {
    return {host(), port_, useTcp_, userData_};
}

void OscClient::setState(const OscClientState& state) {
    setHost(state.host);
    setPort(state.port);
    setUseTcp(state.useTcp);
    setUserData(state.userData);
}

std::string OscClient::title() const {
    if (!host_ || port_ == 0) return "<invalid>";
    return *host_ + " : " + std::to_string(port_);
}

std::string OscClient::description() const {
    return "[OscClient " + host() + ":" + std::to_string(port_) + "]";
}

void OscClient::createSocket() {
    if (useTcp_) {
        socket_ = std::make_shared<OscSocket>(std::make_unique<AsyncSocket>(this, queue_));
        readState_.socket = socket_;
    } else {
        socket_ = std::make_shared<OscSocket>(std::make_unique<AsyncUdpSocket>(this, queue_));
    }
    socket_->setHost(host());
    socket_->setPort(port_);
}

void OscClient::destroySocket() {
    readState_.socket.reset();
    if (!socket_) return;
    // A socket that a message still holds as its reply socket must not report
    // to this client any more.
    if (socket_->tcpSocket()) {
        socket_->tcpSocket()->setDelegate(nullptr);
    } else {
        socket_->udpSocket()->clearDelegate();
    }
    socket_->disconnect();
    socket_.reset();
}

bool OscClient::connect(SocketError* error) {
    if (!socket_) createSocket();
    return socket_->connect(error);
}

void OscClient::resetReadState() {
    readData_.clear();
    readState_.resetFraming();
}

void OscClient::disconnect() {
    if (socket_) socket_->disconnect();
    resetReadState();
}

bool OscClient::isConnected() const {
    return socket_ && socket_->isConnected();
}

void OscClient::sendPacket(const OscPacket& packet) {
    if (!socket_) connect();
    if (!socket_) {
        SystemLog::shared().log("Error: OscClient could not send data; no socket available.");
        return;
    }
    // Replies come back on the same connection.
    if (socket_->tcpSocket()) socket_->tcpSocket()->readData(-1, 0);
    socket_->sendPacket(packet);
}

void OscClient::sendPacket(const OscPacket& packet, const std::string& host, std::uint16_t port) {
    setHost(host);
    setPort(port);
    sendPacket(packet);
}

void OscClient::socketDidConnectToHost(AsyncSocket&, const std::string&, std::uint16_t) {
    if (delegate_) delegate_->clientDidConnect(*this);
}

void OscClient::socketDidReadData(AsyncSocket& socket, std::span<const std::uint8_t> data,
                                  long tag) {
    OscParser::translateSlipData(data, readData_, readState_, delegate_);
    socket.readData(-1, tag);
}

void OscClient::socketDidCloseReadStream(AsyncSocket&) {
    resetReadState();
}

void OscClient::socketDidDisconnect(AsyncSocket&, const std::optional<SocketError>&) {
    resetReadState();
    if (delegate_) delegate_->clientDidDisconnect(*this);
}

double OscClient::socketShouldTimeoutRead(AsyncSocket&, long, double, std::size_t) {
    SystemLog::shared().log("Warning: OscClient timed out when reading data.");
    return 0;
}

double OscClient::socketShouldTimeoutWrite(AsyncSocket&, long, double, std::size_t) {
    SystemLog::shared().log("Warning: OscClient timed out when sending data.");
    return 0;
}

}  // namespace bw
