#pragma once

// The system calls that the UDP and TCP sockets share: creating sockets with
// the options every socket here gets, binding a pair of IPv4 and IPv6 sockets
// to one port, resolving hosts. Plain functions over file descriptors; any
// thread, though the sockets call them on the socket I/O thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileDescriptor.h"
#include "remote/net/SocketAddress.h"
#include "remote/net/SocketError.h"

namespace bw::sockets {

// Stores `value` in `*out` when the caller asked for the error.
inline void report(SocketError* out, SocketError value) {
    if (out != nullptr) {
        *out = std::move(value);
    }
}

// A non-blocking, close-on-exec socket of `family` (AF_INET, AF_INET6) and
// `type` (SOCK_DGRAM, SOCK_STREAM). IPv6 sockets are IPv6 only, so that an
// IPv4 socket can share their port. `reuseAddress` sets SO_REUSEADDR, which
// only TCP listeners want (see bindDualStack). An invalid descriptor on failure.
FileDescriptor openSocket(int family, int type, bool reuseAddress, SocketError* error);

bool setIntOption(int fd, int level, int name, int value, SocketError* error);

// The wildcard address of `family` with `port`.
SocketAddress anyAddress(int family, std::uint16_t port);
SocketAddress localAddress(int fd);
SocketAddress peerAddress(int fd);

// The IPv4 and IPv6 sockets bound to one port on every interface. Where the
// machine has no IPv6, `v6` stays invalid and the IPv4 socket works alone.
struct DualStack {
    FileDescriptor v4;
    FileDescriptor v6;
    std::uint16_t port = 0;
};

// Called on each new socket before it is bound (socket options).
using Configure = std::function<bool(int fd, SocketError* error)>;

// Opens and binds both sockets of `type` to `port`, with address reuse for
// SOCK_STREAM only, so that a UDP port in use fails to bind; port 0
// takes the IPv4 socket's ephemeral port for both, retrying a few times when
// the IPv6 side of that port is taken.
bool bindDualStack(int type, std::uint16_t port, const Configure& configure, DualStack& out,
                   SocketError* error);

// The addresses of `host` (a name or a numeric address) and `port`, in the
// resolver's order; numeric addresses skip the resolver. Failure gives an
// error in `domain` with the resolver's text.
std::vector<SocketAddress> resolve(const std::string& host, std::uint16_t port, int type,
                                   std::string_view domain, SocketError* error);

}  // namespace bw::sockets
