#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace bw {

// An IPv4 or IPv6 socket address. A value; any thread.
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

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

}  // namespace bw
