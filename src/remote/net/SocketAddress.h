#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace bw {

// An IPv4 or IPv6 socket address. A value; any thread.
//
// Equality and order look at the family, the address bytes and the port only
// (an IPv6 address's flow label and scope are ignored), so that an address
// can key a map of peers. An IPv4 address mapped into IPv6 stays distinct
// from the plain IPv4 address.
class SocketAddress {
public:
    SocketAddress() = default;
    SocketAddress(const sockaddr* address, socklen_t length);

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t length() const { return length_; }
    int family() const { return storage_.ss_family; }
    bool empty() const { return length_ == 0; }

    // The numeric host text ("127.0.0.1", "::1"); "" when empty. An IPv4
    // address mapped into IPv6 reads as the IPv4 text.
    std::string host() const;
    std::uint16_t port() const;
    // The same host with another port; an empty address stays empty.
    SocketAddress withPort(std::uint16_t port) const;
    // Host and port: "127.0.0.1:9000", "[::1]:9000"; "" when empty. A mapped
    // IPv4 address reads as the IPv4 text, as host() does.
    std::string text() const;

    friend bool operator==(const SocketAddress& a, const SocketAddress& b);
    // A strict weak order: by family, then address bytes, then port.
    friend bool operator<(const SocketAddress& a, const SocketAddress& b);

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

}  // namespace bw
