#include "remote/net/SocketCalls.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace bw::sockets {

namespace {

constexpr int kEphemeralBindAttempts = 8;

bool familyUnsupported(int errorNumber) {
    return errorNumber == EAFNOSUPPORT || errorNumber == EPROTONOSUPPORT ||
           errorNumber == EADDRNOTAVAIL;
}

}  // namespace

FileDescriptor openSocket(int family, int type, bool reuseAddress, SocketError* error) {
    FileDescriptor fd(::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        report(error, SocketError::posix(errno, "Error in socket() function"));
        return {};
    }
    if (reuseAddress && !setIntOption(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1, error)) {
        return {};
    }
    if (family == AF_INET6 && !setIntOption(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, 1, error)) {
        return {};
    }
    return fd;
}

bool setIntOption(int fd, int level, int name, int value, SocketError* error) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        report(error, SocketError::posix(errno, "Error in setsockopt() function"));
        return false;
    }
    return true;
}

SocketAddress anyAddress(int family, std::uint16_t port) {
    if (family == AF_INET6) {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(port);
        return SocketAddress(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    v4.sin_port = htons(port);
    return SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

SocketAddress localAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return {};
    }
    return SocketAddress(reinterpret_cast<const sockaddr*>(&storage), length);
}

SocketAddress peerAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return {};
    }
    return SocketAddress(reinterpret_cast<const sockaddr*>(&storage), length);
}

bool bindDualStack(int type, std::uint16_t port, const Configure& configure, DualStack& out,
                   SocketError* error) {
    // Address reuse lets a TCP listener rebind while old connections linger
    // in TIME_WAIT. On UDP, Linux would let a second socket bind the same
    // port and share out the datagrams, so a port in use must fail there.
    const bool reuseAddress = type == SOCK_STREAM;
    for (int attempt = 0; attempt < kEphemeralBindAttempts; ++attempt) {
        DualStack stack;
        stack.v4 = openSocket(AF_INET, type, reuseAddress, error);
        if (!stack.v4.valid() || (configure && !configure(stack.v4.get(), error))) {
            return false;
        }
        const SocketAddress v4Address = anyAddress(AF_INET, port);
        if (::bind(stack.v4.get(), v4Address.get(), v4Address.length()) != 0) {
            report(error, SocketError::posix(errno, "Error in bind() function"));
            return false;
        }
        stack.port = localAddress(stack.v4.get()).port();

        SocketError v6Error;
        stack.v6 = openSocket(AF_INET6, type, reuseAddress, &v6Error);
        if (!stack.v6.valid()) {
            if (v6Error.domain == kPosixErrorDomain && familyUnsupported(v6Error.code)) {
                out = std::move(stack);  // no IPv6 here: IPv4 alone
                return true;
            }
            report(error, std::move(v6Error));
            return false;
        }
        if (configure && !configure(stack.v6.get(), error)) {
            return false;
        }
        const SocketAddress v6Address = anyAddress(AF_INET6, stack.port);
        if (::bind(stack.v6.get(), v6Address.get(), v6Address.length()) == 0) {
            out = std::move(stack);
            return true;
        }
        const int bindError = errno;
        if (familyUnsupported(bindError)) {
            stack.v6.reset();
            out = std::move(stack);
            return true;
        }
        if (bindError == EADDRINUSE && port == 0) {
            continue;  // another program holds the IPv6 side of this ephemeral port
        }
        report(error, SocketError::posix(bindError, "Error in bind() function"));
        return false;
    }
    report(error, SocketError::posix(EADDRINUSE, "Error in bind() function"));
    return false;
}

std::vector<SocketAddress> resolve(const std::string& host, std::uint16_t port, int type,
                                   std::string_view domain, SocketError* error) {
    if (host.empty()) {
        report(error,
               SocketError::make(domain, SocketErrorCode::badParam, "Invalid host parameter"));
        return {};
    }
    // Numeric addresses without a scope go straight to a socket address.
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        return {SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4)};
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        return {SocketAddress(reinterpret_cast<const sockaddr*>(&v6), sizeof v6)};
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        const int errorNumber = errno;
        if (status == EAI_SYSTEM) {
            report(error, SocketError::posix(errorNumber, "Error in getaddrinfo() function"));
        } else {
            report(error,
                   SocketError::make(domain, SocketErrorCode::resolveFailed, ::gai_strerror(status),
                                     "Error in getaddrinfo() function"));
        }
        return {};
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            addresses.emplace_back(entry->ai_addr, entry->ai_addrlen);
        }
    }
    if (addresses.empty()) {
        report(error, SocketError::make(domain, SocketErrorCode::resolveFailed,
                                        "No IPv4 or IPv6 address for the host",
                                        "Error in getaddrinfo() function"));
    }
    return addresses;
}

}  // namespace bw::sockets
