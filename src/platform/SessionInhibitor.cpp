#include "platform/SessionInhibitor.h"

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/GLibHandle.h"
#include "platform/SessionBus.h"
#include "platform/SystemLog.h"

namespace bw {
namespace {

constexpr const char* kScreenSaverName = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kPortalInhibit = "org.freedesktop.portal.Inhibit";
constexpr const char* kPortalRequest = "org.freedesktop.portal.Request";

// The portal's flags: logout 1, user switch 2, suspend 4, idle 8.
constexpr std::uint32_t kPortalLogout = 1;
constexpr std::uint32_t kPortalSuspendAndIdle = 4 | 8;

constexpr int kCallTimeoutMs = 5000;

// What the desktop granted: nothing, a screen saver cookie, or a portal
// request to close.
struct Grant {
    enum class Kind { none, screenSaverCookie, portalRequest };
    Kind kind = Kind::none;
    std::uint32_t cookie = 0;
    std::string handle;
};

}  // namespace

struct SessionInhibitor::State : std::enable_shared_from_this<State> {
    Kind kind = Kind::IdleAndSuspend;
    std::string reason;
    GObjectPtr<GDBusConnection> bus;
    bool wanted = false;
    bool pending = false;  // a request is on its way
    Grant grant;

    // Sends `method` with `parameters`; `answer` gets the reply (or null) and
    // the error, on the main loop, with this state kept alive meanwhile.
    template <typename Answer>
    void call(const char* name, const char* path, const char* interface, const char* method,
              GVariant* parameters, const GVariantType* replyType, Answer answer) {
        struct Context {
            std::shared_ptr<State> state;
            Answer answer;
        };
        auto* context = new Context{shared_from_this(), std::move(answer)};
        g_dbus_connection_call(
            bus.get(), name, path, interface, method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
            kCallTimeoutMs, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Context> owned(static_cast<Context*>(data));
                GError* error = nullptr;
                GVariant* reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                GErrorPtr ownedError(error);
                owned->answer(*owned->state, reply, error);
                if (reply != nullptr) g_variant_unref(reply);
            },
            context);
    }

    void request() {
        pending = true;
        if (kind == Kind::IdleAndSuspend) {
            call(kScreenSaverName, kScreenSaverPath, kScreenSaverName, "Inhibit",
                 g_variant_new("(ss)", kApplicationName, reason.c_str()), G_VARIANT_TYPE("(u)"),
                 [](State& state, GVariant* reply, GError* error) {
                     if (reply == nullptr) {
                         // No screen saver service: the portal is the other way.
                         state.requestFromPortal(kPortalSuspendAndIdle, error);
                         return;
                     }
                     std::uint32_t cookie = 0;
                     g_variant_get(reply, "(u)", &cookie);
                     state.granted(Grant{Grant::Kind::screenSaverCookie, cookie, {}});
                 });
        } else {
            requestFromPortal(kPortalLogout, nullptr);
        }
    }

    void requestFromPortal(std::uint32_t flags, const GError* earlier) {
        std::string earlierReason = earlier != nullptr ? earlier->message : "";
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "reason", g_variant_new_string(reason.c_str()));
        call(kPortalName, kPortalPath, kPortalInhibit, "Inhibit",
             g_variant_new("(sua{sv})", "", flags, &options), G_VARIANT_TYPE("(o)"),
             [earlierReason](State& state, GVariant* reply, GError* error) {
                 if (reply == nullptr) {
                     state.pending = false;
                     std::string line = "SessionInhibitor: the desktop does not hold off ";
                     line += state.kind == Kind::Logout ? "logging out" : "the screen saver";
                     line += ": ";
                     line += error != nullptr ? error->message : "no answer";
                     if (!earlierReason.empty()) line += "; " + earlierReason;
                     SystemLog::shared().log(line);
                     return;
                 }
                 const gchar* handle = nullptr;
                 g_variant_get(reply, "(&o)", &handle);
                 state.granted(Grant{Grant::Kind::portalRequest, 0, handle});
             });
    }

    // An answer granting `what`: kept while wanted, else given back at once.
    void granted(Grant what) {
        pending = false;
        grant = std::move(what);
        if (!wanted) release();
    }

    void release() {
        if (grant.kind == Grant::Kind::screenSaverCookie) {
            call(kScreenSaverName, kScreenSaverPath, kScreenSaverName, "UnInhibit",
                 g_variant_new("(u)", grant.cookie), nullptr, [](State&, GVariant*, GError*) {});
        } else if (grant.kind == Grant::Kind::portalRequest) {
            call(kPortalName, grant.handle.c_str(), kPortalRequest, "Close", nullptr, nullptr,
                 [](State&, GVariant*, GError*) {});
        }
        grant = Grant{};
    }
};

SessionInhibitor::SessionInhibitor(Kind kind, std::string reason, std::string busAddress)
    : state_(std::make_shared<State>()) {
    state_->kind = kind;
    state_->reason = std::move(reason);
    std::string failure;
    state_->bus = SessionBus::connect(busAddress, &failure);
    if (!state_->bus) {
        std::string line = "SessionInhibitor: no session bus, so ";
        line += kind == Kind::Logout ? "logging out" : "the screen saver";
        line += " is not held off: ";
        line += failure;
        SystemLog::shared().log(line);
    }
}

SessionInhibitor::~SessionInhibitor() {
    setHeld(false);
}

void SessionInhibitor::setHeld(bool held) {
    State& state = *state_;
    if (held == state.wanted) return;
    state.wanted = held;
    if (!state.bus) return;
    if (held) {
        if (!state.pending && state.grant.kind == Grant::Kind::none) state.request();
    } else if (!state.pending) {
        state.release();
    }
}

bool SessionInhibitor::isHeld() const {
    return state_->wanted;
}

bool SessionInhibitor::isGranted() const {
    return state_->wanted && state_->grant.kind != Grant::Kind::none;
}

}  // namespace bw
