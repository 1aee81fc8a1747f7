#include "remote/net/SocketAddress.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <span>

namespace bw {

namespace {

// What equality and order compare: the address bytes (none for an empty or
// unknown address) and the port, in network order as stored.
struct Key {
    int family = AF_UNSPEC;
    std::span<const std::uint8_t> bytes;
    std::uint16_t port = 0;
};

Key keyOf(const sockaddr_storage& storage, socklen_t length) {
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
        return {AF_INET,
                {reinterpret_cast<const std::uint8_t*>(&v4.sin_addr), sizeof v4.sin_addr},
                v4.sin_port};
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
        return {AF_INET6, {v6.sin6_addr.s6_addr, sizeof v6.sin6_addr.s6_addr}, v6.sin6_port};
    }
    return {length == 0 ? AF_UNSPEC : storage.ss_family, {}, 0};
}

// <0, 0 or >0 as `a` orders before, with or after `b`.
int compare(const Key& a, const Key& b) {
    if (a.family != b.family) {
        return a.family < b.family ? -1 : 1;
    }
    if (a.bytes.size() != b.bytes.size()) {
        return a.bytes.size() < b.bytes.size() ? -1 : 1;
    }
    if (const int bytes =
            a.bytes.empty() ? 0 : std::memcmp(a.bytes.data(), b.bytes.data(), a.bytes.size());
        bytes != 0) {
        return bytes;
    }
    const std::uint16_t aPort = ntohs(a.port);
    const std::uint16_t bPort = ntohs(b.port);
    return aPort == bPort ? 0 : (aPort < bPort ? -1 : 1);
}

}  // namespace

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

SocketAddress SocketAddress::withPort(std::uint16_t port) const {
    SocketAddress other = *this;
    if (family() == AF_INET && length_ >= sizeof(sockaddr_in)) {
        reinterpret_cast<sockaddr_in*>(&other.storage_)->sin_port = htons(port);
    } else if (family() == AF_INET6 && length_ >= sizeof(sockaddr_in6)) {
        reinterpret_cast<sockaddr_in6*>(&other.storage_)->sin6_port = htons(port);
    }
    return other;
}

std::string SocketAddress::text() const {
    const std::string shown = host();
    if (shown.empty()) {
        return {};
    }
    const std::string port = std::to_string(this->port());
    return shown.find(':') == std::string::npos ? shown + ":" + port : "[" + shown + "]:" + port;
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
    return compare(keyOf(a.storage_, a.length_), keyOf(b.storage_, b.length_)) == 0;
}

bool operator<(const SocketAddress& a, const SocketAddress& b) {
    return compare(keyOf(a.storage_, a.length_), keyOf(b.storage_, b.length_)) < 0;
}

}  // namespace bw
