#pragma once

#include <libsoup/soup.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/GLibHandle.h"

namespace bw {

// One page connected to the web remote: its WebSocket, who it is, whether it
// may control the show, and how fast it may send and read.
//
// It sends each state the server hands it unless the page has stopped
// reading: while more than kMaxUnsentBytes wait in the socket's send queue
// it keeps only the newest (each state is whole, so none is missed) and
// sends that once the queue drains (flush()); the owner cuts a page that
// stays behind for kStalledLimit.
//
// Main thread only. `closed` is called once, from the connection's closed
// signal or when a stalled page is cut off; the owner then drops this (not
// from inside the call).
class WebRemoteClient {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxMessageBytes = 4096;
    static constexpr double kMessagesPerSecond = 20.0;
    static constexpr double kMessageBurst = 40.0;
    static constexpr std::size_t kMaxUnsentBytes = 64 * 1024;
    static constexpr std::chrono::seconds kStalledLimit{10};
    static constexpr guint kKeepaliveSeconds = 5;

    struct Peer {
        // "10.0.0.5" or "::1", for the log and the passcode's pauses.
        std::string address;
        bool loopback = false;
        // The page was opened by a loopback host name (localhost, 127.0.0.1,
        // [::1]): only such a page counts as this machine's own, since a
        // page of another site can reach loopback under its own host name.
        bool localHost = false;
    };

    // Takes a reference to `connection` and `socket` (whose send queue it
    // watches; may be null).
    WebRemoteClient(SoupWebsocketConnection* connection, GSocket* socket, Peer peer,
                    std::function<void(WebRemoteClient&, std::string_view)> received,
                    std::function<void(WebRemoteClient&)> closed);
    ~WebRemoteClient();
    WebRemoteClient(const WebRemoteClient&) = delete;
    WebRemoteClient& operator=(const WebRemoteClient&) = delete;

    const Peer& peer() const { return peer_; }
    bool control() const { return control_; }
    void setControl(bool control) { control_ = control; }
    const std::string& passcodeEntered() const { return passcodeEntered_; }
    void setPasscodeEntered(std::string code) { passcodeEntered_ = std::move(code); }

    // Sends `text` now; messages other than states are never held back.
    void send(const std::string& text);
    // Sends a state, or keeps it while the page is behind (see above).
    void sendState(const std::string& text, Clock::time_point now);
    // Sends a held state if the page has caught up: Done (nothing held now),
    // Holding, or Stalled once the page has been behind for kStalledLimit.
    enum class Flush { Done, Holding, Stalled };
    Flush flush(Clock::time_point now);
    // Cuts the connection of a stalled page; `closed` is called from here.
    void cut();
    // Whether one more message may be taken now (the rate limit).
    bool takeToken(Clock::time_point now);
    // Closes the connection with `code` and `reason`.
    void close(gushort code, const char* reason);

    // States kept back from this page so far (tests, the log).
    std::uint64_t statesHeldBack() const { return statesHeldBack_; }

private:
    static void onMessage(SoupWebsocketConnection* connection, gint type, GBytes* message,
                          gpointer self);
    static void onClosed(SoupWebsocketConnection* connection, gpointer self);
    // Bytes written to the socket that the page has not yet taken; 0 where
    // that cannot be known.
    std::size_t unsentBytes() const;
    void disconnectSignals();
    // Tells the owner, once, that the connection is gone.
    void finish();

    GObjectPtr<SoupWebsocketConnection> connection_;
    GObjectPtr<GSocket> socket_;
    Peer peer_;
    std::function<void(WebRemoteClient&, std::string_view)> received_;
    std::function<void(WebRemoteClient&)> closed_;
    gulong messageHandler_ = 0;
    gulong closedHandler_ = 0;
    bool control_ = false;
    std::string passcodeEntered_;
    double tokens_ = kMessageBurst;
    std::optional<Clock::time_point> lastToken_;
    std::optional<std::string> heldState_;
    std::optional<Clock::time_point> behindSince_;
    std::uint64_t statesHeldBack_ = 0;
    bool closing_ = false;
    bool finished_ = false;
};

}  // namespace bw
