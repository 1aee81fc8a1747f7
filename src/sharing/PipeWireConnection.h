#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct pw_core;

namespace bw {

// The process's connection to the PipeWire daemon: one pw_thread_loop (its
// thread, "bw.pipewire", runs every PipeWire callback), one context and, while
// the daemon is reachable, one core. When the daemon cannot be reached (no
// socket, the connection closed, or no answer within 3 s), at start or because
// it went away, the connection logs one line, retries every 500 ms on its own
// thread without blocking anyone, logs one line when the daemon answers again
// and has its clients rebuild what they had on it.
//
// It also hands out the names the video outputs publish under: a name asked
// for while this connection already publishes it, or while another client's
// node on the daemon uses it, gets a numbered variant ("Stage 2", "Stage 3"...)
// and a log line; the name is free again once released.
//
// Any thread may construct it and call its public members. The process's
// instance (shared()) is never destroyed; others, built for tests, must
// outlive their clients.
class PipeWireConnection {
public:
    // Something on the daemon that lives and dies with the core: a video
    // source stream. Both calls come under the loop lock, coreConnected() once
    // the daemon has answered on a new core (or from addClient() when it has
    // already).
    class Client {
    public:
        virtual ~Client() = default;
        // A core is connected; build on it.
        virtual void coreConnected(pw_core* core) = 0;
        // The core is about to be disconnected; destroy what was built on it.
        virtual void coreLost() = 0;
    };

    // The loop lock (recursive), held for the object's life. Every PipeWire
    // call on this connection's objects must be made under it; callbacks on
    // the loop thread already run under it.
    class Lock {
    public:
        explicit Lock(const PipeWireConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        const PipeWireConnection& connection_;
    };

    // `remoteName`: the daemon's socket; empty: PipeWire's default
    // ($PIPEWIRE_REMOTE, else "pipewire-0" in the runtime folder). Starts the
    // loop thread and makes the first connection attempt (a local socket
    // connect, no round trip).
    explicit PipeWireConnection(std::string remoteName = {});
    // Must not run on the loop thread; all clients must be gone.
    ~PipeWireConnection();
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // The process's connection, created on first use, never destroyed.
    static PipeWireConnection& shared();

    // Whether the daemon has answered on the current connection and has not
    // been seen to go away since.
    bool isConnected() const { return connected_.load(std::memory_order_acquire); }

    // Why the daemon is not reachable, once that has been found (the failed
    // connect, or no answer within 3 s); none while it answers and before
    // the first attempt has been decided.
    std::optional<std::string> unreachableReason() const;
    // Called with unreachableReason()'s new value each time it changes, on
    // the loop thread with the loop lock held, and at once, on the calling
    // thread, when the daemon is already found unreachable. The observer must
    // not call into this connection, and hands its work to its own thread.
    // Empty: none. Any thread.
    using ReachabilityObserver = std::function<void(const std::optional<std::string>& reason)>;
    void setReachabilityObserver(ReachabilityObserver observer);

    // Reserves and returns the name to publish `requested` under: `requested`
    // itself when free, else the first free "requested N" (N = 2, 3, ...),
    // with a log line. An empty request stands for "Beamwright".
    std::string reserveName(const std::string& requested);
    // Gives a reserved name back; unknown names are ignored.
    void releaseName(const std::string& published);
    // Releases `current` and reserves a name for `requested` in one step, so a
    // numbered name can fall back to the plain one once that is free.
    std::string replaceName(const std::string& current, const std::string& requested);

    // The node names other clients of the daemon use, as far as this
    // connection has seen them so far.
    std::set<std::string> otherNodeNames() const;

    // Loop lock held: registers `client` (coreConnected() follows at once when
    // the daemon has answered already) or unregisters it (nothing is called).
    void addClient(Client* client);
    void removeClient(Client* client);

private:
    // The PipeWire objects and the callbacks they call.
    struct Native;
    struct NodeGlobal {
        std::string name;
        std::string clientId;
    };

    // Loop lock held, all of them.
    void tryConnect();
    void disconnect();
    void armRetry(long long nanoseconds);
    std::string reserveLocked(const std::string& requested);
    // Loop lock held: records and logs the change of reachability.
    void reportUnreachable(const std::string& reason);
    void reportReachable();

    std::string remoteName_;
    std::unique_ptr<Native> native_;
    std::atomic<bool> connected_ = false;

    // Guarded by the loop lock.
    bool established_ = false;      // the daemon answered on the current core
    bool lost_ = false;             // the daemon went away; disconnect() is due
    bool reportedMissing_ = false;  // the "not reachable" line is out
    std::vector<Client*> clients_;
    std::set<std::string> names_;
    std::map<std::uint32_t, NodeGlobal> nodes_;

    mutable std::mutex reachabilityMutex_;
    // Guarded by reachabilityMutex_.
    std::optional<std::string> unreachableReason_;
    ReachabilityObserver reachabilityObserver_;
};

}  // namespace bw
