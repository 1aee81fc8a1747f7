#include "sharing/PipeWireConnection.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr long long kRetryNanoseconds = 500'000'000;
constexpr long long kAnswerNanoseconds = 3'000'000'000;
constexpr const char* kDefaultName = "Beamwright";

std::string missingLine(const std::string& reason) {
    std::string line = "Warning: no PipeWire daemon reachable (";
    line += reason;
    line += "); frames are not published until one appears";
    return line;
}

}  // namespace

struct PipeWireConnection::Native {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_source* retryTimer = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};

    static void coreInfo(void* data, const pw_core_info* info);
    static void coreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void registryGlobal(void* data, std::uint32_t id, std::uint32_t permissions,
                               const char* type, std::uint32_t version, const spa_dict* props);
    static void registryGlobalRemove(void* data, std::uint32_t id);
    static void retry(void* data, std::uint64_t expirations);

    static const pw_core_events coreEvents;
    static const pw_registry_events registryEvents;
};

const pw_core_events PipeWireConnection::Native::coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.info = &Native::coreInfo;
    events.error = &Native::coreError;
    return events;
}();

const pw_registry_events PipeWireConnection::Native::registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &Native::registryGlobal;
    events.global_remove = &Native::registryGlobalRemove;
    return events;
}();

PipeWireConnection::Lock::Lock(const PipeWireConnection& connection) : connection_(connection) {
    pw_thread_loop_lock(connection_.native_->loop);
}

PipeWireConnection::Lock::~Lock() {
    pw_thread_loop_unlock(connection_.native_->loop);
}

PipeWireConnection::PipeWireConnection(std::string remoteName)
    : remoteName_(std::move(remoteName)), native_(std::make_unique<Native>()) {
    pw_init(nullptr, nullptr);
    native_->loop = pw_thread_loop_new("bw.pipewire", nullptr);
    if (native_->loop == nullptr) {
        throw std::system_error(errno, std::generic_category(), "pw_thread_loop_new");
    }
    native_->context = pw_context_new(pw_thread_loop_get_loop(native_->loop),
                                      pw_properties_new(PW_KEY_APP_NAME, "Beamwright", nullptr), 0);
    if (native_->context == nullptr) {
        std::string line = "Warning: PipeWire could not be set up (";
        line += std::generic_category().message(errno);
        line += "); frames are not published";
        SystemLog::shared().log(line);
    }
    Lock lock(*this);
    native_->retryTimer =
        pw_loop_add_timer(pw_thread_loop_get_loop(native_->loop), &Native::retry, this);
    if (pw_thread_loop_start(native_->loop) < 0) {
        SystemLog::shared().log(
            "Warning: the PipeWire thread could not be started; frames are not published");
        return;
    }
    tryConnect();
}

PipeWireConnection::~PipeWireConnection() {
    {
        Lock lock(*this);
        pw_loop_destroy_source(pw_thread_loop_get_loop(native_->loop), native_->retryTimer);
        native_->retryTimer = nullptr;
        disconnect();
    }
    pw_thread_loop_stop(native_->loop);
    if (native_->context != nullptr) pw_context_destroy(native_->context);
    pw_thread_loop_destroy(native_->loop);
}

PipeWireConnection& PipeWireConnection::shared() {
    static PipeWireConnection* const connection = new PipeWireConnection;
    return *connection;
}

std::optional<std::string> PipeWireConnection::unreachableReason() const {
    std::lock_guard lock(reachabilityMutex_);
    return unreachableReason_;
}

void PipeWireConnection::setReachabilityObserver(ReachabilityObserver observer) {
    std::lock_guard lock(reachabilityMutex_);
    reachabilityObserver_ = std::move(observer);
    if (reachabilityObserver_ && unreachableReason_) reachabilityObserver_(unreachableReason_);
}

void PipeWireConnection::reportUnreachable(const std::string& reason) {
    SystemLog::shared().log(missingLine(reason));
    reportedMissing_ = true;
    std::lock_guard lock(reachabilityMutex_);
    unreachableReason_ = reason;
    if (reachabilityObserver_) reachabilityObserver_(unreachableReason_);
}

void PipeWireConnection::reportReachable() {
    SystemLog::shared().log("PipeWire daemon reachable again; publishing frames");
    reportedMissing_ = false;
    std::lock_guard lock(reachabilityMutex_);
    unreachableReason_.reset();
    if (reachabilityObserver_) reachabilityObserver_(unreachableReason_);
}

void PipeWireConnection::tryConnect() {
    Native& native = *native_;
    if (native.core != nullptr || native.context == nullptr) return;
    pw_properties* properties =
        remoteName_.empty() ? nullptr
                            : pw_properties_new(PW_KEY_REMOTE_NAME, remoteName_.c_str(), nullptr);
    // A local socket connect: it answers at once, daemon or not.
    native.core = pw_context_connect(native.context, properties, 0);
    if (native.core == nullptr) {
        const int error = errno;
        if (!reportedMissing_) {
            std::string reason = "cannot connect: ";
            reason += std::generic_category().message(error);
            reportUnreachable(reason);
        }
        armRetry(kRetryNanoseconds);
        return;
    }
    pw_proxy_add_object_listener(reinterpret_cast<pw_proxy*>(native.core), &native.coreListener,
                                 &Native::coreEvents, this);
    native.registry = pw_core_get_registry(native.core, PW_VERSION_REGISTRY, 0);
    if (native.registry != nullptr) {
        pw_proxy_add_object_listener(reinterpret_cast<pw_proxy*>(native.registry),
                                     &native.registryListener, &Native::registryEvents, this);
    }
    // The clients build on the core once the daemon has answered (its first
    // core info): a daemon that is going away may still accept a connection,
    // and a stopped one never answers.
    armRetry(kAnswerNanoseconds);
}

void PipeWireConnection::disconnect() {
    Native& native = *native_;
    connected_.store(false, std::memory_order_release);
    established_ = false;
    lost_ = false;
    if (native.core == nullptr) return;
    const std::vector<Client*> clients = clients_;
    for (Client* client : clients) {
        client->coreLost();
    }
    if (native.registry != nullptr) {
        spa_hook_remove(&native.registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(native.registry));
        native.registry = nullptr;
    }
    spa_hook_remove(&native.coreListener);
    pw_core_disconnect(native.core);
    native.core = nullptr;
    nodes_.clear();
}

void PipeWireConnection::armRetry(long long nanoseconds) {
    if (native_->retryTimer == nullptr) return;
    timespec value{};
    value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
    value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    pw_loop_update_timer(pw_thread_loop_get_loop(native_->loop), native_->retryTimer, &value,
                         nullptr, false);
}

void PipeWireConnection::Native::coreInfo(void* data, const pw_core_info* /*info*/) {
    auto* self = static_cast<PipeWireConnection*>(data);
    if (self->established_ || self->lost_) return;
    self->established_ = true;
    self->connected_.store(true, std::memory_order_release);
    if (self->reportedMissing_) self->reportReachable();
    const std::vector<Client*> clients = self->clients_;
    for (Client* client : clients) {
        client->coreConnected(self->native_->core);
    }
}

void PipeWireConnection::Native::coreError(void* data, std::uint32_t id, int /*seq*/, int res,
                                           const char* /*message*/) {
    auto* self = static_cast<PipeWireConnection*>(data);
    // The daemon hung up. The core cannot be torn down inside its own event:
    // the retry timer does it on the next turn of the loop.
    if (id == PW_ID_CORE && res == -EPIPE) {
        self->lost_ = true;
        self->connected_.store(false, std::memory_order_release);
        self->armRetry(1);
    }
}

void PipeWireConnection::Native::retry(void* data, std::uint64_t /*expirations*/) {
    auto* self = static_cast<PipeWireConnection*>(data);
    const bool unanswered = self->native_->core != nullptr && !self->established_;
    if (!self->lost_ && !unanswered) {
        self->tryConnect();
        return;
    }
    const bool wasEstablished = self->established_;
    const char* reason = wasEstablished ? "connection lost"
                         : self->lost_  ? "it closed the connection before answering"
                                        : "it does not answer";
    self->disconnect();
    if (!self->reportedMissing_) self->reportUnreachable(reason);
    // A daemon that was working may be back at once (restarted by its
    // service manager); one that never answered gets the usual pause.
    if (wasEstablished) {
        self->tryConnect();
    } else {
        self->armRetry(kRetryNanoseconds);
    }
}

void PipeWireConnection::Native::registryGlobal(void* data, std::uint32_t id,
                                                std::uint32_t /*permissions*/, const char* type,
                                                std::uint32_t /*version*/, const spa_dict* props) {
    auto* self = static_cast<PipeWireConnection*>(data);
    if (props == nullptr || type == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) {
        return;
    }
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name == nullptr) return;
    const char* client = spa_dict_lookup(props, PW_KEY_CLIENT_ID);
    self->nodes_[id] = NodeGlobal{name, client != nullptr ? client : ""};
}

void PipeWireConnection::Native::registryGlobalRemove(void* data, std::uint32_t id) {
    static_cast<PipeWireConnection*>(data)->nodes_.erase(id);
}

std::set<std::string> PipeWireConnection::otherNodeNames() const {
    Lock lock(*this);
    std::string ownClient;
    if (native_->core != nullptr) {
        const std::uint32_t id =
            pw_proxy_get_bound_id(reinterpret_cast<pw_proxy*>(pw_core_get_client(native_->core)));
        if (id != SPA_ID_INVALID) ownClient = std::to_string(id);
    }
    std::set<std::string> names;
    for (const auto& [id, node] : nodes_) {
        // Until the daemon has told us our client id, every node counts as
        // someone else's: better a needless number than a clash.
        if (ownClient.empty() || node.clientId != ownClient) names.insert(node.name);
    }
    return names;
}

std::string PipeWireConnection::reserveLocked(const std::string& requested) {
    const std::string base = requested.empty() ? std::string(kDefaultName) : requested;
    const std::set<std::string> others = otherNodeNames();
    std::string candidate = base;
    for (unsigned number = 2; names_.count(candidate) != 0 || others.count(candidate) != 0;
         ++number) {
        candidate = base;
        candidate += ' ';
        candidate += std::to_string(number);
    }
    names_.insert(candidate);
    if (candidate != base) {
        std::string line = "Warning: an output named \"";
        line += base;
        line += "\" is already published; publishing this one as \"";
        line += candidate;
        line += '"';
        SystemLog::shared().log(line);
    }
    return candidate;
}

std::string PipeWireConnection::reserveName(const std::string& requested) {
    Lock lock(*this);
    return reserveLocked(requested);
}

void PipeWireConnection::releaseName(const std::string& published) {
    Lock lock(*this);
    names_.erase(published);
}

std::string PipeWireConnection::replaceName(const std::string& current,
                                            const std::string& requested) {
    Lock lock(*this);
    names_.erase(current);
    return reserveLocked(requested);
}

void PipeWireConnection::addClient(Client* client) {
    clients_.push_back(client);
    if (established_ && !lost_) client->coreConnected(native_->core);
}

void PipeWireConnection::removeClient(Client* client) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

}  // namespace bw
