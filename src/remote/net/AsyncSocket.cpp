#include "remote/net/AsyncSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <utility>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/net/SocketCalls.h"
#include "remote/net/SocketDelegateLink.h"
#include "remote/net/SocketIOThread.h"

namespace bw {

namespace {

constexpr int kListenBacklog = 64;
// Bytes one read delivers at most.
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Accepts and reads per readiness event before the loop serves other sockets.
constexpr int kMaxAcceptsPerWake = 64;
constexpr int kMaxReadsPerWake = 16;
// How long a listener rests when the process is out of descriptors.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// Keepalive on accepted connections: a peer silent for 30 s is probed every
// 10 s, and after 3 unanswered probes the connection fails, so a controller
// that vanished without closing (power cut, cable pulled) frees its place.
constexpr int kKeepAliveIdleSeconds = 30;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;
SocketIOThread& io() {
    return SocketIOThread::shared();
}

SocketError misuse(SocketErrorCode code, std::string text) {
    return SocketError::make(kAsyncSocketErrorDomain, code, std::move(text));
}

// Whether the peer of a just accepted connection has closed already.
bool peerHasClosed(int fd) {
    pollfd poll{fd, POLLRDHUP, 0};
    return ::poll(&poll, 1, 0) == 1 && (poll.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void enableKeepAlive(int fd) {
    // Best effort: a connection without probes still works.
    sockets::setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, nullptr);
    sockets::setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds, nullptr);
    sockets::setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds, nullptr);
    sockets::setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes, nullptr);
}

int pendingError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

// The socket's state, shared between the public object and the work, handlers
// and posted callbacks that may outlive it (posted callbacks hold it weakly;
// an accepted connection is held strongly until it is handed over). Everything
// below `link`, `used`, `queuedWriteBytes` and `holdsDescriptors_` is I/O
// thread only.
class AsyncSocket::Impl : public std::enable_shared_from_this<AsyncSocket::Impl> {
public:
    using Link = SocketDelegateLink<AsyncSocketDelegate, AsyncSocket>;

    Link link;
    // Set before the first operation reaches the I/O thread.
    std::atomic<bool> used{false};
    // Added to by writeData on the caller's thread before the write is posted,
    // taken from on the I/O thread as bytes go to the kernel or are dropped.
    std::atomic<std::size_t> queuedWriteBytes{0};

    Impl() = default;
    // Closes quietly what is still open: an accepted connection that was
    // never handed over ends here.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    template <typename Operation>
    auto onIOThread(Operation&& operation) {
        used = true;
        decltype(operation()) result{};
        io().sync([&] { result = operation(); });
        return result;
    }

    bool acceptOnPort(std::uint16_t port, SocketError* error);
    void setConnectionLimit(std::size_t limit) { connectionLimit_ = limit; }
    bool connectToHost(const std::string& host, std::uint16_t port, SocketError* error);
    void read(double timeoutSeconds, long tag);
    void write(std::vector<std::uint8_t> data, double timeoutSeconds, long tag);
    void disconnectAfterWriting();
    // Closes everything at once; `notify` posts socketDidDisconnect(error)
    // when the socket was listening, connecting or connected.
    void close(std::optional<SocketError> error, bool notify);

    bool isConnected() const { return state_ == State::connected; }
    std::string connectedHost() const { return isConnected() ? peer_.host() : std::string(); }
    std::uint16_t connectedPort() const { return isConnected() ? peer_.port() : 0; }
    std::uint16_t localPort() const { return localPort_; }

private:
    enum class State { idle, listening, connecting, connected };

    // A listener's accepted connections that count against its limit. Shared
    // with them, since they may outlive it.
    struct OpenConnections {
        std::size_t count = 0;
    };

    struct Operation {
        std::uint64_t id = 0;
        long tag = 0;
        double timeoutSeconds = -1;
        bool started = false;
        SocketIOThread::Clock::time_point startedAt;
        std::optional<SocketIOThread::TimerId> timer;
        std::vector<std::uint8_t> data;  // writes only
        std::size_t done = 0;            // bytes written so far
    };

    // Registers the connection with the I/O thread; 0 or the errno.
    int watchConnection(FileDescriptor fd);
    void adoptAccepted(FileDescriptor fd, const SocketAddress& peer,
                       std::shared_ptr<OpenConnections> countIn);
    // An accepted connection stops counting against its listener's limit.
    void stopCounting();
    void acceptConnections(int listener);
    void pauseListeners();
    void tryNextAddress();
    void finishConnect();
    void onConnectionEvents(std::uint32_t events);
    void readAvailable(std::uint32_t events);
    void writePending();
    void endOfStream();
    void startFront(std::deque<Operation>& operations, bool isRead);
    void onTimeout(bool isRead, std::uint64_t id);
    void onTimeoutAnswer(bool isRead, std::uint64_t id, double extensionSeconds);
    void cancelTimers(std::deque<Operation>& operations);
    void updateEvents();
    void closeDescriptor(FileDescriptor& fd);

    // Written on the I/O thread; read by the destructor on any thread.
    std::atomic<bool> holdsDescriptors_{false};

    State state_ = State::idle;
    FileDescriptor listener4_;
    FileDescriptor listener6_;
    std::optional<SocketIOThread::TimerId> listenerResume_;
    // Listener: accept() fails for want of resources (logged once until it
    // works again); the limit (0: none) and the connections it counts.
    bool acceptFailing_ = false;
    std::size_t connectionLimit_ = 0;
    std::shared_ptr<OpenConnections> openConnections_ = std::make_shared<OpenConnections>();
    // Accepted connection: its listener's count, while it counts there (from
    // acceptance until it closes or its peer is seen closing).
    std::shared_ptr<OpenConnections> countedIn_;
    FileDescriptor connection_;
    std::vector<SocketAddress> connectAddresses_;
    std::size_t nextAddress_ = 0;
    std::optional<SocketError> connectError_;
    SocketAddress peer_;
    std::uint16_t localPort_ = 0;
    std::deque<Operation> reads_;
    std::deque<Operation> writes_;
    std::uint64_t nextOperationId_ = 1;
    bool disconnectAfterWriting_ = false;
    // Bytes wait in the kernel with no read queued: stop watching for the
    // peer's close until a read takes them.
    bool unreadData_ = false;
};

AsyncSocket::Impl::~Impl() {
    if (holdsDescriptors_) {
        io().sync([this] { close(std::nullopt, false); });
    }
}

void AsyncSocket::Impl::closeDescriptor(FileDescriptor& fd) {
    if (fd.valid()) {
        io().remove(fd.get());
        fd.reset();
    }
}

bool AsyncSocket::Impl::acceptOnPort(std::uint16_t port, SocketError* error) {
    if (state_ != State::idle) {
        sockets::report(error, misuse(SocketErrorCode::badConfig,
                                      "Attempting to accept while connected or accepting "
                                      "connections. Disconnect first."));
        return false;
    }
    sockets::DualStack stack;
    if (!sockets::bindDualStack(SOCK_STREAM, port, {}, stack, error)) {
        return false;
    }
    for (FileDescriptor* listener : {&stack.v4, &stack.v6}) {
        if (listener->valid() && ::listen(listener->get(), kListenBacklog) != 0) {
            sockets::report(error, SocketError::posix(errno, "Error in listen() function"));
            return false;
        }
    }
    for (FileDescriptor* listener : {&stack.v4, &stack.v6}) {
        if (!listener->valid()) {
            continue;
        }
        const int fd = listener->get();
        const int added =
            io().add(fd, EPOLLIN, [this, fd](std::uint32_t) { acceptConnections(fd); });
        if (added != 0) {
            closeDescriptor(listener4_);
            sockets::report(error, SocketError::posix(added, "Error in epoll_ctl() function"));
            return false;
        }
        (listener == &stack.v4 ? listener4_ : listener6_) = std::move(*listener);
    }
    holdsDescriptors_ = true;
    state_ = State::listening;
    localPort_ = stack.port;
    return true;
}

void AsyncSocket::Impl::acceptConnections(int listener) {
    for (int i = 0; i < kMaxAcceptsPerWake && state_ == State::listening; ++i) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        FileDescriptor accepted(::accept4(listener, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                          SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.valid()) {
            const int acceptError = errno;
            if (acceptError == EAGAIN || acceptError == EWOULDBLOCK) {
                return;
            }
            if (acceptError == EMFILE || acceptError == ENFILE || acceptError == ENOBUFS ||
                acceptError == ENOMEM) {
                // The connection stays queued and would wake the loop at once
                // again; one line says so, not one per retry.
                if (!acceptFailing_) {
                    acceptFailing_ = true;
                    SystemLog::shared().log("AsyncSocket: accept() failed: " +
                                            SocketError::posix(acceptError, {}).description +
                                            "; connections wait until it works again");
                }
                pauseListeners();
                return;
            }
            continue;  // the peer gave up already (ECONNABORTED and the like)
        }
        if (acceptFailing_) {
            acceptFailing_ = false;
            SystemLog::shared().log("AsyncSocket: accept() works again");
        }
        const SocketAddress peer(reinterpret_cast<sockaddr*>(&from), fromLength);
        // A peer that has closed already (connect, send, close) takes no place.
        const bool counts = !peerHasClosed(accepted.get());
        if (counts && connectionLimit_ != 0 && openConnections_->count >= connectionLimit_) {
            accepted.reset();
            link.post(weak_from_this(),
                      [host = peer.host()](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
                          delegate.socketDidRefuseConnection(owner, host);
                      });
            continue;
        }
        auto child = std::make_shared<Impl>();
        child->used = true;
        // The queue is fixed now, so that the new socket's own events queue up
        // behind its hand-over.
        const auto [delegate, queue] = link.delegateAndQueue();
        child->link.set(delegate, queue);
        child->adoptAccepted(std::move(accepted), peer, counts ? openConnections_ : nullptr);
        link.postRaw(weak_from_this(), [child](Link& target, MainQueue* postedTo) mutable {
            std::unique_ptr<AsyncSocket> socket(new AsyncSocket(std::move(child)));
            // Not handed over (no delegate any more): it closes when `socket` dies.
            target.deliver(
                postedTo, [&](AsyncSocketDelegate& listenerDelegate, AsyncSocket& listenerSocket) {
                    socket->impl_->link.setDelegate(&listenerDelegate);
                    listenerDelegate.socketDidAcceptNewSocket(listenerSocket, std::move(socket));
                });
        });
    }
}

void AsyncSocket::Impl::pauseListeners() {
    for (FileDescriptor* listener : {&listener4_, &listener6_}) {
        if (listener->valid()) io().modify(listener->get(), 0);
    }
    listenerResume_ = io().addTimer(kAcceptBackoff, [this] {
        listenerResume_.reset();
        for (FileDescriptor* listener : {&listener4_, &listener6_}) {
            if (listener->valid()) io().modify(listener->get(), EPOLLIN);
        }
    });
}

int AsyncSocket::Impl::watchConnection(FileDescriptor fd) {
    const int added =
        io().add(fd.get(), 0, [this](std::uint32_t events) { onConnectionEvents(events); });
    if (added == 0) {
        connection_ = std::move(fd);
        holdsDescriptors_ = true;
    }
    return added;
}

void AsyncSocket::Impl::adoptAccepted(FileDescriptor fd, const SocketAddress& peer,
                                      std::shared_ptr<OpenConnections> countIn) {
    enableKeepAlive(fd.get());
    if (watchConnection(std::move(fd)) != 0) {
        return;  // dropped: the hand-over finds a closed socket
    }
    state_ = State::connected;
    peer_ = peer;
    localPort_ = sockets::localAddress(connection_.get()).port();
    if (countIn) {
        ++countIn->count;
        countedIn_ = std::move(countIn);
    }
    updateEvents();
}

void AsyncSocket::Impl::stopCounting() {
    if (countedIn_) {
        --countedIn_->count;
        countedIn_.reset();
    }
}

bool AsyncSocket::Impl::connectToHost(const std::string& host, std::uint16_t port,
                                      SocketError* error) {
    if (state_ != State::idle) {
        sockets::report(error, misuse(SocketErrorCode::badConfig,
                                      "Attempting to connect while connected or accepting "
                                      "connections. Disconnect first."));
        return false;
    }
    std::vector<SocketAddress> addresses =
        sockets::resolve(host, port, SOCK_STREAM, kAsyncSocketErrorDomain, error);
    if (addresses.empty()) {
        return false;
    }
    connectAddresses_ = std::move(addresses);
    nextAddress_ = 0;
    connectError_.reset();
    state_ = State::connecting;
    tryNextAddress();
    return true;
}

void AsyncSocket::Impl::tryNextAddress() {
    while (nextAddress_ < connectAddresses_.size()) {
        const SocketAddress address = connectAddresses_[nextAddress_++];
        SocketError error;
        FileDescriptor fd = sockets::openSocket(address.family(), SOCK_STREAM, false, &error);
        if (!fd.valid()) {
            connectError_ = std::move(error);
            continue;
        }
        if (::connect(fd.get(), address.get(), address.length()) != 0 && errno != EINPROGRESS) {
            connectError_ = SocketError::posix(errno, "Error in connect() function");
            continue;
        }
        // Connected or under way: writability says which, with SO_ERROR.
        if (const int added = watchConnection(std::move(fd)); added != 0) {
            connectError_ = SocketError::posix(added, "Error in epoll_ctl() function");
            continue;
        }
        updateEvents();
        return;
    }
    close(connectError_ ? connectError_
                        : misuse(SocketErrorCode::badParam, "No address to connect to."),
          true);
}

void AsyncSocket::Impl::finishConnect() {
    const int error = pendingError(connection_.get());
    if (error != 0) {
        closeDescriptor(connection_);
        connectError_ = SocketError::posix(error, "Error in connect() function");
        tryNextAddress();
        return;
    }
    state_ = State::connected;
    connectAddresses_.clear();
    connectError_.reset();
    peer_ = sockets::peerAddress(connection_.get());
    localPort_ = sockets::localAddress(connection_.get()).port();
    link.post(weak_from_this(), [host = peer_.host(), port = peer_.port()](
                                    AsyncSocketDelegate& delegate, AsyncSocket& owner) {
        delegate.socketDidConnectToHost(owner, host, port);
    });
    startFront(reads_, true);
    writePending();  // writes queued while connecting; may disconnect after them
    if (state_ == State::connected) updateEvents();
}

void AsyncSocket::Impl::onConnectionEvents(std::uint32_t events) {
    if (state_ == State::connecting) {
        finishConnect();
        return;
    }
    if (state_ != State::connected) {
        return;
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        // The peer is gone, though its last bytes may still wait for a read.
        stopCounting();
    }
    if ((events & EPOLLERR) != 0) {
        const int error = pendingError(connection_.get());
        if (error != 0) {
            close(SocketError::posix(error, "Error reported by the connection"), true);
            return;
        }
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) {
        readAvailable(events);
    }
    if (state_ == State::connected && (events & EPOLLOUT) != 0) {
        writePending();
    }
    if (state_ == State::connected) {
        updateEvents();
    }
}

void AsyncSocket::Impl::readAvailable(std::uint32_t events) {
    thread_local std::array<std::uint8_t, kReadChunkBytes> buffer;
    for (int i = 0; i < kMaxReadsPerWake && !reads_.empty() && state_ == State::connected; ++i) {
        const ssize_t count = ::recv(connection_.get(), buffer.data(), buffer.size(), 0);
        if (count > 0) {
            Operation done = std::move(reads_.front());
            reads_.pop_front();
            if (done.timer) io().cancelTimer(*done.timer);
            link.post(weak_from_this(),
                      [data = std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + count),
                       tag = done.tag](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
                          delegate.socketDidReadData(owner, data, tag);
                      });
            startFront(reads_, true);
            continue;
        }
        if (count == 0) {
            endOfStream();
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        close(SocketError::posix(errno, "Error in recv() function"), true);
        return;
    }
    if (!reads_.empty() || state_ != State::connected || (events & (EPOLLRDHUP | EPOLLHUP)) == 0) {
        return;
    }
    // The peer closed while no read is queued: end now unless bytes are still
    // waiting for a read.
    std::uint8_t byte = 0;
    const ssize_t count = ::recv(connection_.get(), &byte, 1, MSG_PEEK);
    if (count == 0) {
        endOfStream();
    } else if (count > 0) {
        if ((events & EPOLLHUP) != 0) {
            // Closed both ways: nothing can wait for a read that may never come.
            close(std::nullopt, true);
            return;
        }
        unreadData_ = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        close(SocketError::posix(errno, "Error in recv() function"), true);
    }
}

void AsyncSocket::Impl::endOfStream() {
    link.post(weak_from_this(), [](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
        delegate.socketDidCloseReadStream(owner);
    });
    close(std::nullopt, true);
}

void AsyncSocket::Impl::writePending() {
    while (!writes_.empty() && state_ == State::connected) {
        startFront(writes_, false);
        Operation& front = writes_.front();
        if (front.done < front.data.size()) {
            const ssize_t count = ::send(connection_.get(), front.data.data() + front.done,
                                         front.data.size() - front.done, MSG_NOSIGNAL);
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return;  // the rest goes once the socket is writable again
                }
                close(SocketError::posix(errno, "Error in send() function"), true);
                return;
            }
            front.done += static_cast<std::size_t>(count);
            queuedWriteBytes -= static_cast<std::size_t>(count);
            continue;
        }
        Operation done = std::move(front);
        writes_.pop_front();
        if (done.timer) io().cancelTimer(*done.timer);
        link.post(weak_from_this(),
                  [tag = done.tag](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
                      delegate.socketDidWriteData(owner, tag);
                  });
    }
    if (writes_.empty() && disconnectAfterWriting_ && state_ == State::connected) {
        close(std::nullopt, true);
    }
}

void AsyncSocket::Impl::startFront(std::deque<Operation>& operations, bool isRead) {
    if (operations.empty() || operations.front().started || state_ != State::connected) {
        return;
    }
    Operation& front = operations.front();
    front.started = true;
    front.startedAt = SocketIOThread::Clock::now();
    if (front.timeoutSeconds >= 0) {
        front.timer = io().addTimer(SocketIOThread::durationOf(front.timeoutSeconds),
                                    [this, isRead, id = front.id] { onTimeout(isRead, id); });
    }
}

void AsyncSocket::Impl::onTimeout(bool isRead, std::uint64_t id) {
    std::deque<Operation>& operations = isRead ? reads_ : writes_;
    if (operations.empty() || operations.front().id != id) {
        return;
    }
    Operation& front = operations.front();
    front.timer.reset();
    const double elapsed =
        std::chrono::duration<double>(SocketIOThread::Clock::now() - front.startedAt).count();
    // The delegate answers on its own queue; the answer comes back as work
    // here, so this thread never waits for it.
    link.postRaw(weak_from_this(), [self = weak_from_this(), isRead, id, tag = front.tag, elapsed,
                                    done = front.done](Link& target, MainQueue* queue) {
        double extension = 0;
        target.deliver(queue, [&](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
            extension = isRead ? delegate.socketShouldTimeoutRead(owner, tag, elapsed, done)
                               : delegate.socketShouldTimeoutWrite(owner, tag, elapsed, done);
        });
        io().run([self, isRead, id, extension] {
            if (const auto impl = self.lock()) impl->onTimeoutAnswer(isRead, id, extension);
        });
    });
}

void AsyncSocket::Impl::onTimeoutAnswer(bool isRead, std::uint64_t id, double extensionSeconds) {
    std::deque<Operation>& operations = isRead ? reads_ : writes_;
    if (operations.empty() || operations.front().id != id || state_ != State::connected) {
        return;  // finished while the delegate was asked
    }
    if (extensionSeconds > 0) {
        operations.front().timer = io().addTimer(SocketIOThread::durationOf(extensionSeconds),
                                                 [this, isRead, id] { onTimeout(isRead, id); });
        return;
    }
    close(misuse(SocketErrorCode::timeout,
                 isRead ? "Read operation timed out" : "Write operation timed out"),
          true);
}

void AsyncSocket::Impl::cancelTimers(std::deque<Operation>& operations) {
    for (const Operation& operation : operations) {
        if (operation.timer) io().cancelTimer(*operation.timer);
    }
}

void AsyncSocket::Impl::updateEvents() {
    if (!connection_.valid()) {
        return;
    }
    std::uint32_t events = 0;
    if (state_ == State::connecting) {
        events = EPOLLOUT;
    } else if (state_ == State::connected) {
        if (!reads_.empty()) {
            events |= EPOLLIN | EPOLLRDHUP;
        } else if (!unreadData_) {
            events |= EPOLLRDHUP;  // notice the peer's close without taking bytes
        }
        if (!writes_.empty()) {
            events |= EPOLLOUT;
        }
    }
    io().modify(connection_.get(), events);
}

void AsyncSocket::Impl::read(double timeoutSeconds, long tag) {
    if ((state_ != State::connected && state_ != State::connecting) || disconnectAfterWriting_) {
        return;
    }
    Operation operation;
    operation.id = nextOperationId_++;
    operation.tag = tag;
    operation.timeoutSeconds = timeoutSeconds;
    reads_.push_back(std::move(operation));
    unreadData_ = false;
    startFront(reads_, true);
    updateEvents();
}

void AsyncSocket::Impl::write(std::vector<std::uint8_t> data, double timeoutSeconds, long tag) {
    if ((state_ != State::connected && state_ != State::connecting) || disconnectAfterWriting_) {
        queuedWriteBytes -= data.size();
        return;
    }
    Operation operation;
    operation.id = nextOperationId_++;
    operation.tag = tag;
    operation.timeoutSeconds = timeoutSeconds;
    operation.data = std::move(data);
    writes_.push_back(std::move(operation));
    writePending();
    if (state_ == State::connected) updateEvents();
}

void AsyncSocket::Impl::disconnectAfterWriting() {
    if (state_ == State::idle) {
        return;
    }
    if (state_ == State::listening || (state_ == State::connected && writes_.empty())) {
        close(std::nullopt, true);
        return;
    }
    disconnectAfterWriting_ = true;
    cancelTimers(reads_);
    reads_.clear();
    updateEvents();
}

void AsyncSocket::Impl::close(std::optional<SocketError> error, bool notify) {
    const bool wasActive = state_ != State::idle;
    cancelTimers(reads_);
    cancelTimers(writes_);
    for (const Operation& write : writes_) {
        queuedWriteBytes -= write.data.size() - write.done;
    }
    reads_.clear();
    writes_.clear();
    if (listenerResume_) {
        io().cancelTimer(*listenerResume_);
        listenerResume_.reset();
    }
    closeDescriptor(listener4_);
    closeDescriptor(listener6_);
    closeDescriptor(connection_);
    stopCounting();
    acceptFailing_ = false;
    holdsDescriptors_ = false;
    state_ = State::idle;
    connectAddresses_.clear();
    connectError_.reset();
    peer_ = SocketAddress();
    localPort_ = 0;
    disconnectAfterWriting_ = false;
    unreadData_ = false;
    if (notify && wasActive) {
        link.post(weak_from_this(),
                  [error = std::move(error)](AsyncSocketDelegate& delegate, AsyncSocket& owner) {
                      delegate.socketDidDisconnect(owner, error);
                  });
    }
}

AsyncSocket::AsyncSocket(AsyncSocketDelegate* delegate, MainQueue& delegateQueue)
    : impl_(std::make_shared<Impl>()) {
    impl_->link.set(delegate, &delegateQueue);
    impl_->link.setOwner(this);
}

AsyncSocket::AsyncSocket(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {
    impl_->link.setOwner(this);
}

AsyncSocket::~AsyncSocket() {
    impl_->link.detach();
    if (impl_->used) {
        io().sync([impl = impl_.get()] { impl->close(std::nullopt, false); });
    }
}

void AsyncSocket::setDelegate(AsyncSocketDelegate* delegate) {
    impl_->link.setDelegate(delegate);
}

bool AsyncSocket::acceptOnPort(std::uint16_t port, SocketError* error) {
    return impl_->onIOThread([&] { return impl_->acceptOnPort(port, error); });
}

void AsyncSocket::setConnectionLimit(std::size_t limit) {
    io().sync([impl = impl_.get(), limit] { impl->setConnectionLimit(limit); });
}

bool AsyncSocket::connectToHost(const std::string& host, std::uint16_t port, SocketError* error) {
    return impl_->onIOThread([&] { return impl_->connectToHost(host, port, error); });
}

bool AsyncSocket::isConnected() const {
    return impl_->used && impl_->onIOThread([impl = impl_.get()] { return impl->isConnected(); });
}

std::string AsyncSocket::connectedHost() const {
    if (!impl_->used) return {};
    return impl_->onIOThread([impl = impl_.get()] { return impl->connectedHost(); });
}

std::uint16_t AsyncSocket::connectedPort() const {
    if (!impl_->used) return 0;
    return impl_->onIOThread([impl = impl_.get()] { return impl->connectedPort(); });
}

std::uint16_t AsyncSocket::localPort() const {
    if (!impl_->used) return 0;
    return impl_->onIOThread([impl = impl_.get()] { return impl->localPort(); });
}

void AsyncSocket::readData(double timeoutSeconds, long tag) {
    if (!impl_->used) return;  // never connected: nothing to read from
    io().run([impl = impl_, timeoutSeconds, tag] { impl->read(timeoutSeconds, tag); });
}

void AsyncSocket::writeData(std::vector<std::uint8_t> data, double timeoutSeconds, long tag) {
    if (!impl_->used) return;
    impl_->queuedWriteBytes += data.size();
    io().run([impl = impl_, data = std::move(data), timeoutSeconds, tag]() mutable {
        impl->write(std::move(data), timeoutSeconds, tag);
    });
}

std::size_t AsyncSocket::queuedWriteBytes() const {
    return impl_->queuedWriteBytes.load();
}

void AsyncSocket::disconnect() {
    if (!impl_->used) return;
    io().sync([impl = impl_.get()] { impl->close(std::nullopt, true); });
}

void AsyncSocket::disconnectAfterWriting() {
    if (!impl_->used) return;
    io().run([impl = impl_] { impl->disconnectAfterWriting(); });
}

}  // namespace bw
