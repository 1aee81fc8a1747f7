#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/net/AsyncSocket.h"
#include "remote/net/AsyncUdpSocket.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscStreamState.h"

namespace bw {

class MainQueue;
class OscClient;
class OscPacket;
class OscSocket;

// Receives what arrives on a client's TCP connection (SLIP-framed packets)
// and, optionally, its connection changes.
class OscClientDelegate : public OscPacketDestination {
public:
    virtual void clientDidConnect(OscClient& /*client*/) {}
    virtual void clientDidDisconnect(OscClient& /*client*/) {}
};

// The settings of a client, read and assigned as one.
struct OscClientState {
    std::string host;  // "" when none
    std::uint16_t port = 0;
    bool useTcp = false;
    std::any userData;  // empty when none
};

// Sends OSC packets to one host and port, over UDP or SLIP-framed TCP. Its
// socket is made on the first connect or send and remade when the transport
// changes.
//
// Main thread only. The delegate is not owned and must outlive the client.
class OscClient : public AsyncSocketDelegate, public AsyncUdpSocketDelegate {
public:
    static constexpr std::uint16_t kDefaultPort = 53000;

    explicit OscClient(MainQueue& queue);
    OscClient();
    ~OscClient() override;
    OscClient(const OscClient&) = delete;
    OscClient& operator=(const OscClient&) = delete;

    // "" when none; assigning "" stores none.
    std::string host() const { return host_.value_or(""); }
    void setHost(const std::string& host);
    std::uint16_t port() const { return port_; }
    void setPort(std::uint16_t port);
    bool useTcp() const { return useTcp_; }
    // A change of transport drops the socket; the next need makes a new one.
    void setUseTcp(bool useTcp);
    const std::any& userData() const { return userData_; }
    void setUserData(std::any userData) { userData_ = std::move(userData); }
    OscClientDelegate* delegate() const { return delegate_; }
    void setDelegate(OscClientDelegate* delegate) { delegate_ = delegate; }

    OscClientState state() const;
    // Sets host, port, useTcp and userData, in that order.
    void setState(const OscClientState& state);

    // "host : port" when both are set, otherwise "<invalid>".
    std::string title() const;
    // "[OscClient host:port]".
    std::string description() const;

    const std::shared_ptr<OscSocket>& socket() const { return socket_; }
    const std::vector<std::uint8_t>& readBuffer() const { return readData_; }
    const OscStreamState& readState() const { return readState_; }

    // Makes the socket if there is none and connects it (UDP: nothing to do).
    bool connect(SocketError* error = nullptr);
    void disconnect();
    bool isConnected() const;

    void sendPacket(const OscPacket& packet);
    void sendPacket(const OscPacket& packet, const std::string& host, std::uint16_t port);

    void createSocket();
    void destroySocket();

    // AsyncSocketDelegate
    void socketDidConnectToHost(AsyncSocket& socket, const std::string& host,
                                std::uint16_t port) override;
    void socketDidReadData(AsyncSocket& socket, std::span<const std::uint8_t> data,
                           long tag) override;
    void socketDidCloseReadStream(AsyncSocket& socket) override;
    void socketDidDisconnect(AsyncSocket& socket, const std::optional<SocketError>& error) override;
    double socketShouldTimeoutRead(AsyncSocket& socket, long tag, double elapsedSeconds,
                                   std::size_t bytesDone) override;
    double socketShouldTimeoutWrite(AsyncSocket& socket, long tag, double elapsedSeconds,
                                    std::size_t bytesDone) override;

    // AsyncUdpSocketDelegate: nothing is listened for on UDP.
    void udpSocketDidReceiveData(AsyncUdpSocket&, std::span<const std::uint8_t>,
                                 const SocketAddress&) override {}

private:
    void resetReadState();

    MainQueue& queue_;
    std::optional<std::string> host_ = "localhost";
    std::uint16_t port_ = kDefaultPort;
    bool useTcp_ = false;
    std::any userData_;
    std::shared_ptr<OscSocket> socket_;
    std::vector<std::uint8_t> readData_;
    OscStreamState readState_;
    OscClientDelegate* delegate_ = nullptr;
};

}  // namespace bw
