#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bw::test {

// A port on the loopback address that nothing is bound to just now, for
// `type` (SOCK_DGRAM: UDP, SOCK_STREAM: TCP).
inline int freePortOf(int type) {
    const int socket = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(socket);
    return ntohs(address.sin_port);
}

inline int freeUdpPort() {
    return freePortOf(SOCK_DGRAM);
}
inline int freeTcpPort() {
    return freePortOf(SOCK_STREAM);
}

}  // namespace bw::test
