#include "media/AudioOutput.h"

#include <gst/gst.h>

#include <cstdlib>
#include <utility>

#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr const char* kSilent = "fakesink";

// An unsynchronised sink would race through the movie's segments.
void synchronise(GstElement* sink) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "sync") != nullptr) {
        g_object_set(sink, "sync", TRUE, nullptr);
    }
}

std::string overrideFromEnvironment() {
    const char* name = std::getenv("BEAMWRIGHT_AUDIO_SINK");
    return name != nullptr ? name : "";
}

}  // namespace

AudioOutput::AudioOutput(std::vector<std::string> candidates, std::string override)
    : candidates_(std::move(candidates)), override_(std::move(override)) {}

AudioOutput& AudioOutput::shared() {
    static AudioOutput output({"pulsesink", "alsasink"}, overrideFromEnvironment());
    return output;
}

std::string AudioOutput::probe() const {
    for (const std::string& name : candidates_) {
        GstElement* sink = gst_element_factory_make(name.c_str(), nullptr);
        if (sink == nullptr) {
            continue;
        }
        gst_object_ref_sink(sink);
        bool opens = gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS;
        gst_element_set_state(sink, GST_STATE_NULL);
        gst_object_unref(sink);
        if (opens) {
            return name;
        }
    }
    return kSilent;
}

GstElement* AudioOutput::makeSink() {
    std::lock_guard lock(mutex_);
    if (!override_.empty()) {
        if (GstElement* sink = gst_element_factory_make(override_.c_str(), nullptr)) {
            synchronise(sink);
            return sink;
        }
        SystemLog::shared().log("Warning: no audio element named " + override_ +
                                ", using the system's sound output");
        override_.clear();
    }

    std::string before = chosen_;
    if (chosen_.empty() || chosen_ == kSilent) {
        chosen_ = probe();
    }
    if (chosen_ != before) {
        if (chosen_ == kSilent) {
            SystemLog::shared().log(
                "Warning: no sound output: no sound server or sound card answered; movies play "
                "silent");
        } else if (before == kSilent) {
            SystemLog::shared().log("Sound output is back: movies play their sound through " +
                                    chosen_);
        }
    }

    GstElement* sink = gst_element_factory_make(chosen_.c_str(), nullptr);
    if (sink == nullptr) {
        sink = gst_element_factory_make(kSilent, nullptr);
    }
    if (sink != nullptr) {
        synchronise(sink);
    }
    return sink;
}

std::string AudioOutput::chosen() const {
    std::lock_guard lock(mutex_);
    return chosen_;
}

}  // namespace bw
