#include "platform/SessionBus.h"

namespace bw {

GObjectPtr<GDBusConnection> SessionBus::connect(const std::string& address, std::string* failure) {
    GError* error = nullptr;
    GObjectPtr<GDBusConnection> bus;
    if (address.empty()) {
        bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    } else {
        const auto flags =
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        bus.reset(g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr,
                                                         &error));
    }
    GErrorPtr owned(error);
    if (!bus && failure != nullptr) *failure = error != nullptr ? error->message : "unknown error";
    return bus;
}

}  // namespace bw
