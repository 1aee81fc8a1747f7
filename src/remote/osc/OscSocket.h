#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "remote/net/AsyncSocket.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/net/SocketAddress.h"

namespace bw {

class OscPacket;

// One UDP or TCP socket with the remote (or, when listening, local) host and
// port it is used with, and the OSC way of sending a packet on it: a datagram
// over UDP, a SLIP-framed packet over TCP.
//
// Main thread only. Owns its socket; destroying a TCP wrapper disconnects it,
// destroying a UDP wrapper closes it. The socket's delegate is whoever made it.
class OscSocket {
public:
    static constexpr double kSendTimeoutSeconds = 3.0;

    // How packets are delimited on a TCP stream.
    enum class Framing { Slip, LengthPrefixed };

    explicit OscSocket(std::unique_ptr<AsyncSocket> tcpSocket);
    explicit OscSocket(std::unique_ptr<AsyncUdpSocket> udpSocket);
    ~OscSocket();
    OscSocket(const OscSocket&) = delete;
    OscSocket& operator=(const OscSocket&) = delete;

    // Exactly one is set.
    AsyncSocket* tcpSocket() const { return tcpSocket_.get(); }
    AsyncUdpSocket* udpSocket() const { return udpSocket_.get(); }
    bool isTcp() const { return tcpSocket_ != nullptr; }

    const std::string& host() const { return host_; }
    void setHost(std::string host) { host_ = std::move(host); }
    std::uint16_t port() const { return port_; }
    void setPort(std::uint16_t port) { port_ = port; }

    // TCP: how sendPacket() frames packets; SLIP unless the server saw the
    // peer use length prefixes.
    Framing framing() const { return framing_; }
    void setFraming(Framing framing) { framing_ = framing; }
    // The reply socket of a received datagram: the sender's address with
    // its source port (host() alone names only the host). Empty otherwise.
    const SocketAddress& peerAddress() const { return peerAddress_; }
    void setPeerAddress(const SocketAddress& address) { peerAddress_ = address; }

    // The bytes of `packet` as framed for a stream: SLIP, or its 4-byte
    // big-endian length first.
    static std::vector<std::uint8_t> frame(std::span<const std::uint8_t> packet, Framing framing);

    // "[TCP socket host:port isConnected = 0|1]" or "[UDP socket host:port]".
    std::string description() const;

    // TCP: accept connections on port(). UDP: bind to port() and receive.
    bool startListening(SocketError* error = nullptr);
    // TCP: disconnect once pending writes have gone. UDP: close.
    void stopListening();
    // TCP: connect to host():port(); false without a host or a port. UDP:
    // nothing to do, true.
    bool connect(SocketError* error = nullptr);
    // TCP: disconnect at once.
    void disconnect();
    // TCP: whether connected. UDP: true.
    bool isConnected() const;

    // TCP: frame and write the packet (tag: the framed length). UDP:
    // send it as one datagram to host():port(), then close the socket once it
    // has gone; the next send opens it again. Both with a 3 s timeout.
    void sendPacket(const OscPacket& packet);

private:
    std::unique_ptr<AsyncSocket> tcpSocket_;
    std::unique_ptr<AsyncUdpSocket> udpSocket_;
    std::string host_ = "localhost";
    std::uint16_t port_ = 0;
    Framing framing_ = Framing::Slip;
    SocketAddress peerAddress_;
};

}  // namespace bw
