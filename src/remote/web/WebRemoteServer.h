#pragma once

#include <libsoup/soup.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/GLibHandle.h"
#include "show/ShowState.h"

namespace bw {

class CueRunner;
class Preferences;
class WebRemoteClient;

// The web remote (docs/web-remote.md): serves the page built into the
// program and one WebSocket, tells every connected page the show's state
// and runs the GO, go-to-cue and Panic they send through the cue runner,
// as every other remote source does.
//
// A page may control the show when it has entered the passcode, or, with no
// passcode set, when it was opened on this machine by a loopback address.
// Upgrades from another site's page (an Origin that is not the Host), more
// than kMaxClients pages, messages over 4 KiB and more than 20 a second are
// refused; a wrong passcode makes that address wait before its next try
// (1 s, doubling, at most kLongestPasscodePause).
//
// Main thread only (the GLib default main context). Register it with the
// show's feedback source to have it follow the show; the runner and the
// source must outlive it.
class WebRemoteServer final : public ShowStateListener {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::size_t kMaxClients = 64;
    static constexpr std::chrono::seconds kLongestPasscodePause{30};
    // Addresses whose wrong passcodes are remembered; the oldest goes first.
    static constexpr std::size_t kMaxRememberedAddresses = 256;

    // The preference that holds the passcode (the port's is WebRemotePort).
    static constexpr std::string_view kPasscodePreference = "WebRemotePasscode";

    // `now` stands in for the steady clock (tests).
    WebRemoteServer(CueRunner& runner, const ShowStateSource& source, Now now = {});

    // The server the settings ask for, listening: the port of --web-port,
    // BEAMWRIGHT_WEB_PORT or WebRemotePort, the address of --web-address and
    // the passcode preference. Null when no port is set, or with `problem`
    // saying why when it cannot listen or the passcode is not 4 to 12 digits.
    static std::unique_ptr<WebRemoteServer> fromSettings(CueRunner& runner,
                                                         const ShowStateSource& source,
                                                         const Preferences& preferences,
                                                         std::string* problem);
    ~WebRemoteServer() override;
    WebRemoteServer(const WebRemoteServer&) = delete;
    WebRemoteServer& operator=(const WebRemoteServer&) = delete;

    // Listens on `address` (empty: every interface) and `port` (0: one the
    // system picks); false with `error` set when it cannot. Stops listening
    // first.
    bool listen(const std::string& address, std::uint16_t port, std::string* error);
    // Closes every page's connection and stops listening.
    void stop();
    // The port listened on; 0 when not listening.
    std::uint16_t port() const { return port_; }
    // "http://HOST:PORT/" for each address a device can reach this machine
    // by (loopback last); empty when not listening.
    std::vector<std::string> addresses() const;

    // The digits a page must enter to control the show; empty: none (then
    // only this machine's own pages may). Pages that lose or gain control
    // by the change are told.
    void setPasscode(std::string passcode);
    // 4 to 12 digits, or empty.
    static bool isValidPasscode(std::string_view passcode);

    std::size_t clientCount() const { return clients_.size(); }
    // Called after a page connects or goes.
    void setClientsChanged(std::function<void()> changed) { clientsChanged_ = std::move(changed); }
    // States kept back from pages that stopped reading, in all (tests).
    std::uint64_t statesHeldBack() const;

    // ShowStateListener
    void showStateChanged(const ShowState& state, ShowState::Change change) override;

private:
    struct PasscodePause {
        unsigned failures = 0;
        Clock::time_point until;
        Clock::time_point last;
    };

    static void onPage(SoupServer* server, SoupServerMessage* message, const char* path,
                       GHashTable* query, gpointer self);
    static void onUpgradeRequest(SoupServer* server, SoupServerMessage* message, const char* path,
                                 GHashTable* query, gpointer self);
    static void onWebSocket(SoupServer* server, SoupServerMessage* message, const char* path,
                            SoupWebsocketConnection* connection, gpointer self);
    static gboolean onFlush(gpointer self);

    void received(WebRemoteClient& client, std::string_view text);
    void closed(WebRemoteClient& client);
    bool mayControl(const WebRemoteClient& client) const;
    void takePasscode(WebRemoteClient& client, const std::string& code);
    void updateControl();
    void startFlushing();
    void dropClosed();
    Clock::time_point now() const { return now_ ? now_() : Clock::now(); }

    CueRunner& runner_;
    const ShowStateSource& source_;
    Now now_;
    GObjectPtr<SoupServer> server_;
    std::uint16_t port_ = 0;
    std::string passcode_;
    std::vector<std::unique_ptr<WebRemoteClient>> clients_;
    // Clients whose connection closed, released from the main loop rather
    // than inside their own signal.
    std::vector<std::unique_ptr<WebRemoteClient>> closed_;
    std::map<std::string, PasscodePause> pauses_;
    GSourcePtr flushSource_;
    GSourcePtr dropSource_;
    std::function<void()> clientsChanged_;
    std::uint64_t heldBackByGone_ = 0;
};

}  // namespace bw
