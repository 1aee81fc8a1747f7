#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "remote/net/SocketError.h"

namespace bw {

class AsyncSocket;
class MainQueue;

// Told what happens on a TCP socket. Calls arrive on the delegate queue, one
// at a time, in event order; never after the socket is destroyed or its
// delegate is cleared.
class AsyncSocketDelegate {
public:
    virtual ~AsyncSocketDelegate() = default;

    // A listening socket accepted a connection. The new socket has the same
    // delegate and delegate queue; ownership passes to the delegate (dropping
    // it closes the connection).
    virtual void socketDidAcceptNewSocket(AsyncSocket& /*listener*/,
                                          std::unique_ptr<AsyncSocket> /*newSocket*/) {}
    // A listening socket closed a connection from `host` at once because its
    // connection limit was reached.
    virtual void socketDidRefuseConnection(AsyncSocket& /*listener*/, const std::string& /*host*/) {
    }
    virtual void socketDidConnectToHost(AsyncSocket& /*socket*/, const std::string& /*host*/,
                                        std::uint16_t /*port*/) {}
    // The bytes of one read: whatever was available, at least one byte.
    // `data` is valid during the call only.
    virtual void socketDidReadData(AsyncSocket& /*socket*/, std::span<const std::uint8_t> /*data*/,
                                   long /*tag*/) {}
    virtual void socketDidWriteData(AsyncSocket& /*socket*/, long /*tag*/) {}
    // The peer closed its side; the socket disconnects after this.
    virtual void socketDidCloseReadStream(AsyncSocket& /*socket*/) {}
    // The connection is gone, with the error that ended it, if any. Not
    // called for a socket that never connected and never listened.
    virtual void socketDidDisconnect(AsyncSocket& /*socket*/,
                                     const std::optional<SocketError>& /*error*/) {}
    // A read or write reached its timeout. The answer is the number of
    // seconds to extend it by; 0 (the default) fails it with a timeout error
    // and disconnects.
    virtual double socketShouldTimeoutRead(AsyncSocket& /*socket*/, long /*tag*/,
                                           double /*elapsedSeconds*/, std::size_t /*bytesDone*/) {
        return 0;
    }
    virtual double socketShouldTimeoutWrite(AsyncSocket& /*socket*/, long /*tag*/,
                                            double /*elapsedSeconds*/, std::size_t /*bytesDone*/) {
        return 0;
    }
};

// An asynchronous TCP socket: a listener on IPv4 and IPv6, or one
// connection. System calls run on the shared socket I/O thread; every method
// may be called from any thread, including from the socket's own callbacks
// (the destructor too). Destroying the socket closes it at once; no callback
// arrives afterwards.
class AsyncSocket {
public:
    // `delegate` is not owned and must outlive the socket or be cleared first.
    AsyncSocket(AsyncSocketDelegate* delegate, MainQueue& delegateQueue);
    ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // Null silences the socket.
    void setDelegate(AsyncSocketDelegate* delegate);

    // Listens on `port` (0: ephemeral, the same for both families) on every
    // local interface, IPv4 and IPv6, with address reuse. Accepted
    // connections probe idle peers (TCP keepalive: after 30 s, every 10 s, 3
    // probes), so that a peer that vanished without closing is dropped.
    bool acceptOnPort(std::uint16_t port, SocketError* error = nullptr);
    // A listener keeps at most `limit` accepted connections open (0, the
    // default: no limit) and refuses the ones beyond it. A connection counts
    // from its acceptance until it closes or its peer is seen to close, on
    // the I/O thread: closes that the delegate has not been told of yet, and
    // peers that connect, send and close at once, take no place.
    void setConnectionLimit(std::size_t limit);
    // Starts connecting; completion is socketDidConnectToHost or
    // socketDidDisconnect with the error. Fails at once on misuse or when the
    // host does not resolve.
    bool connectToHost(const std::string& host, std::uint16_t port, SocketError* error = nullptr);

    bool isConnected() const;
    // The peer's numeric host and port; "" and 0 when not connected.
    std::string connectedHost() const;
    std::uint16_t connectedPort() const;
    // The local port (of the listener, or of the connection).
    std::uint16_t localPort() const;

    // Queues a read of the next available bytes; `timeoutSeconds` < 0: none.
    void readData(double timeoutSeconds, long tag);
    // Queues a write of all of `data`; `timeoutSeconds` < 0: none.
    void writeData(std::vector<std::uint8_t> data, double timeoutSeconds, long tag);
    // Bytes given to writeData and not yet handed to the kernel (or dropped:
    // a write to a socket that is not connected, writes pending at a
    // disconnect). Any thread, without waiting for the socket's thread; a
    // peer that stopped reading shows as a count that keeps growing.
    std::size_t queuedWriteBytes() const;

    // Disconnects at once; pending reads and writes are dropped. A socket
    // that has disconnected may listen or connect again.
    void disconnect();
    // Disconnects once every queued write has gone; no further reads start.
    void disconnectAfterWriting();

    class Impl;

private:
    // An accepted connection, handed to the listener's delegate.
    explicit AsyncSocket(std::shared_ptr<Impl> impl);

    std::shared_ptr<Impl> impl_;
};

}  // namespace bw
