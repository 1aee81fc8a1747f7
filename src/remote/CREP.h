#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "remote/net/AsyncUdpSocket.h"

namespace bw {

class CREPDelegate;
class MainQueue;

// The CREP endpoint: a UDP command protocol. Each datagram that starts with
// the 6-byte header "PERC\0\0" carries, after 4 bytes that mean nothing
// here, one command text (UTF-8, running to the end of the datagram), which
// goes to the delegate. Commands are not answered, except a query the
// delegate answers with reply(): a datagram of the same form back to the
// sender, with the request's 4 bytes echoed so that a controller can match
// the answer to its question.
//
// Main thread only (the socket's callbacks arrive on the main queue). When
// the socket cannot be set up, one line "Error! <error>" goes to `out` and
// the endpoint stays deaf.
class CREP : public AsyncUdpSocketDelegate {
public:
    static constexpr std::uint16_t kDefaultPort = 6553;
    static constexpr std::array<std::uint8_t, 6> kHeader{0x50, 0x45, 0x52, 0x43, 0x00, 0x00};
    static constexpr std::size_t kTextOffset = 10;

    // Opens the socket: broadcast on, bound to `port` on every interface,
    // receiving.
    explicit CREP(std::uint16_t port = kDefaultPort);
    CREP(std::uint16_t port, MainQueue& queue, std::ostream& out);
    ~CREP() override;
    CREP(const CREP&) = delete;
    CREP& operator=(const CREP&) = delete;

    // The process's endpoint on port 6553 (or the port BEAMWRIGHT_CREP_PORT
    // names), created on first use.
    static CREP& shared();

    // The delegate is held strongly.
    void setDelegate(std::shared_ptr<CREPDelegate> delegate) { delegate_ = std::move(delegate); }
    const std::shared_ptr<CREPDelegate>& delegate() const { return delegate_; }

    // Configuration kept for completeness; nothing is ever sent there.
    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    // The bound port (differs from port() only when that was 0); 0 when deaf.
    std::uint16_t localPort() const;
    bool isReceiving() const { return receiving_; }
    std::uint8_t seqFwd() const { return seqFwd_; }
    // Counts every datagram the socket delivers, accepted or not, modulo 256.
    std::uint8_t seqBkwd() const { return seqBkwd_; }

    // Handles one datagram as if the socket had delivered it (from an
    // unknown sender, which reply() cannot answer).
    void handleDatagram(std::span<const std::uint8_t> datagram);
    void handleDatagram(std::span<const std::uint8_t> datagram, const SocketAddress& from);

    // Sends `text` to `to` in a datagram of the command form: the header,
    // the 4 bytes of the request being answered, the text. Nothing while
    // deaf or for an empty address.
    void reply(const SocketAddress& to, const std::string& text);
    // The encoded answer datagram (tests, and reply()).
    static std::vector<std::uint8_t> answerDatagram(std::span<const std::uint8_t, 4> context,
                                                    const std::string& text);

    void udpSocketDidReceiveData(AsyncUdpSocket& socket, std::span<const std::uint8_t> data,
                                 const SocketAddress& from) override;

private:
    std::string host_ = "255.255.255.255";
    std::uint16_t port_;
    std::shared_ptr<CREPDelegate> delegate_;
    AsyncUdpSocket socket_;
    bool receiving_ = false;
    std::uint8_t seqFwd_ = 0;
    std::uint8_t seqBkwd_ = 0;
    // Bytes 6 to 9 of the datagram being handled, echoed by reply().
    std::array<std::uint8_t, 4> context_{};
};

}  // namespace bw
