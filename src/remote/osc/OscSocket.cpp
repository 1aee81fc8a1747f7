#include "remote/osc/OscSocket.h"

#include "remote/osc/OscPacket.h"
#include "remote/osc/OscParser.h"

namespace bw {

OscSocket::OscSocket(std::unique_ptr<AsyncSocket> tcpSocket) : tcpSocket_(std::move(tcpSocket)) {}

OscSocket::OscSocket(std::unique_ptr<AsyncUdpSocket> udpSocket)
    : udpSocket_(std::move(udpSocket)) {}

OscSocket::~OscSocket() {
    if (tcpSocket_) {
        tcpSocket_->setDelegate(nullptr);
        tcpSocket_->disconnect();
    }
    if (udpSocket_) udpSocket_->clearDelegate();
}

std::string OscSocket::description() const {
    if (tcpSocket_) {
        return "[TCP socket " + host_ + ":" + std::to_string(port_) +
               " isConnected = " + (isConnected() ? "1" : "0") + "]";
    }
    return "[UDP socket " + host_ + ":" + std::to_string(port_) + "]";
}

bool OscSocket::startListening(SocketError* error) {
    if (tcpSocket_) return tcpSocket_->acceptOnPort(port_, error);
    return udpSocket_->bindToPort(port_, error) && udpSocket_->beginReceiving(error);
}

void OscSocket::stopListening() {
    if (tcpSocket_) {
        tcpSocket_->disconnectAfterWriting();
    } else {
        udpSocket_->close();
    }
}

bool OscSocket::connect(SocketError* error) {
    if (!tcpSocket_) return true;
    if (host_.empty() || port_ == 0) return false;
    return tcpSocket_->connectToHost(host_, port_, error);
}

void OscSocket::disconnect() {
    if (tcpSocket_) tcpSocket_->disconnect();
}

bool OscSocket::isConnected() const {
    return tcpSocket_ ? tcpSocket_->isConnected() : true;
}

std::vector<std::uint8_t> OscSocket::frame(std::span<const std::uint8_t> packet, Framing framing) {
    if (framing == Framing::Slip) return OscParser::slipEncode(packet);
    std::vector<std::uint8_t> framed;
    framed.reserve(packet.size() + 4);
    const auto length = static_cast<std::uint32_t>(packet.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        framed.push_back(static_cast<std::uint8_t>(length >> shift));
    framed.insert(framed.end(), packet.begin(), packet.end());
    return framed;
}

void OscSocket::sendPacket(const OscPacket& packet) {
    std::vector<std::uint8_t> data = packet.packetData();
    if (tcpSocket_) {
        std::vector<std::uint8_t> framed = frame(data, framing_);
        const auto tag = static_cast<long>(framed.size());
        tcpSocket_->writeData(std::move(framed), kSendTimeoutSeconds, tag);
        return;
    }
    udpSocket_->sendData(std::move(data), host_, port_, kSendTimeoutSeconds, 0);
    udpSocket_->closeAfterSending();
}

}  // namespace bw
