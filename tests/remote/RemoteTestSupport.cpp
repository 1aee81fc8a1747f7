#include "remote/RemoteTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"

namespace bw::test {
namespace {

bool canBind(int family, int type, std::uint16_t port) {
    FileDescriptor fd(::socket(family, type, 0));
    if (!fd.valid()) return family == AF_INET6;  // no IPv6 here: nothing to clash with
    int on = 1;
    // TCP ports linger in TIME_WAIT after a test; UDP ports are never shared.
    if (type == SOCK_STREAM) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

void ListeningServerTest::SetUp() {
    port_ = freePort();
    server_.setPort(port_);
    server_.setDelegate(&destination_);
    ASSERT_TRUE(server_.startListening());
}

FileDescriptor holdUdpPort(std::uint16_t port) {
    FileDescriptor holder(::socket(AF_INET, SOCK_DGRAM, 0));
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!holder.valid() ||
        ::setsockopt(holder.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return FileDescriptor();
    }
    return holder;
}

std::uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        FileDescriptor probe(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            continue;
        }
        const std::uint16_t port = ntohs(address.sin_port);
        probe.reset();
        if (canBind(AF_INET, SOCK_STREAM, port) && canBind(AF_INET, SOCK_DGRAM, port) &&
            canBind(AF_INET6, SOCK_STREAM, port) && canBind(AF_INET6, SOCK_DGRAM, port)) {
            return port;
        }
    }
    throw std::runtime_error("no free port");
}

int runCommand(const std::string& command) {
    std::atomic<bool> done = false;
    int status = -1;
    std::thread runner([&] {
        status = std::system(command.c_str());
        done = true;
    });
    MainQueue::shared().pumpUntil([&] { return done.load(); }, std::chrono::seconds(60));
    runner.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveProgram(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace bw::test
