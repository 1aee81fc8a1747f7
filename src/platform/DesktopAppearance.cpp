#include "platform/DesktopAppearance.h"

#include <gio/gio.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/GLibHandle.h"
#include "platform/SessionBus.h"

namespace bw {
namespace {

struct GVariantDeleter {
    void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;

// The portal's answer, a variant that older portals wrap once more.
std::optional<unsigned> portalColorScheme(GDBusConnection* bus) {
    GVariantPtr reply(g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", "Read",
        g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, DesktopAppearance::kPortalTimeoutMs, nullptr, nullptr));
    if (!reply) return std::nullopt;
    GVariantPtr value(g_variant_get_child_value(reply.get(), 0));
    while (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_VARIANT)) {
        value.reset(g_variant_get_variant(value.get()));
    }
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return std::nullopt;
    return g_variant_get_uint32(value.get());
}

// GNOME's setting, when its schema is installed ("prefer-dark",
// "prefer-light" or "default").
DesktopAppearance::ColorScheme gnomeColorScheme() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) return DesktopAppearance::ColorScheme::NoPreference;
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (schema == nullptr) return DesktopAppearance::ColorScheme::NoPreference;
    const bool hasKey = g_settings_schema_has_key(schema, "color-scheme") != FALSE;
    g_settings_schema_unref(schema);
    if (!hasKey) return DesktopAppearance::ColorScheme::NoPreference;
    GObjectPtr<GSettings> settings(g_settings_new("org.gnome.desktop.interface"));
    GCharPtr scheme(g_settings_get_string(settings.get(), "color-scheme"));
    if (std::strcmp(scheme.get(), "prefer-dark") == 0) return DesktopAppearance::ColorScheme::Dark;
    if (std::strcmp(scheme.get(), "prefer-light") == 0) {
        return DesktopAppearance::ColorScheme::Light;
    }
    return DesktopAppearance::ColorScheme::NoPreference;
}

}  // namespace

DesktopAppearance::ColorScheme DesktopAppearance::fromPortalValue(unsigned value) {
    switch (value) {
        case 1:
            return ColorScheme::Dark;
        case 2:
            return ColorScheme::Light;
        default:
            return ColorScheme::NoPreference;
    }
}

DesktopAppearance::ColorScheme DesktopAppearance::colorScheme(const std::string& busAddress) {
    const GObjectPtr<GDBusConnection> bus = SessionBus::connect(busAddress);
    if (bus) {
        if (const std::optional<unsigned> value = portalColorScheme(bus.get())) {
            return fromPortalValue(*value);
        }
    }
    return gnomeColorScheme();
}

}  // namespace bw
