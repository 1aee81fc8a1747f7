#include "media/support/SoundServer.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/SoundSinks.h"
#include "support/Deadline.h"

namespace bw::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

SoundServer::SoundServer() {
    const std::filesystem::path state = dir_.path() / "state";
    const std::string bus = "unix:path=" + (dir_.path() / "bus").string();
    const std::pair<const char*, std::string> environment[] = {
        {"DBUS_SESSION_BUS_ADDRESS", bus},
        {"XDG_STATE_HOME", state.string()},
        {"XDG_CONFIG_HOME", (dir_.path() / "config").string()},
        // Named outright, so that no client starts a server of its own
        // where none answers.
        {"PULSE_SERVER", "unix:" + (pipewire_.runtimeDir() / "pulse" / "native").string()},
        {"PULSE_SINK", ""},
    };
    for (const auto& [name, value] : environment) {
        const char* before = std::getenv(name);
        savedEnvironment_.emplace_back(
            name, before != nullptr ? std::optional<std::string>(before) : std::nullopt);
        if (value.empty()) {
            ::unsetenv(name);
        } else {
            ::setenv(name, value.c_str(), 1);
        }
    }
}

SoundServer::~SoundServer() {
    pulse_.stop(SIGTERM, 3s);
    sessionManager_.stop(SIGTERM, 3s);
    bus_.stop(SIGTERM, 3s);
    pipewire_.stop();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

std::vector<std::string> SoundServer::missingPrograms() {
    std::vector<std::string> missing;
    for (const char* program :
         {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pw-link"}) {
        if (!programOnPath(program)) missing.emplace_back(program);
    }
    return missing;
}

std::optional<std::string> SoundServer::start() {
    const std::filesystem::path socket = dir_.path() / "bus";
    bus_ = ChildProcess({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                         "--address=unix:path=" + socket.string()},
                        -1, dir_.path() / "dbus.log");
    if (!waitFor([&] { return std::filesystem::exists(socket); }, scaled(10s))) {
        return "the session bus did not start: " + readAll(dir_.path() / "dbus.log");
    }
    if (!pipewire_.start()) return "pipewire did not start: " + pipewire_.log();
    sessionManager_ = ChildProcess({"wireplumber"}, -1, dir_.path() / "wireplumber.log");
    pulse_ = ChildProcess({"pipewire-pulse"}, -1, dir_.path() / "pipewire-pulse.log");
    if (!waitFor([] { return SoundSinks::list().has_value(); }, scaled(10s))) {
        return "the PulseAudio server did not answer: " + log();
    }
    if (!sessionManager_.running()) return "wireplumber ended: " + log();
    return std::nullopt;
}

bool SoundServer::addSink(const std::string& name, const std::string& description, int priority,
                          std::chrono::milliseconds timeout) {
    const std::string properties = "{ factory.name=support.null-audio-sink node.name=\"" + name +
                                   "\" node.description=\"" + description +
                                   "\" media.class=Audio/Sink object.linger=true "
                                   "audio.position=[ FL FR ] priority.session=" +
                                   std::to_string(priority) +
                                   " priority.driver=" + std::to_string(priority) + " }";
    if (!runAndCapture({"pw-cli", "create-node", "adapter", properties}, timeout)) return false;
    return waitFor(
        [&] {
            const std::optional<std::vector<SoundSink>> sinks = SoundSinks::list();
            return sinks && SoundSinks::contains(*sinks, name);
        },
        timeout);
}

bool SoundServer::hasInput(const std::string& name) {
    // pw-link -l prints each port, then "  |<- source:port" for each link
    // into it.
    const std::optional<std::string> links = runAndCapture({"pw-link", "-l"}, 10s);
    if (!links) return false;
    std::istringstream lines(*links);
    std::string line;
    bool inSink = false;
    while (std::getline(lines, line)) {
        if (!line.starts_with(' ')) {
            inSink = line.starts_with(name + ":playback_");
        } else if (inSink && line.find("|<-") != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string SoundServer::log() const {
    return pipewire_.log() + readAll(dir_.path() / "wireplumber.log") +
           readAll(dir_.path() / "pipewire-pulse.log");
}

std::optional<double> recordPeak(const std::string& name, int intervals,
                                 std::chrono::milliseconds timeout) {
    const std::string description = "pulsesrc device=\"" + name +
                                    ".monitor\" ! audioconvert ! level interval=100000000 "
                                    "post-messages=true ! fakesink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
        g_error_free(error);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return std::nullopt;
    }
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::optional<double> peak;
    int seen = 0;
    const auto deadline = SteadyClock::now() + timeout;
    while (seen < intervals && SteadyClock::now() < deadline) {
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 100 * GST_MSECOND,
            static_cast<GstMessageType>(GST_MESSAGE_ELEMENT | GST_MESSAGE_ERROR));
        if (message == nullptr) continue;
        const GstStructure* structure = gst_message_get_structure(message);
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            gst_message_unref(message);
            break;
        }
        if (structure != nullptr && gst_structure_has_name(structure, "level")) {
            ++seen;
            // The level element gives one peak per channel in a GValueArray,
            // a type GLib keeps only for such older interfaces.
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            const GValue* peaks = gst_structure_get_value(structure, "peak");
            const auto* array = static_cast<GValueArray*>(g_value_get_boxed(peaks));
            for (guint i = 0; array != nullptr && i < array->n_values; ++i) {
                const double value = g_value_get_double(&array->values[i]);
                peak = std::max(peak.value_or(value), value);
            }
            G_GNUC_END_IGNORE_DEPRECATIONS
        }
        gst_message_unref(message);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    if (seen < intervals) return std::nullopt;
    return peak;
}

}  // namespace bw::test
