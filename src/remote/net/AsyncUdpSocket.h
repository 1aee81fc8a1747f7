#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "remote/net/SocketAddress.h"
#include "remote/net/SocketError.h"

namespace bw {

class AsyncUdpSocket;
class MainQueue;

// Told what happens on a UDP socket. Calls arrive on the delegate queue, one
// at a time, in event order; never after the socket is destroyed or its
// delegate is cleared.
class AsyncUdpSocketDelegate {
public:
    virtual ~AsyncUdpSocketDelegate() = default;

    // One call per datagram. `data` is valid during the call only; a datagram
    // longer than kMaxDatagramBytes arrives cut to that length.
    virtual void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                         const SocketAddress& from) = 0;
    virtual void udpSocketDidSendData(AsyncUdpSocket& /*socket*/, long /*tag*/) {}
    virtual void udpSocketDidNotSendData(AsyncUdpSocket& /*socket*/, long /*tag*/,
                                         const SocketError& /*error*/) {}
    virtual void udpSocketDidClose(AsyncUdpSocket& /*socket*/) {}
    // A datagram sent to `destination` came back as unreachable (an ICMP
    // error: no one listens on that port, no route to the host), with the
    // errno in a POSIX error. One call per report; only while
    // setReportsUnreachable is on.
    virtual void udpSocketDestinationUnreachable(AsyncUdpSocket& /*socket*/,
                                                 const SocketAddress& /*destination*/,
                                                 const SocketError& /*error*/) {}
};

// An asynchronous UDP socket on IPv4 and IPv6 at once. System calls run on
// the shared socket I/O thread; every method may be called from any thread
// (including from the socket's own callbacks, and the destructor too).
// Destroying the socket closes it; no callback arrives afterwards.
//
// The operating-system sockets are opened on first need (enableBroadcast,
// bindToPort, sendData): a socket that is constructed and never used holds no
// descriptor. After close() the socket may be bound or send again.
class AsyncUdpSocket {
public:
    static constexpr std::size_t kMaxDatagramBytes = 9216;

    // An empty socket; set the delegate before use.
    AsyncUdpSocket();
    // `delegate` is not owned and must outlive the socket or be cleared first.
    AsyncUdpSocket(AsyncUdpSocketDelegate* delegate, MainQueue& delegateQueue);
    ~AsyncUdpSocket();
    AsyncUdpSocket(const AsyncUdpSocket&) = delete;
    AsyncUdpSocket& operator=(const AsyncUdpSocket&) = delete;

    // Both at once; a null delegate silences the socket.
    void setDelegate(AsyncUdpSocketDelegate* delegate, MainQueue& delegateQueue);
    void clearDelegate();

    // Creates the IPv4 and IPv6 sockets if needed and sets SO_BROADCAST.
    bool enableBroadcast(bool enable, SocketError* error = nullptr);
    // Whether datagrams that come back as unreachable are reported with
    // udpSocketDestinationUnreachable (off by default). The setting holds for
    // every operating-system socket this socket opens from now on, across
    // bindToPort and close; it applies at once to the open ones.
    bool setReportsUnreachable(bool enable, SocketError* error = nullptr);
    // Binds to `port` on every local interface, IPv4 and IPv6 (port 0: an
    // ephemeral port, the same for both). Binding twice fails with
    // "Cannot bind a socket more than once.".
    bool bindToPort(std::uint16_t port, SocketError* error = nullptr);
    // Delivers every datagram from now on until the socket closes. Fails
    // unless the socket is bound (explicitly, or implicitly by a send).
    bool beginReceiving(SocketError* error = nullptr);

    // Queues one datagram to `host` (a name or numeric address) and `port`.
    // An unbound socket binds to an ephemeral port first. `timeoutSeconds`
    // < 0: no timeout. The outcome arrives as udpSocketDidSendData or
    // udpSocketDidNotSendData with `tag`.
    void sendData(std::vector<std::uint8_t> data, const std::string& host, std::uint16_t port,
                  double timeoutSeconds, long tag);
    // Queues one datagram to `to`, with no name lookup (for replying to the
    // address a datagram came from); otherwise as above. An address of a
    // family with no socket here fails with udpSocketDidNotSendData.
    void sendData(std::vector<std::uint8_t> data, const SocketAddress& to, double timeoutSeconds,
                  long tag);

    // Closes once every queued datagram has gone (or failed). A datagram
    // queued meanwhile is sent too, before the close.
    void closeAfterSending();
    // Closes at once; queued datagrams are dropped.
    void close();
    // A closed socket can be used again as if new (same delegate): bound,
    // sent from (which binds it to an ephemeral port), received on. Each close
    // is reported once with udpSocketDidClose.

    // Whether no operating-system socket is open: before first use, and after close.
    bool isClosed() const;
    // The bound local port; 0 when not bound.
    std::uint16_t localPort() const;

    static std::string hostFromAddress(const SocketAddress& address) { return address.host(); }

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace bw
