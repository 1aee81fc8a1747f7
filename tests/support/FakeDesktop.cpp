#include "support/FakeDesktop.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/MainQueue.h"

namespace bw::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kIntrospection = R"(
<node>
  <interface name="org.freedesktop.ScreenSaver">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="UnInhibit"><arg type="u" direction="in"/></method>
  </interface>
  <interface name="org.freedesktop.portal.Inhibit">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="u" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
  </interface>
  <interface name="org.freedesktop.portal.Settings">
    <method name="Read">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="v" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.FileManager1">
    <method name="ShowItems">
      <arg type="as" direction="in"/><arg type="s" direction="in"/>
    </method>
  </interface>
</node>)";

}  // namespace

FakeDesktop::FakeDesktop() {
    // A bus of its own that starts no services: nothing on the machine
    // can answer in the desktop's place.
    const std::string config =
        dir_.write("bus.conf",
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                   "busconfig.dtd\"><busconfig><type>session</type>"
                   "<listen>unix:dir=" +
                       dir_.path().string() +
                       "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                       "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                       "<allow own=\"*\"/></policy>"
                       "</busconfig>")
            .string();
    const std::string configOption = "--config-file=" + config;
    gchar* argv[] = {const_cast<gchar*>("dbus-daemon"), const_cast<gchar*>(configOption.c_str()),
                     const_cast<gchar*>("--nofork"), const_cast<gchar*>("--print-address"),
                     nullptr};
    gint out = -1;
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                                  &pid_, nullptr, &out, nullptr, &error)) {
        g_error_free(error);
        return;
    }
    // The daemon prints its address, one line, once it listens.
    std::string line;
    char c = 0;
    while (::read(out, &c, 1) == 1 && c != '\n')
        line += c;
    ::close(out);
    address_ = line;
    bus_.reset(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
    info_ = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
}

FakeDesktop::~FakeDesktop() {
    for (guint id : registrations_)
        g_dbus_connection_unregister_object(bus_.get(), id);
    for (guint id : names_)
        g_bus_unown_name(id);
    bus_.reset();
    if (info_ != nullptr) g_dbus_node_info_unref(info_);
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        g_spawn_close_pid(pid_);
    }
}

void FakeDesktop::offerScreenSaver() {
    own("org.freedesktop.ScreenSaver");
    serve("/org/freedesktop/ScreenSaver", 0);
}
void FakeDesktop::offerPortal() {
    own("org.freedesktop.portal.Desktop");
    serve("/org/freedesktop/portal/desktop", 1);
}

void FakeDesktop::offerColorScheme(unsigned value, bool wrappedTwice) {
    colorScheme_ = value;
    colorSchemeWrappedTwice_ = wrappedTwice;
    own("org.freedesktop.portal.Desktop");
    serve("/org/freedesktop/portal/desktop", 3);
}

void FakeDesktop::offerFileManager() {
    own("org.freedesktop.FileManager1");
    serve("/org/freedesktop/FileManager1", 4);
}

void FakeDesktop::own(const char* name) {
    if (!owned_.insert(name).second) return;
    names_.push_back(g_bus_own_name_on_connection(bus_.get(), name, G_BUS_NAME_OWNER_FLAGS_NONE,
                                                  nullptr, nullptr, nullptr, nullptr));
    MainQueue::shared().pumpUntil([] { return false; }, 50ms);
}
void FakeDesktop::serve(const std::string& path, int interface) {
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar* objectPath, const gchar* interfaceName,
           const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
           gpointer data) {
            static_cast<FakeDesktop*>(data)->answer(objectPath, interfaceName, method, parameters,
                                                    invocation);
        },
        nullptr,
        nullptr,
        {}};
    registrations_.push_back(g_dbus_connection_register_object(
        bus_.get(), path.c_str(), info_->interfaces[interface], &vtable, this, nullptr, nullptr));
}
void FakeDesktop::answer(const std::string& path, const std::string& interface,
                         const std::string& method, GVariant* parameters,
                         GDBusMethodInvocation* invocation) {
    if (interface == "org.freedesktop.ScreenSaver" && method == "Inhibit") {
        const gchar* application = nullptr;
        const gchar* reason = nullptr;
        g_variant_get(parameters, "(&s&s)", &application, &reason);
        calls.push_back(std::string("Inhibit ") + application + "|" + reason);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 7U));
    } else if (method == "UnInhibit") {
        guint32 cookie = 0;
        g_variant_get(parameters, "(u)", &cookie);
        calls.push_back("UnInhibit " + std::to_string(cookie));
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (method == "Inhibit") {
        const gchar* window = nullptr;
        guint32 flags = 0;
        GVariant* options = nullptr;
        g_variant_get(parameters, "(&su@a{sv})", &window, &flags, &options);
        const gchar* reason = "";
        g_variant_lookup(options, "reason", "&s", &reason);
        calls.push_back("portal " + std::to_string(flags) + " " + reason);
        g_variant_unref(options);
        const std::string handle =
            "/org/freedesktop/portal/desktop/request/" + std::to_string(++requests_);
        serve(handle, 2);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", handle.c_str()));
    } else if (method == "Read") {
        const gchar* group = nullptr;
        const gchar* key = nullptr;
        g_variant_get(parameters, "(&s&s)", &group, &key);
        calls.push_back(std::string("Read ") + group + " " + key);
        GVariant* value = g_variant_new_uint32(colorScheme_);
        if (colorSchemeWrappedTwice_) value = g_variant_new_variant(value);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    } else if (method == "ShowItems") {
        GVariantIter* uris = nullptr;
        const gchar* startup = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, &startup);
        std::string call = "ShowItems";
        const gchar* uri = nullptr;
        while (g_variant_iter_next(uris, "&s", &uri))
            call += std::string(" ") + uri;
        g_variant_iter_free(uris);
        calls.push_back(call);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
        calls.push_back("Close " + path);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
}

bool FakeDesktop::waitForCalls(std::size_t count) const {
    return MainQueue::shared().pumpUntil([&] { return calls.size() >= count; }, 5s);
}

}  // namespace bw::test
