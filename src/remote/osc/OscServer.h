#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "remote/net/AsyncSocket.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/osc/OscSocket.h"
#include "remote/osc/OscStreamState.h"

namespace bw {

class MainQueue;
class OscPacketDestination;

// Told when a peer the server talks back to goes: a UDP destination that
// answered with an ICMP error, or a TCP connection that closed. Main thread.
class OscPeerObserver {
public:
    virtual ~OscPeerObserver() = default;
    virtual void udpPeerUnreachable(const SocketAddress& peer) = 0;
    virtual void connectionClosed(const OscSocket& connection) = 0;
};

// Receives OSC packets on one port over UDP (one datagram, one packet) and
// TCP, and hands every message to its delegate.
//
// A TCP connection is framed with SLIP unless its first byte is 0x00: then
// every packet is preceded by its 4-byte big-endian length, the framing many
// OSC tools use on TCP. At most kMaxConnections connections are open at once,
// counted by the listener as it accepts (see AsyncSocket::setConnectionLimit);
// the map of connections here may briefly hold more, whose close has not
// reached the main thread yet.
//
// Main thread only: every socket reports on the main queue, and the delegate
// is called there. The delegate is not owned and must outlive the server.
class OscServer : public AsyncSocketDelegate, public AsyncUdpSocketDelegate {
public:
    static constexpr std::uint16_t kDefaultPort = 7777;
    static constexpr std::size_t kMaxConnections = 64;

    // Idle, on port 0; set the port and the delegate, then start listening.
    explicit OscServer(MainQueue& queue);
    OscServer();
    ~OscServer() override;
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Stops listening and moves both sockets to `port`; does not restart.
    void setPort(std::uint16_t port);
    std::uint16_t udpReplyPort() const { return udpReplyPort_; }
    void setUdpReplyPort(std::uint16_t port) { udpReplyPort_ = port; }
    OscPacketDestination* delegate() const { return delegate_; }
    void setDelegate(OscPacketDestination* delegate) { delegate_ = delegate; }
    // Not owned; null: none.
    void setPeerObserver(OscPeerObserver* observer) { peerObserver_ = observer; }

    // Sends one datagram from the listening UDP socket (so from the server's
    // own port) to `to`; nothing while the server does not listen.
    void sendDatagram(std::vector<std::uint8_t> data, const SocketAddress& to);

    // TCP first; when that fails UDP is not tried. True when both listen.
    bool startListening(SocketError* error = nullptr);
    void stopListening();

    const OscSocket& tcpSocket() const { return tcpSocket_; }
    const OscSocket& udpSocket() const { return udpSocket_; }
    // The number the next accepted connection gets; numbers are never reused.
    long activeIndex() const { return activeIndex_; }
    // The numbers of the open connections, ascending.
    std::vector<long> activeConnections() const;
    const OscSocket* connectionSocket(long connection) const;

    // AsyncSocketDelegate
    void socketDidAcceptNewSocket(AsyncSocket& listener,
                                  std::unique_ptr<AsyncSocket> newSocket) override;
    void socketDidRefuseConnection(AsyncSocket& listener, const std::string& host) override;
    void socketDidReadData(AsyncSocket& socket, std::span<const std::uint8_t> data,
                           long tag) override;
    void socketDidDisconnect(AsyncSocket& socket, const std::optional<SocketError>& error) override;
    double socketShouldTimeoutRead(AsyncSocket& socket, long tag, double elapsedSeconds,
                                   std::size_t bytesDone) override;
    double socketShouldTimeoutWrite(AsyncSocket& socket, long tag, double elapsedSeconds,
                                    std::size_t bytesDone) override;

    // AsyncUdpSocketDelegate
    void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                 const SocketAddress& from) override;
    void udpSocketDestinationUnreachable(AsyncUdpSocket& socket, const SocketAddress& destination,
                                         const SocketError& error) override;

private:
    enum class Framing { Undecided, Slip, LengthPrefixed };

    void closeConnection(long connection);

    std::uint16_t port_ = 0;
    std::uint16_t udpReplyPort_ = 0;
    OscSocket tcpSocket_;
    OscSocket udpSocket_;
    OscPacketDestination* delegate_ = nullptr;
    OscPeerObserver* peerObserver_ = nullptr;
    bool udpListening_ = false;

    // Per accepted connection, keyed by its number.
    std::map<long, std::shared_ptr<OscSocket>> activeTcpSockets_;
    std::map<long, std::vector<std::uint8_t>> activeData_;
    std::map<long, OscStreamState> activeState_;
    std::map<long, Framing> activeFraming_;
    long activeIndex_ = 0;
};

}  // namespace bw
