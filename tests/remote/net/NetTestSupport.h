#pragma once

// Helpers for the socket tests: plain blocking sockets as outside peers,
// descriptor counts, whether the machine has an IPv6 loopback, and the main
// queue run until the sockets' callbacks have come.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"

namespace bw::test {

// Runs the main queue until `done` holds; false after ten seconds.
inline bool pump(const std::function<bool()>& done) {
    return MainQueue::shared().pumpUntil(done, std::chrono::seconds(10));
}

// Gives stray callbacks a chance to arrive before a test checks there were none.
inline void settle() {
    MainQueue::shared().pumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

// Entries of /proc/self/fd, not counting the descriptor that reads them.
inline int openDescriptorCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;
}

// A loopback address of `host` ("127.0.0.1" or "::1") and `port`.
inline sockaddr_storage loopbackAddress(const std::string& host, std::uint16_t port,
                                        socklen_t* length) {
    sockaddr_storage storage{};
    if (host.find(':') != std::string::npos) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr);
        *length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr);
        *length = sizeof(sockaddr_in);
    }
    return storage;
}

inline std::uint16_t boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    return storage.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
               : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

// A blocking socket of `type` bound to `host` port `port` (0: ephemeral).
// Invalid when the address cannot be bound.
inline FileDescriptor plainSocket(int type, const std::string& host, std::uint16_t port = 0) {
    socklen_t length = 0;
    const sockaddr_storage address = loopbackAddress(host, port, &length);
    FileDescriptor fd(::socket(address.ss_family, type | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return {};
    }
    return fd;
}

// The descriptor of this process's TCP socket with local port `localPort`
// and peer port `peerPort` (an accepted connection, seen from the server
// side); -1 when there is none. Lets a test read options of a socket that
// the code under test keeps to itself.
inline int socketDescriptor(std::uint16_t localPort, std::uint16_t peerPort) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            continue;
        }
        const auto portOf = [](const sockaddr_storage& address) {
            return address.ss_family == AF_INET6
                       ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
                       : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
        };
        if (portOf(local) == localPort && portOf(peer) == peerPort) found = fd;
    }
    ::closedir(dir);
    return found;
}

inline bool sendDatagram(int fd, const std::string& host, std::uint16_t port,
                         const std::vector<std::uint8_t>& bytes) {
    socklen_t length = 0;
    const sockaddr_storage address = loopbackAddress(host, port, &length);
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                    length) == static_cast<ssize_t>(bytes.size());
}

inline bool ipv6LoopbackAvailable() {
    return plainSocket(SOCK_DGRAM, "::1").valid();
}

inline std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace bw::test
