#include "remote/net/SocketAddress.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace bw {

SocketAddress::SocketAddress(const sockaddr* address, socklen_t length) {
    if (address == nullptr) {
        return;
    }
    length_ = std::min<socklen_t>(length, sizeof storage_);
    std::memcpy(&storage_, address, length_);
}

std::string SocketAddress::host() const {
    if (empty()) {
        return {};
    }
    sockaddr_storage shown = storage_;
    socklen_t shownLength = length_;
    if (family() == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &storage_, sizeof v6);
        static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0,    0,
                                                           0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(v6.sin6_addr.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0) {
            // ::ffff:a.b.c.d reads as a.b.c.d: the peer is an IPv4 host.
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            v4.sin_port = v6.sin6_port;
            std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], sizeof v4.sin_addr);
            shown = {};
            std::memcpy(&shown, &v4, sizeof v4);
            shownLength = sizeof v4;
        }
    }
    char text[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&shown), shownLength, text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return text;
}

std::uint16_t SocketAddress::port() const {
    if (family() == AF_INET && length_ >= sizeof(sockaddr_in)) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    }
    if (family() == AF_INET6 && length_ >= sizeof(sockaddr_in6)) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    }
    return 0;
}

}  // namespace bw
