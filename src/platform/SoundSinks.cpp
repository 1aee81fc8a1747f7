#include "platform/SoundSinks.h"

#include <gst/gst.h>

#include <algorithm>
#include <mutex>
#include <tuple>

namespace bw {

namespace {

void initGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::string stringProperty(GObject* object, const char* name) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) == nullptr) return {};
    gchar* value = nullptr;
    g_object_get(object, name, &value, nullptr);
    std::string text = value != nullptr ? value : "";
    g_free(value);
    return text;
}

// The provider lists nothing both where the server has no sinks and where
// there is no server; a sink that connects tells the two apart. It is asked
// first: the provider's probe, where no server answers it, keeps the client
// context it made for good, and the list is asked for again and again (each
// look at the patch view, each movie that plays to a chosen output).
bool serverAnswers() {
    GstElement* sink = gst_element_factory_make("pulsesink", nullptr);
    if (sink == nullptr) return false;
    gst_object_ref_sink(sink);
    const bool opens = gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS;
    gst_element_set_state(sink, GST_STATE_NULL);
    gst_object_unref(sink);
    return opens;
}

}  // namespace

std::optional<std::vector<SoundSink>> SoundSinks::list() {
    initGStreamer();
    if (!serverAnswers()) return std::nullopt;
    GstDeviceProvider* provider = gst_device_provider_factory_get_by_name("pulsedeviceprovider");
    if (provider == nullptr) return std::nullopt;
    std::vector<SoundSink> sinks;
    GList* devices = gst_device_provider_get_devices(provider);
    for (GList* item = devices; item != nullptr; item = item->next) {
        GstDevice* device = GST_DEVICE(item->data);
        if (!gst_device_has_classes(device, "Audio/Sink")) continue;
        SoundSink sink;
        sink.name = stringProperty(G_OBJECT(device), "internal-name");
        if (sink.name.empty()) continue;
        gchar* description = gst_device_get_display_name(device);
        sink.description = description != nullptr ? description : sink.name;
        g_free(description);
        sinks.push_back(std::move(sink));
    }
    g_list_free_full(devices, gst_object_unref);
    gst_object_unref(provider);
    std::sort(sinks.begin(), sinks.end(), [](const SoundSink& a, const SoundSink& b) {
        return std::tie(a.description, a.name) < std::tie(b.description, b.name);
    });
    return sinks;
}

bool SoundSinks::contains(const std::vector<SoundSink>& sinks, const std::string& name) {
    return std::any_of(sinks.begin(), sinks.end(),
                       [&](const SoundSink& sink) { return sink.name == name; });
}

}  // namespace bw
