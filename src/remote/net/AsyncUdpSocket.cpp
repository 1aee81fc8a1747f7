#include "remote/net/AsyncUdpSocket.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "remote/net/SocketCalls.h"
#include "remote/net/SocketDelegateLink.h"
#include "remote/net/SocketIOThread.h"

namespace bw {

namespace {

// Datagrams read per readiness event before the loop serves other sockets;
// they reach the delegate queue as one posted batch.
constexpr int kMaxDatagramsPerWake = 128;
// Room for bursts while the delegate queue is busy (the kernel caps it at
// net.core.rmem_max; failing to set it is not an error).
constexpr int kReceiveBufferBytes = 1 << 20;
SocketError udpMisuse(SocketErrorCode code, std::string text) {
    return SocketError::make(kAsyncUdpSocketErrorDomain, code, std::move(text));
}

// Asks the kernel to queue the errors of sent datagrams (ICMP reports
// above all) on `fd`'s error queue. Without it Linux drops them for an
// unconnected UDP socket.
bool setReceivesErrors(int fd, bool enable, SocketError* error) {
    int family = AF_UNSPEC;
    socklen_t length = sizeof family;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) {
        sockets::report(error, SocketError::posix(errno, "Error in getsockopt() function"));
        return false;
    }
    return family == AF_INET6
               ? sockets::setIntOption(fd, IPPROTO_IPV6, IPV6_RECVERR, enable ? 1 : 0, error)
               : sockets::setIntOption(fd, IPPROTO_IP, IP_RECVERR, enable ? 1 : 0, error);
}

}  // namespace

// The socket's state, shared between the public object and the work, handlers
// and posted callbacks that may outlive it (posted callbacks hold it weakly).
// Everything below `link` and `used` is I/O thread only.
class AsyncUdpSocket::Impl : public std::enable_shared_from_this<AsyncUdpSocket::Impl> {
public:
    using Link = SocketDelegateLink<AsyncUdpSocketDelegate, AsyncUdpSocket>;

    Link link;
    // Set before the first operation reaches the I/O thread: a socket that is
    // never used never touches it (and owns no operating-system socket).
    std::atomic<bool> used{false};

    // Runs `operation` on the I/O thread and returns its result.
    template <typename Operation>
    auto onIOThread(Operation&& operation) {
        used = true;
        decltype(operation()) result{};
        SocketIOThread::shared().sync([&] { result = operation(); });
        return result;
    }

    bool enableBroadcast(bool enable, SocketError* error);
    bool setReportsUnreachable(bool enable, SocketError* error);
    bool bind(std::uint16_t port, SocketError* error);
    bool beginReceiving(SocketError* error);
    void send(std::vector<std::uint8_t> data, const std::string& host, std::uint16_t port,
              double timeoutSeconds, long tag);
    void send(std::vector<std::uint8_t> data, const SocketAddress& to, double timeoutSeconds,
              long tag);
    void closeAfterSending();
    // Closes the sockets and drops queued datagrams; `notify` posts
    // udpSocketDidClose when there was something to close.
    void close(bool notify);

    bool isOpen() const { return v4_.fd.valid() || v6_.fd.valid(); }
    std::uint16_t localPort() const { return bound_ ? port_ : 0; }

private:
    struct Endpoint {
        FileDescriptor fd;
        bool waitingToWrite = false;
    };
    struct PendingSend {
        std::uint64_t id = 0;
        std::vector<std::uint8_t> data;
        SocketAddress to;
        long tag = 0;
        std::optional<SocketIOThread::TimerId> timer;
        // Sent again once after a failure that was an earlier datagram's.
        bool retried = false;
    };
    // Datagrams read in one wake: their bytes back to back.
    struct Received {
        struct Datagram {
            std::size_t offset = 0;
            std::size_t length = 0;
            SocketAddress from;
        };
        std::vector<std::uint8_t> bytes;
        std::vector<Datagram> datagrams;
    };

    bool configure(int fd, SocketError* error) const;
    bool adopt(Endpoint& endpoint, FileDescriptor fd, SocketError* error);
    void closeEndpoint(Endpoint& endpoint);
    void updateEvents(Endpoint& endpoint);
    void onEvents(Endpoint& endpoint, std::uint32_t events);
    void receive(Endpoint& endpoint);
    // Empties the endpoint's error queue, reporting each unreachable destination.
    void readErrorQueue(Endpoint& endpoint);
    // Queues a datagram to `to`, of a family that has an open endpoint.
    void enqueue(std::vector<std::uint8_t> data, const SocketAddress& to, double timeoutSeconds,
                 long tag);
    void processSends();
    void finishFront(std::optional<SocketError> error);
    void onSendTimeout(std::uint64_t id);
    void reportNotSent(long tag, SocketError error);
    Endpoint* endpointFor(int family);

    Endpoint v4_;
    Endpoint v6_;
    bool bound_ = false;
    bool receiving_ = false;
    bool broadcast_ = false;
    bool reportsUnreachable_ = false;
    bool closeAfterSending_ = false;
    std::uint16_t port_ = 0;
    std::deque<PendingSend> sends_;
    std::uint64_t nextSendId_ = 1;
    // Bumped by close(); datagrams read before a close are not delivered
    // after it. Read on the delegate queue.
    std::shared_ptr<std::atomic<std::uint64_t>> epoch_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
};

bool AsyncUdpSocket::Impl::configure(int fd, SocketError* error) const {
    if (broadcast_ && !sockets::setIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1, error)) {
        return false;
    }
    if (reportsUnreachable_ && !setReceivesErrors(fd, true, error)) {
        return false;
    }
    sockets::setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes, nullptr);
    return true;
}

bool AsyncUdpSocket::Impl::adopt(Endpoint& endpoint, FileDescriptor fd, SocketError* error) {
    closeEndpoint(endpoint);
    if (!fd.valid()) {
        return true;
    }
    Endpoint* target = &endpoint;
    const int added = SocketIOThread::shared().add(
        fd.get(), 0, [this, target](std::uint32_t events) { onEvents(*target, events); });
    if (added != 0) {
        sockets::report(error, SocketError::posix(added, "Error in epoll_ctl() function"));
        return false;
    }
    endpoint.fd = std::move(fd);
    return true;
}

void AsyncUdpSocket::Impl::closeEndpoint(Endpoint& endpoint) {
    if (endpoint.fd.valid()) {
        SocketIOThread::shared().remove(endpoint.fd.get());
        endpoint.fd.reset();
    }
    endpoint.waitingToWrite = false;
}

bool AsyncUdpSocket::Impl::enableBroadcast(bool enable, SocketError* error) {
    broadcast_ = enable;
    if (!isOpen()) {
        // Unbound sockets; bind() replaces them with bound ones, configured alike.
        FileDescriptor v4 = sockets::openSocket(AF_INET, SOCK_DGRAM, false, error);
        if (!v4.valid() || !configure(v4.get(), error) || !adopt(v4_, std::move(v4), error)) {
            return false;
        }
        SocketError v6Error;
        FileDescriptor v6 = sockets::openSocket(AF_INET6, SOCK_DGRAM, false, &v6Error);
        if (!v6.valid() && v6Error.code != EAFNOSUPPORT) {
            sockets::report(error, std::move(v6Error));
            close(false);
            return false;
        }
        if ((v6.valid() && !configure(v6.get(), error)) || !adopt(v6_, std::move(v6), error)) {
            close(false);
            return false;
        }
    }
    for (Endpoint* endpoint : {&v4_, &v6_}) {
        if (endpoint->fd.valid() && !sockets::setIntOption(endpoint->fd.get(), SOL_SOCKET,
                                                           SO_BROADCAST, enable ? 1 : 0, error)) {
            return false;
        }
    }
    return true;
}

bool AsyncUdpSocket::Impl::setReportsUnreachable(bool enable, SocketError* error) {
    reportsUnreachable_ = enable;
    for (Endpoint* endpoint : {&v4_, &v6_}) {
        if (endpoint->fd.valid() && !setReceivesErrors(endpoint->fd.get(), enable, error)) {
            return false;
        }
    }
    return true;
}

bool AsyncUdpSocket::Impl::bind(std::uint16_t port, SocketError* error) {
    if (bound_) {
        sockets::report(
            error, udpMisuse(SocketErrorCode::badConfig, "Cannot bind a socket more than once."));
        return false;
    }
    sockets::DualStack stack;
    const bool bound = sockets::bindDualStack(
        SOCK_DGRAM, port, [this](int fd, SocketError* failure) { return configure(fd, failure); },
        stack, error);
    if (!bound || !adopt(v4_, std::move(stack.v4), error) ||
        !adopt(v6_, std::move(stack.v6), error)) {
        // Nothing half-bound stays behind; the next operation starts afresh.
        close(false);
        return false;
    }
    bound_ = true;
    port_ = stack.port;
    if (receiving_) {
        updateEvents(v4_);
        updateEvents(v6_);
    }
    return true;
}

bool AsyncUdpSocket::Impl::beginReceiving(SocketError* error) {
    if (!bound_) {
        sockets::report(error, udpMisuse(SocketErrorCode::badConfig,
                                         "Must bind a socket before you can receive data."));
        return false;
    }
    receiving_ = true;
    updateEvents(v4_);
    updateEvents(v6_);
    return true;
}

void AsyncUdpSocket::Impl::updateEvents(Endpoint& endpoint) {
    if (!endpoint.fd.valid()) {
        return;
    }
    const std::uint32_t events =
        (receiving_ ? EPOLLIN : 0u) | (endpoint.waitingToWrite ? EPOLLOUT : 0u);
    SocketIOThread::shared().modify(endpoint.fd.get(), events);
}

void AsyncUdpSocket::Impl::onEvents(Endpoint& endpoint, std::uint32_t events) {
    if ((events & EPOLLERR) != 0 && reportsUnreachable_) {
        // First, so that a report comes before the datagrams read after it.
        readErrorQueue(endpoint);
    } else if ((events & EPOLLERR) != 0) {
        // Reading the pending error clears it, so that it does not fire again.
        int pending = 0;
        socklen_t length = sizeof pending;
        ::getsockopt(endpoint.fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length);
    }
    if ((events & EPOLLIN) != 0 && receiving_) {
        receive(endpoint);
    }
    if ((events & EPOLLOUT) != 0 && endpoint.waitingToWrite) {
        endpoint.waitingToWrite = false;
        updateEvents(endpoint);
        processSends();
    }
}

void AsyncUdpSocket::Impl::receive(Endpoint& endpoint) {
    // One buffer for every socket: only the I/O thread reads.
    thread_local std::array<std::uint8_t, kMaxDatagramBytes> buffer;
    Received received;
    for (int i = 0; i < kMaxDatagramsPerWake; ++i) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        // Without MSG_TRUNC a longer datagram fills the buffer and its rest is dropped.
        const ssize_t count = ::recvfrom(endpoint.fd.get(), buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            continue;  // an error report from an earlier send; the next read goes on
        }
        received.datagrams.push_back(
            {received.bytes.size(), static_cast<std::size_t>(count),
             SocketAddress(reinterpret_cast<sockaddr*>(&from), fromLength)});
        received.bytes.insert(received.bytes.end(), buffer.begin(), buffer.begin() + count);
    }
    if (received.datagrams.empty()) {
        return;
    }
    link.postRaw(weak_from_this(), [received = std::move(received), epoch = epoch_,
                                    readIn = epoch_->load()](Link& target, MainQueue* queue) {
        for (const Received::Datagram& datagram : received.datagrams) {
            if (epoch->load() != readIn) {
                return;  // closed since these were read
            }
            const std::span<const std::uint8_t> data(received.bytes.data() + datagram.offset,
                                                     datagram.length);
            const bool delivered =
                target.deliver(queue, [&](AsyncUdpSocketDelegate& delegate, AsyncUdpSocket& owner) {
                    delegate.udpSocketDidReceiveData(owner, data, datagram.from);
                });
            if (!delivered) {
                return;
            }
        }
    });
}

void AsyncUdpSocket::Impl::readErrorQueue(Endpoint& endpoint) {
    // The kernel caps the queue at the receive buffer, so this ends. Taking
    // the last entry clears the socket's pending error as well.
    for (;;) {
        sockaddr_storage destination{};
        // The start of the datagram comes back too; it is not needed.
        std::array<std::uint8_t, 64> payload;
        iovec part{payload.data(), payload.size()};
        alignas(cmsghdr) std::array<std::uint8_t, 512> control;
        msghdr message{};
        message.msg_name = &destination;
        message.msg_namelen = sizeof destination;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (::recvmsg(endpoint.fd.get(), &message, MSG_ERRQUEUE) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // EAGAIN: empty
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            const bool isError =
                (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_RECVERR) ||
                (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_RECVERR);
            if (!isError) {
                continue;
            }
            sock_extended_err extended{};
            std::memcpy(&extended, CMSG_DATA(header), sizeof extended);
            // Local errors (a full buffer) and path MTU reports (EMSGSIZE:
            // the destination is there, the datagram too long for the way)
            // say nothing about whether the destination listens.
            const bool fromNetwork =
                extended.ee_origin == SO_EE_ORIGIN_ICMP || extended.ee_origin == SO_EE_ORIGIN_ICMP6;
            if (!fromNetwork || extended.ee_errno == EMSGSIZE) {
                continue;
            }
            link.post(weak_from_this(),
                      [to = SocketAddress(reinterpret_cast<const sockaddr*>(&destination),
                                          message.msg_namelen),
                       error = SocketError::posix(static_cast<int>(extended.ee_errno),
                                                  "Destination unreachable")](
                          AsyncUdpSocketDelegate& delegate, AsyncUdpSocket& owner) {
                          delegate.udpSocketDestinationUnreachable(owner, to, error);
                      });
        }
    }
}

AsyncUdpSocket::Impl::Endpoint* AsyncUdpSocket::Impl::endpointFor(int family) {
    Endpoint* endpoint = family == AF_INET6 ? &v6_ : &v4_;
    return endpoint->fd.valid() ? endpoint : nullptr;
}

void AsyncUdpSocket::Impl::send(std::vector<std::uint8_t> data, const std::string& host,
                                std::uint16_t port, double timeoutSeconds, long tag) {
    SocketError error;
    if (!bound_ && !bind(0, &error)) {
        reportNotSent(tag, std::move(error));
        return;
    }
    const std::vector<SocketAddress> addresses =
        sockets::resolve(host, port, SOCK_DGRAM, kAsyncUdpSocketErrorDomain, &error);
    if (addresses.empty()) {
        reportNotSent(tag, std::move(error));
        return;
    }
    // A name with both kinds of address goes to its IPv4 one: a datagram to an
    // address nobody listens on is lost without a trace, and receivers bound
    // to IPv4 only are the common case ("localhost" lists ::1 first).
    auto usable = std::find_if(addresses.begin(), addresses.end(), [this](const auto& a) {
        return a.family() == AF_INET && endpointFor(AF_INET) != nullptr;
    });
    if (usable == addresses.end()) {
        usable = std::find_if(addresses.begin(), addresses.end(),
                              [this](const auto& a) { return endpointFor(a.family()) != nullptr; });
    }
    if (usable == addresses.end()) {
        reportNotSent(tag, udpMisuse(SocketErrorCode::badParam,
                                     "No socket of the host's address family is available."));
        return;
    }
    enqueue(std::move(data), *usable, timeoutSeconds, tag);
}

void AsyncUdpSocket::Impl::send(std::vector<std::uint8_t> data, const SocketAddress& to,
                                double timeoutSeconds, long tag) {
    SocketError error;
    if (!bound_ && !bind(0, &error)) {
        reportNotSent(tag, std::move(error));
        return;
    }
    if (to.family() != AF_INET && to.family() != AF_INET6) {
        reportNotSent(tag, udpMisuse(SocketErrorCode::badParam, "Invalid address parameter"));
        return;
    }
    if (endpointFor(to.family()) == nullptr) {
        reportNotSent(tag, udpMisuse(SocketErrorCode::badParam,
                                     "No socket of the address's family is available."));
        return;
    }
    enqueue(std::move(data), to, timeoutSeconds, tag);
}

void AsyncUdpSocket::Impl::enqueue(std::vector<std::uint8_t> data, const SocketAddress& to,
                                   double timeoutSeconds, long tag) {
    PendingSend pending;
    pending.id = nextSendId_++;
    pending.data = std::move(data);
    pending.to = to;
    pending.tag = tag;
    if (timeoutSeconds >= 0) {
        pending.timer =
            SocketIOThread::shared().addTimer(SocketIOThread::durationOf(timeoutSeconds),
                                              [this, id = pending.id] { onSendTimeout(id); });
    }
    sends_.push_back(std::move(pending));
    processSends();
}

void AsyncUdpSocket::Impl::processSends() {
    while (!sends_.empty()) {
        PendingSend& front = sends_.front();
        Endpoint* endpoint = endpointFor(front.to.family());
        if (endpoint == nullptr) {
            finishFront(udpMisuse(SocketErrorCode::closed, "Socket is closed."));
            continue;
        }
        if (endpoint->waitingToWrite) {
            return;
        }
        const ssize_t sent = ::sendto(endpoint->fd.get(), front.data.data(), front.data.size(),
                                      MSG_NOSIGNAL, front.to.get(), front.to.length());
        if (sent >= 0) {
            finishFront(std::nullopt);
            continue;
        }
        const int sendError = errno;
        if (sendError == EINTR) {
            continue;
        }
        if (sendError == EAGAIN || sendError == EWOULDBLOCK || sendError == ENOBUFS) {
            endpoint->waitingToWrite = true;
            updateEvents(*endpoint);
            return;
        }
        // With errors queued, the kernel also hands an earlier datagram's
        // ICMP report to the next send, which then fails without going out:
        // that datagram goes again (its report stays on the error queue).
        const bool earlierReport = sendError == ECONNREFUSED || sendError == EHOSTUNREACH ||
                                   sendError == EHOSTDOWN || sendError == ENETUNREACH;
        if (reportsUnreachable_ && earlierReport && !front.retried) {
            front.retried = true;
            continue;
        }
        finishFront(SocketError::posix(sendError, "Error in sendto() function"));
    }
    if (closeAfterSending_) {
        close(true);
    }
}

void AsyncUdpSocket::Impl::finishFront(std::optional<SocketError> error) {
    PendingSend done = std::move(sends_.front());
    sends_.pop_front();
    if (done.timer) {
        SocketIOThread::shared().cancelTimer(*done.timer);
    }
    if (error) {
        reportNotSent(done.tag, std::move(*error));
        return;
    }
    link.post(weak_from_this(),
              [tag = done.tag](AsyncUdpSocketDelegate& delegate, AsyncUdpSocket& owner) {
                  delegate.udpSocketDidSendData(owner, tag);
              });
}

void AsyncUdpSocket::Impl::onSendTimeout(std::uint64_t id) {
    const auto found = std::find_if(sends_.begin(), sends_.end(),
                                    [id](const PendingSend& pending) { return pending.id == id; });
    if (found == sends_.end()) {
        return;
    }
    const long tag = found->tag;
    sends_.erase(found);
    reportNotSent(tag, udpMisuse(SocketErrorCode::timeout, "Send operation timed out."));
    if (sends_.empty() && closeAfterSending_) {
        close(true);
    }
}

void AsyncUdpSocket::Impl::reportNotSent(long tag, SocketError error) {
    link.post(weak_from_this(), [tag, error = std::move(error)](AsyncUdpSocketDelegate& delegate,
                                                                AsyncUdpSocket& owner) {
        delegate.udpSocketDidNotSendData(owner, tag, error);
    });
}

void AsyncUdpSocket::Impl::closeAfterSending() {
    if (sends_.empty()) {
        close(true);
        return;
    }
    closeAfterSending_ = true;
}

void AsyncUdpSocket::Impl::close(bool notify) {
    ++*epoch_;
    for (const PendingSend& pending : sends_) {
        if (pending.timer) {
            SocketIOThread::shared().cancelTimer(*pending.timer);
        }
    }
    sends_.clear();
    const bool wasOpen = isOpen();
    closeEndpoint(v4_);
    closeEndpoint(v6_);
    bound_ = false;
    receiving_ = false;
    closeAfterSending_ = false;
    port_ = 0;
    if (notify && wasOpen) {
        link.post(weak_from_this(), [](AsyncUdpSocketDelegate& delegate, AsyncUdpSocket& owner) {
            delegate.udpSocketDidClose(owner);
        });
    }
}

AsyncUdpSocket::AsyncUdpSocket() : impl_(std::make_shared<Impl>()) {
    impl_->link.setOwner(this);
}

AsyncUdpSocket::AsyncUdpSocket(AsyncUdpSocketDelegate* delegate, MainQueue& delegateQueue)
    : AsyncUdpSocket() {
    impl_->link.set(delegate, &delegateQueue);
}

AsyncUdpSocket::~AsyncUdpSocket() {
    impl_->link.detach();
    if (impl_->used) {
        SocketIOThread::shared().sync([impl = impl_.get()] { impl->close(false); });
    }
}

void AsyncUdpSocket::setDelegate(AsyncUdpSocketDelegate* delegate, MainQueue& delegateQueue) {
    impl_->link.set(delegate, &delegateQueue);
}

void AsyncUdpSocket::clearDelegate() {
    impl_->link.setDelegate(nullptr);
}

bool AsyncUdpSocket::enableBroadcast(bool enable, SocketError* error) {
    return impl_->onIOThread([&] { return impl_->enableBroadcast(enable, error); });
}

bool AsyncUdpSocket::bindToPort(std::uint16_t port, SocketError* error) {
    return impl_->onIOThread([&] { return impl_->bind(port, error); });
}

bool AsyncUdpSocket::beginReceiving(SocketError* error) {
    return impl_->onIOThread([&] { return impl_->beginReceiving(error); });
}

void AsyncUdpSocket::sendData(std::vector<std::uint8_t> data, const std::string& host,
                              std::uint16_t port, double timeoutSeconds, long tag) {
    impl_->used = true;
    SocketIOThread::shared().run(
        [impl = impl_, data = std::move(data), host, port, timeoutSeconds, tag]() mutable {
            impl->send(std::move(data), host, port, timeoutSeconds, tag);
        });
}

void AsyncUdpSocket::sendData(std::vector<std::uint8_t> data, const SocketAddress& to,
                              double timeoutSeconds, long tag) {
    impl_->used = true;
    SocketIOThread::shared().run(
        [impl = impl_, data = std::move(data), to, timeoutSeconds, tag]() mutable {
            impl->send(std::move(data), to, timeoutSeconds, tag);
        });
}

bool AsyncUdpSocket::setReportsUnreachable(bool enable, SocketError* error) {
    return impl_->onIOThread([&] { return impl_->setReportsUnreachable(enable, error); });
}

void AsyncUdpSocket::closeAfterSending() {
    impl_->used = true;
    SocketIOThread::shared().run([impl = impl_] { impl->closeAfterSending(); });
}

void AsyncUdpSocket::close() {
    if (impl_->used) {
        SocketIOThread::shared().sync([impl = impl_.get()] { impl->close(true); });
    }
}

bool AsyncUdpSocket::isClosed() const {
    return !impl_->used || !impl_->onIOThread([impl = impl_.get()] { return impl->isOpen(); });
}

std::uint16_t AsyncUdpSocket::localPort() const {
    return impl_->used ? impl_->onIOThread([impl = impl_.get()] { return impl->localPort(); }) : 0;
}

}  // namespace bw
