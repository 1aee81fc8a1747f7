#include "remote/web/WebRemoteClient.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <utility>

#include "remote/web/WebRemoteMessage.h"

namespace bw {

WebRemoteClient::WebRemoteClient(SoupWebsocketConnection* connection, GSocket* socket, Peer peer,
                                 std::function<void(WebRemoteClient&, std::string_view)> received,
                                 std::function<void(WebRemoteClient&)> closed)
    : connection_(SOUP_WEBSOCKET_CONNECTION(g_object_ref(connection))),
      socket_(socket != nullptr ? G_SOCKET(g_object_ref(socket)) : nullptr),
      peer_(std::move(peer)),
      received_(std::move(received)),
      closed_(std::move(closed)) {
    soup_websocket_connection_set_max_incoming_payload_size(connection, kMaxMessageBytes);
    // Pings keep idle connections through routers that drop quiet ones, and
    // let a page that went away without closing be noticed by the kernel.
    soup_websocket_connection_set_keepalive_interval(connection, kKeepaliveSeconds);
    messageHandler_ = g_signal_connect(connection, "message", G_CALLBACK(onMessage), this);
    closedHandler_ = g_signal_connect(connection, "closed", G_CALLBACK(onClosed), this);
}

WebRemoteClient::~WebRemoteClient() {
    disconnectSignals();
    if (soup_websocket_connection_get_state(connection_.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
        soup_websocket_connection_close(connection_.get(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY,
                                        "the web remote stopped");
    }
}

void WebRemoteClient::disconnectSignals() {
    if (messageHandler_ != 0) g_signal_handler_disconnect(connection_.get(), messageHandler_);
    if (closedHandler_ != 0) g_signal_handler_disconnect(connection_.get(), closedHandler_);
    messageHandler_ = closedHandler_ = 0;
}

void WebRemoteClient::send(const std::string& text) {
    if (closing_ ||
        soup_websocket_connection_get_state(connection_.get()) != SOUP_WEBSOCKET_STATE_OPEN) {
        return;
    }
    soup_websocket_connection_send_text(connection_.get(), text.c_str());
}

void WebRemoteClient::sendState(const std::string& text, Clock::time_point now) {
    if (heldState_ || unsentBytes() > kMaxUnsentBytes) {
        if (heldState_) ++statesHeldBack_;
        heldState_ = text;
        if (!behindSince_) behindSince_ = now;
        return;
    }
    behindSince_.reset();
    send(text);
}

WebRemoteClient::Flush WebRemoteClient::flush(Clock::time_point now) {
    if (!heldState_) return Flush::Done;
    if (unsentBytes() <= kMaxUnsentBytes) {
        send(*heldState_);
        heldState_.reset();
        behindSince_.reset();
        return Flush::Done;
    }
    return behindSince_ && now - *behindSince_ >= kStalledLimit ? Flush::Stalled : Flush::Holding;
}

void WebRemoteClient::cut() {
    heldState_.reset();
    // Its close frame would wait behind everything the page did not read, so
    // the connection is cut rather than closed in turn.
    close(SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "the page stopped reading");
    g_io_stream_close(soup_websocket_connection_get_io_stream(connection_.get()), nullptr, nullptr);
    finish();
}

bool WebRemoteClient::takeToken(Clock::time_point now) {
    if (lastToken_) {
        const double seconds = std::chrono::duration<double>(now - *lastToken_).count();
        tokens_ = std::min(kMessageBurst, tokens_ + std::max(0.0, seconds) * kMessagesPerSecond);
    }
    lastToken_ = now;
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
}

void WebRemoteClient::close(gushort code, const char* reason) {
    if (closing_) return;
    closing_ = true;
    if (soup_websocket_connection_get_state(connection_.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
        soup_websocket_connection_close(connection_.get(), code, reason);
    }
}

std::size_t WebRemoteClient::unsentBytes() const {
    if (!socket_) return 0;
    int queued = 0;
    if (::ioctl(g_socket_get_fd(socket_.get()), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
}

void WebRemoteClient::onMessage(SoupWebsocketConnection* /*connection*/, gint type, GBytes* message,
                                gpointer self) {
    auto* client = static_cast<WebRemoteClient*>(self);
    if (client->closing_) return;
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(message, &size));
    if (type != SOUP_WEBSOCKET_DATA_TEXT) {
        client->send(web_remote::errorMessage("messages are JSON text"));
        return;
    }
    client->received_(*client, std::string_view(data != nullptr ? data : "", size));
}

void WebRemoteClient::onClosed(SoupWebsocketConnection* /*connection*/, gpointer self) {
    static_cast<WebRemoteClient*>(self)->finish();
}

void WebRemoteClient::finish() {
    if (finished_) return;
    finished_ = true;
    closing_ = true;
    disconnectSignals();
    closed_(*this);
}

}  // namespace bw
