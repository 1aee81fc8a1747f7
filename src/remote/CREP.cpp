#include "remote/CREP.h"

#include <algorithm>
#include <iostream>

#include "platform/MainQueue.h"
#include "platform/PortSetting.h"
#include "platform/Utf8.h"
#include "remote/CREPDelegate.h"

namespace bw {

CREP::CREP(std::uint16_t port) : CREP(port, MainQueue::shared(), std::cout) {}

CREP::CREP(std::uint16_t port, MainQueue& queue, std::ostream& out)
    : port_(port), socket_(this, queue) {
    SocketError error;
    receiving_ = socket_.enableBroadcast(true, &error) && socket_.bindToPort(port_, &error) &&
                 socket_.beginReceiving(&error);
    if (!receiving_) {
        out << "Error! " << error.fullDescription() << std::endl;
        socket_.close();
    }
}

CREP::~CREP() {
    socket_.clearDelegate();
}

CREP& CREP::shared() {
    static CREP endpoint(portSetting(kCrepPortSource, kDefaultPort));
    return endpoint;
}

std::uint16_t CREP::localPort() const {
    return receiving_ ? socket_.localPort() : 0;
}

void CREP::udpSocketDidReceiveData(AsyncUdpSocket& /*socket*/, std::span<const std::uint8_t> data,
                                   const SocketAddress& from) {
    handleDatagram(data, from);
}

void CREP::handleDatagram(std::span<const std::uint8_t> datagram) {
    handleDatagram(datagram, SocketAddress());
}

std::vector<std::uint8_t> CREP::answerDatagram(std::span<const std::uint8_t, 4> context,
                                               const std::string& text) {
    std::vector<std::uint8_t> datagram(kTextOffset + text.size());
    std::copy(kHeader.begin(), kHeader.end(), datagram.begin());
    std::copy(context.begin(), context.end(), datagram.begin() + kHeader.size());
    std::copy(text.begin(), text.end(), datagram.begin() + kTextOffset);
    return datagram;
}

void CREP::reply(const SocketAddress& to, const std::string& text) {
    if (!receiving_ || to.empty()) return;
    socket_.sendData(answerDatagram(context_, text), to, 1.0, 0);
}

void CREP::handleDatagram(std::span<const std::uint8_t> datagram, const SocketAddress& from) {
    ++seqBkwd_;  // wraps from 255 to 0
    if (datagram.size() < kHeader.size() ||
        !std::equal(kHeader.begin(), kHeader.end(), datagram.begin())) {
        return;
    }
    // A datagram with the header but without the 4 bytes before the text
    // carries no command.
    if (datagram.size() < kTextOffset) return;

    std::span<const std::uint8_t> bytes = datagram.subspan(kTextOffset);
    std::string text(bytes.begin(), bytes.end());
    if (!isUtf8(text)) return;
    std::copy(datagram.begin() + kHeader.size(), datagram.begin() + kTextOffset, context_.begin());
    if (delegate_) delegate_->commandReceivedFrom(text, from);
}

}  // namespace bw
