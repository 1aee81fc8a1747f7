#include "media/AudioOutput.h"

#include <gst/gst.h>

#include <cstdlib>
#include <utility>

#include "platform/SoundSinks.h"
#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr const char* kSilent = "fakesink";
// The one candidate that takes a sound server's output by name.
constexpr const char* kServerSink = "pulsesink";

// Whether the sound server has an output named `name`.
bool serverHas(const std::string& name) {
    const std::optional<std::vector<SoundSink>> sinks = SoundSinks::list();
    return sinks && SoundSinks::contains(*sinks, name);
}

// An unsynchronised sink would race through the movie's segments.
void synchronise(GstElement* sink) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "sync") != nullptr) {
        g_object_set(sink, "sync", TRUE, nullptr);
    }
}

// Every sink inside a bin made from a description.
void synchroniseSinks(GstBin* bin) {
    GstIterator* sinks = gst_bin_iterate_sinks(bin);
    gst_iterator_foreach(
        sinks,
        [](const GValue* item, gpointer) { synchronise(GST_ELEMENT(g_value_get_object(item))); },
        nullptr);
    gst_iterator_free(sinks);
}

}  // namespace

AudioOutput::AudioOutput(std::vector<std::string> candidates, std::string override)
    : candidates_(std::move(candidates)), override_(std::move(override)) {}

AudioOutput& AudioOutput::shared() {
    // Never destroyed: players may still make sinks while the process exits.
    static AudioOutput& output = []() -> AudioOutput& {
        auto* made = new AudioOutput({"pulsesink", "alsasink"});
        made->readsEnvironment_ = true;
        return *made;
    }();
    return output;
}

GstElement* AudioOutput::makeOverride(const std::string& override) {
    GstElement* sink = nullptr;
    std::string reason = "no audio element named " + override;
    if (override.find_first_of("! ") != std::string::npos) {
        GError* error = nullptr;
        sink = gst_parse_bin_from_description(override.c_str(), TRUE, &error);
        if (error != nullptr) {
            reason = "the audio pipeline \"" + override + "\" cannot be made: " + error->message;
            g_error_free(error);
            if (sink != nullptr) {
                gst_object_unref(gst_object_ref_sink(sink));
                sink = nullptr;
            }
        }
        if (sink != nullptr) synchroniseSinks(GST_BIN(sink));
    } else {
        sink = gst_element_factory_make(override.c_str(), nullptr);
        if (sink != nullptr) synchronise(sink);
    }
    if (sink == nullptr && failedOverride_ != override) {
        failedOverride_ = override;
        SystemLog::shared().log("Warning: " + reason + ", using the system's sound output");
    }
    return sink;
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
    std::string override = override_;
    if (readsEnvironment_) {
        const char* named = std::getenv("BEAMWRIGHT_AUDIO_SINK");
        override = named != nullptr ? named : "";
    }
    if (!override.empty()) {
        if (GstElement* sink = makeOverride(override)) return sink;
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
        if (!target_.empty() && chosen_ == kServerSink) {
            g_object_set(sink, "device", target_.c_str(), nullptr);
        }
    }
    if (!target_.empty()) noteTarget(chosen_ == kServerSink && serverHas(target_));
    return sink;
}

void AudioOutput::noteTarget(bool present) {
    if (targetMissing_ == !present) return;
    targetMissing_ = !present;
    if (targetMissing_) {
        SystemLog::shared().log("Warning: the sound output \"" + target_ +
                                "\" is not there; movies play through the system default");
    } else {
        SystemLog::shared().log("Sound output \"" + target_ + "\" is there again");
    }
}

void AudioOutput::setTarget(const std::string& name) {
    // Asked before the lock: a sink made meanwhile need not wait for the server.
    const bool present = name.empty() || serverHas(name);
    std::lock_guard lock(mutex_);
    if (name != target_) {
        target_ = name;
        targetMissing_ = false;
    }
    if (!target_.empty()) noteTarget(present);
}

std::string AudioOutput::target() const {
    std::lock_guard lock(mutex_);
    return target_;
}

std::optional<std::string> AudioOutput::missingTarget() const {
    std::lock_guard lock(mutex_);
    if (!targetMissing_) return std::nullopt;
    return target_;
}

std::optional<std::string> AudioOutput::problem() const {
    std::lock_guard lock(mutex_);
    if (chosen_ != kSilent) return std::nullopt;
    return std::string("no sound server or sound card answered");
}

std::string AudioOutput::chosen() const {
    std::lock_guard lock(mutex_);
    return chosen_;
}

}  // namespace bw
