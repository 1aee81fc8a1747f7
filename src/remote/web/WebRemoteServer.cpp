#include "remote/web/WebRemoteServer.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iostream>
#include <string>
#include <utility>
#include <variant>

#include "platform/PortSetting.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "remote/CueRunner.h"
#include "remote/web/WebRemoteClient.h"
#include "remote/web/WebRemoteMessage.h"

extern "C" GResource* bw_web_remote_get_resource(void);

namespace bw {
namespace {

constexpr guint kFlushIntervalMs = 250;

// The page's files, by the path a browser asks for.
struct Asset {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr std::array kAssets{
    Asset{"/", "/app/beamwright/web/index.html", "text/html; charset=utf-8"},
    Asset{"/index.html", "/app/beamwright/web/index.html", "text/html; charset=utf-8"},
    Asset{"/remote.css", "/app/beamwright/web/remote.css", "text/css; charset=utf-8"},
    Asset{"/remote.js", "/app/beamwright/web/remote.js", "text/javascript; charset=utf-8"},
    Asset{"/icon.svg", "/app/beamwright/web/icon.svg", "image/svg+xml"},
};

// The page may load only its own files and talk only to its own server.
constexpr const char* kContentPolicy =
    "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
    "script-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// The host name of a Host header ("example:8080" -> "example",
// "[::1]:8080" -> "::1").
std::string hostName(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const auto end = host.find(']');
        return lowered(host.substr(1, end == std::string_view::npos ? host.size() : end - 1));
    }
    return lowered(host.substr(0, host.rfind(':')));
}

bool isLoopbackName(const std::string& name) {
    return name == "localhost" || name.starts_with("127.") || name == "::1";
}

WebRemoteClient::Peer peerOf(SoupServerMessage* message) {
    WebRemoteClient::Peer peer;
    GSocketAddress* address = soup_server_message_get_remote_address(message);
    if (address != nullptr && G_IS_INET_SOCKET_ADDRESS(address)) {
        GInetAddress* inet = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address));
        GCharPtr text(g_inet_address_to_string(inet));
        peer.address = text ? text.get() : "";
        // An IPv4 peer of an IPv6 socket reads ::ffff:127.0.0.1.
        if (peer.address.starts_with("::ffff:")) peer.address.erase(0, 7);
        peer.loopback = g_inet_address_get_is_loopback(inet) || peer.address.starts_with("127.");
    }
    const char* host =
        soup_message_headers_get_one(soup_server_message_get_request_headers(message), "Host");
    peer.localHost = host != nullptr && isLoopbackName(hostName(host));
    return peer;
}

void refuse(SoupServerMessage* message, guint status, const char* why) {
    soup_server_message_set_status(message, status, nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_replace(headers, "Connection", "close");
    soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, why,
                                     std::char_traits<char>::length(why));
}

// Whether `message` upgrades from a page of this server's own origin (or
// from no page: a browser always sends its page's origin).
bool sameOrigin(SoupServerMessage* message) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const char* origin = soup_message_headers_get_one(headers, "Origin");
    if (origin == nullptr) return true;
    const char* host = soup_message_headers_get_one(headers, "Host");
    return host != nullptr && lowered(origin) == "http://" + lowered(host);
}

}  // namespace

WebRemoteServer::WebRemoteServer(CueRunner& runner, const ShowStateSource& source, Now now)
    : runner_(runner), source_(source), now_(std::move(now)) {}

WebRemoteServer::~WebRemoteServer() {
    stop();
}

std::unique_ptr<WebRemoteServer> WebRemoteServer::fromSettings(CueRunner& runner,
                                                               const ShowStateSource& source,
                                                               const Preferences& preferences,
                                                               std::string* problem) {
    const std::uint16_t port = portSetting(kWebPortSource, 0, preferences, std::cerr);
    if (port == 0) return nullptr;
    const std::string passcode = preferences.stringValue(kPasscodePreference).value_or("");
    if (!isValidPasscode(passcode)) {
        if (problem) {
            *problem = "the passcode preference " + std::string(kPasscodePreference) +
                       " is not 4 to 12 digits";
        }
        return nullptr;
    }
    auto server = std::make_unique<WebRemoteServer>(runner, source);
    server->setPasscode(passcode);
    std::string error;
    const std::string address = webAddressSetting();
    if (!server->listen(address, port, &error)) {
        if (problem) *problem = "port " + std::to_string(port) + " cannot be opened: " + error;
        return nullptr;
    }
    return server;
}

bool WebRemoteServer::listen(const std::string& address, std::uint16_t port, std::string* error) {
    stop();
    server_.reset(
        SOUP_SERVER(g_object_new(SOUP_TYPE_SERVER, "server-header", "Beamwright", nullptr)));
    soup_server_add_handler(server_.get(), "/", onPage, this, nullptr);
    soup_server_add_handler(server_.get(), "/ws", onUpgradeRequest, this, nullptr);
    soup_server_add_websocket_handler(server_.get(), "/ws", nullptr, nullptr, onWebSocket, this,
                                      nullptr);
    GError* raw = nullptr;
    gboolean listening = FALSE;
    if (address.empty()) {
        listening = soup_server_listen_all(server_.get(), port,
                                           static_cast<SoupServerListenOptions>(0), &raw);
    } else {
        GObjectPtr<GSocketAddress> where(
            g_inet_socket_address_new_from_string(address.c_str(), port));
        if (!where) {
            if (error) *error = "\"" + address + "\" is not an IP address of this machine";
            server_.reset();
            return false;
        }
        listening = soup_server_listen(server_.get(), where.get(),
                                       static_cast<SoupServerListenOptions>(0), &raw);
    }
    GErrorPtr failure(raw);
    if (!listening) {
        if (error) *error = failure ? failure->message : "the server cannot listen";
        server_.reset();
        return false;
    }
    GSList* uris = soup_server_get_uris(server_.get());
    if (uris != nullptr)
        port_ = static_cast<std::uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    SystemLog::shared().log("WebRemote: listening on port " + std::to_string(port_));
    return true;
}

void WebRemoteServer::stop() {
    flushSource_.reset();
    dropSource_.reset();
    const bool hadClients = !clients_.empty();
    // Released first, each closing its connection, before the server goes.
    clients_.clear();
    closed_.clear();
    if (server_) {
        soup_server_disconnect(server_.get());
        server_.reset();
    }
    port_ = 0;
    if (hadClients && clientsChanged_) clientsChanged_();
}

std::vector<std::string> WebRemoteServer::addresses() const {
    std::vector<std::string> result;
    if (!server_) return result;
    const std::string port = std::to_string(port_);
    GSList* uris = soup_server_get_uris(server_.get());
    bool everyInterface = false;
    for (GSList* item = uris; item != nullptr; item = item->next) {
        const char* host = g_uri_get_host(static_cast<GUri*>(item->data));
        const std::string name = host != nullptr ? host : "";
        if (name == "0.0.0.0" || name == "::") {
            everyInterface = true;
        } else if (!name.empty()) {
            result.push_back("http://" +
                             (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" +
                             port + "/");
        }
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    if (!everyInterface) return result;
    // Every interface: its IPv4 addresses, which a phone types most easily.
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0) {
        for (ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
                (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            char text[INET_ADDRSTRLEN] = {};
            const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &inet->sin_addr, text, sizeof text) != nullptr) {
                result.push_back("http://" + std::string(text) + ":" + port + "/");
            }
        }
        ::freeifaddrs(interfaces);
    }
    result.push_back("http://localhost:" + port + "/");
    return result;
}

bool WebRemoteServer::isValidPasscode(std::string_view passcode) {
    if (passcode.empty()) return true;
    return passcode.size() >= 4 && passcode.size() <= 12 &&
           std::all_of(passcode.begin(), passcode.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

void WebRemoteServer::setPasscode(std::string passcode) {
    if (!isValidPasscode(passcode) || passcode == passcode_) return;
    passcode_ = std::move(passcode);
    updateControl();
}

std::uint64_t WebRemoteServer::statesHeldBack() const {
    std::uint64_t total = heldBackByGone_;
    for (const auto& client : clients_)
        total += client->statesHeldBack();
    return total;
}

void WebRemoteServer::showStateChanged(const ShowState& state, ShowState::Change change) {
    if (clients_.empty()) return;
    const std::string message = web_remote::stateMessage(state, change);
    const Clock::time_point at = now();
    for (const auto& client : clients_)
        client->sendState(message, at);
    startFlushing();
}

bool WebRemoteServer::mayControl(const WebRemoteClient& client) const {
    if (passcode_.empty()) return client.peer().loopback && client.peer().localHost;
    return client.passcodeEntered() == passcode_;
}

void WebRemoteServer::updateControl() {
    for (const auto& client : clients_) {
        const bool control = mayControl(*client);
        if (control == client->control()) continue;
        client->setControl(control);
        client->send(web_remote::controlMessage(control));
    }
}

void WebRemoteServer::received(WebRemoteClient& client, std::string_view text) {
    if (!client.takeToken(now())) {
        client.send(web_remote::errorMessage("too many messages: at most 20 a second"));
        return;
    }
    auto parsed = WebRemoteRequest::parse(text);
    if (const auto* why = std::get_if<std::string>(&parsed)) {
        client.send(web_remote::errorMessage(*why));
        return;
    }
    const WebRemoteRequest& request = std::get<WebRemoteRequest>(parsed);
    if (request.kind == WebRemoteRequest::Kind::Passcode) {
        takePasscode(client, request.code);
        return;
    }
    if (!client.control()) {
        client.send(web_remote::errorMessage(
            passcode_.empty() ? "this page may not control the show: no passcode is set, so only "
                                "the show machine's own pages may"
                              : "enter the passcode to control the show"));
        return;
    }
    switch (request.kind) {
        case WebRemoteRequest::Kind::Go:
            runner_.go(GoSource::Web);
            break;
        case WebRemoteRequest::Kind::GoToCue:
            runner_.goToCue(request.cue, GoSource::Web);
            break;
        case WebRemoteRequest::Kind::Panic:
            runner_.panic();
            break;
        case WebRemoteRequest::Kind::Passcode:
            break;
    }
}

void WebRemoteServer::takePasscode(WebRemoteClient& client, const std::string& code) {
    if (passcode_.empty()) {
        client.send(web_remote::errorMessage("no passcode is set on the show machine"));
        return;
    }
    const Clock::time_point at = now();
    const std::string& address = client.peer().address;
    auto pause = pauses_.find(address);
    if (pause != pauses_.end() && at < pause->second.until) {
        const auto seconds =
            std::chrono::ceil<std::chrono::seconds>(pause->second.until - at).count();
        client.send(
            web_remote::errorMessage("wait " + std::to_string(seconds) + " s before the next try"));
        return;
    }
    // Compared whole, in a time that does not depend on where they differ.
    unsigned difference = code.size() == passcode_.size() ? 0U : 1U;
    for (std::size_t k = 0; k < passcode_.size(); ++k) {
        difference |= static_cast<unsigned char>(k < code.size() ? code[k] : 0) ^
                      static_cast<unsigned char>(passcode_[k]);
    }
    if (difference == 0) {
        if (pause != pauses_.end()) pauses_.erase(pause);
        client.setPasscodeEntered(code);
        updateControl();
        return;
    }
    if (pause == pauses_.end()) {
        if (pauses_.size() >= kMaxRememberedAddresses) {
            pauses_.erase(std::min_element(
                pauses_.begin(), pauses_.end(),
                [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
        }
        pause = pauses_.emplace(address, PasscodePause{}).first;
    }
    PasscodePause& entry = pause->second;
    const auto wait = std::min<std::chrono::seconds>(
        kLongestPasscodePause, std::chrono::seconds(1LL << std::min(entry.failures, 5U)));
    ++entry.failures;
    entry.until = at + wait;
    entry.last = at;
    SystemLog::shared().log("WebRemote: a wrong passcode from " + address);
    client.send(web_remote::errorMessage("wrong passcode"));
}

void WebRemoteServer::closed(WebRemoteClient& client) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [&](const auto& held) { return held.get() == &client; });
    if (it == clients_.end()) return;
    heldBackByGone_ += client.statesHeldBack();
    closed_.push_back(std::move(*it));
    clients_.erase(it);
    if (!dropSource_) {
        dropSource_.reset(g_idle_source_new());
        g_source_set_callback(
            dropSource_.get(),
            [](gpointer self) -> gboolean {
                static_cast<WebRemoteServer*>(self)->dropClosed();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(dropSource_.get(), nullptr);
    }
    if (clientsChanged_) clientsChanged_();
}

void WebRemoteServer::dropClosed() {
    closed_.clear();
    // Released last: this runs inside the source.
    GSourcePtr self = std::move(dropSource_);
}

void WebRemoteServer::startFlushing() {
    if (flushSource_) return;
    flushSource_.reset(g_timeout_source_new(kFlushIntervalMs));
    g_source_set_callback(flushSource_.get(), onFlush, this, nullptr);
    g_source_attach(flushSource_.get(), nullptr);
}

gboolean WebRemoteServer::onFlush(gpointer self) {
    auto* server = static_cast<WebRemoteServer*>(self);
    const Clock::time_point at = server->now();
    bool holding = false;
    std::vector<WebRemoteClient*> stalled;
    for (const auto& client : server->clients_) {
        const WebRemoteClient::Flush result = client->flush(at);
        holding = holding || result == WebRemoteClient::Flush::Holding;
        if (result == WebRemoteClient::Flush::Stalled) stalled.push_back(client.get());
    }
    // Each cut drops its client from the list, so after the loop.
    for (WebRemoteClient* client : stalled) {
        SystemLog::shared().log("WebRemote: " + client->peer().address +
                                " stopped reading; its connection is cut");
        client->cut();
    }
    if (holding) return G_SOURCE_CONTINUE;
    GSourcePtr done = std::move(server->flushSource_);
    return G_SOURCE_REMOVE;
}

void WebRemoteServer::onPage(SoupServer* /*server*/, SoupServerMessage* message, const char* path,
                             GHashTable* /*query*/, gpointer /*self*/) {
    const char* method = soup_server_message_get_method(message);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_replace(headers, "Content-Security-Policy", kContentPolicy);
    soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace(headers, "Referrer-Policy", "no-referrer");
    soup_message_headers_replace(headers, "Cache-Control", "no-cache");
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
        soup_message_headers_replace(headers, "Allow", "GET, HEAD");
        refuse(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
        return;
    }
    const std::string_view asked(path != nullptr ? path : "");
    const auto asset = std::find_if(kAssets.begin(), kAssets.end(), [&](const Asset& candidate) {
        return asked == candidate.path;
    });
    GBytes* bytes = nullptr;
    if (asset != kAssets.end()) {
        bytes = g_resource_lookup_data(bw_web_remote_get_resource(), asset->resource,
                                       G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    }
    if (bytes == nullptr) {
        soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
        soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC,
                                         "not found\n", 10);
        return;
    }
    gsize size = 0;
    const void* data = g_bytes_get_data(bytes, &size);
    soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
    // The resource's data lives as long as the program.
    soup_server_message_set_response(message, asset->type, SOUP_MEMORY_STATIC,
                                     static_cast<const char*>(data), size);
    g_bytes_unref(bytes);
}

void WebRemoteServer::onUpgradeRequest(SoupServer* /*server*/, SoupServerMessage* message,
                                       const char* /*path*/, GHashTable* /*query*/, gpointer self) {
    auto* server = static_cast<WebRemoteServer*>(self);
    if (!sameOrigin(message)) {
        refuse(message, SOUP_STATUS_FORBIDDEN, "a page of another site may not connect\n");
    } else if (server->clients_.size() >= kMaxClients) {
        refuse(message, SOUP_STATUS_SERVICE_UNAVAILABLE, "too many pages are connected\n");
    }
    // Otherwise no status: the WebSocket handler takes the upgrade.
}

void WebRemoteServer::onWebSocket(SoupServer* /*server*/, SoupServerMessage* message,
                                  const char* /*path*/, SoupWebsocketConnection* connection,
                                  gpointer self) {
    auto* server = static_cast<WebRemoteServer*>(self);
    auto client = std::make_unique<WebRemoteClient>(
        connection, soup_server_message_get_socket(message), peerOf(message),
        [server](WebRemoteClient& from, std::string_view text) { server->received(from, text); },
        [server](WebRemoteClient& gone) { server->closed(gone); });
    WebRemoteClient& added = *client;
    server->clients_.push_back(std::move(client));
    added.setControl(server->mayControl(added));
    added.send(web_remote::helloMessage(added.control(), !server->passcode_.empty()));
    added.send(web_remote::stateMessage(server->source_.showState(), ShowState::Change::Tick));
    if (server->clientsChanged_) server->clientsChanged_();
}

}  // namespace bw
