#pragma once

// Owning handles for the GStreamer objects the media and platform layers
// hold: move-only std::unique_ptrs whose deleters drop one reference.

#include <gst/gst.h>

#include <memory>

namespace bw {

struct GstObjectDeleter {
    void operator()(gpointer object) const noexcept { gst_object_unref(object); }
};
struct GstMessageDeleter {
    void operator()(GstMessage* message) const noexcept { gst_message_unref(message); }
};
struct GstSampleDeleter {
    void operator()(GstSample* sample) const noexcept { gst_sample_unref(sample); }
};
struct GstCapsDeleter {
    void operator()(GstCaps* caps) const noexcept { gst_caps_unref(caps); }
};

// Elements, pads, buses, clocks: anything gst_object_unref releases.
template <typename T>
using GstObjectPtr = std::unique_ptr<T, GstObjectDeleter>;
using GstMessagePtr = std::unique_ptr<GstMessage, GstMessageDeleter>;
using GstSamplePtr = std::unique_ptr<GstSample, GstSampleDeleter>;
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsDeleter>;

}  // namespace bw
