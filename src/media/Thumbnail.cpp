#include "media/Thumbnail.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstring>
#include <utility>

#include "platform/Fatal.h"
#include "platform/FileTypes.h"
#include "platform/GLibHandle.h"
#include "platform/GstHandle.h"
#include "platform/Resources.h"

namespace bw {
namespace {

// How long a movie may take to open, to seek and to deliver its frame.
constexpr GstClockTime kMovieStepTimeout = 5 * GST_SECOND;

// A pipeline that is stopped (state NULL) before it is released.
struct StoppedPipelineDeleter {
    void operator()(GstElement* pipeline) const noexcept {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
};
using PipelinePtr = std::unique_ptr<GstElement, StoppedPipelineDeleter>;

// GStreamer, initialised once per process; false when it cannot be.
bool gstreamerReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = gst_init_check(nullptr, nullptr, nullptr) == TRUE; });
    return ready;
}

// Waits for the pipeline's pending state change to complete; false on an
// error or when it takes longer than kMovieStepTimeout.
bool waitForAsyncDone(GstElement* pipeline) {
    GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline));
    GstMessagePtr message(gst_bus_timed_pop_filtered(
        bus.get(), kMovieStepTimeout,
        static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR)));
    return message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ASYNC_DONE;
}

// Copies a pixbuf as straight RGBA, adding opaque alpha when it has none.
ThumbnailImageRef imageFromPixbuf(GdkPixbuf* pixbuf) {
    GObjectPtr<GdkPixbuf> withAlpha(gdk_pixbuf_add_alpha(pixbuf, FALSE, 0, 0, 0));
    if (!withAlpha || gdk_pixbuf_get_n_channels(withAlpha.get()) != 4 ||
        gdk_pixbuf_get_bits_per_sample(withAlpha.get()) != 8) {
        return nullptr;
    }
    auto image = std::make_shared<ThumbnailImage>();
    image->width = gdk_pixbuf_get_width(withAlpha.get());
    image->height = gdk_pixbuf_get_height(withAlpha.get());
    const auto rowBytes = static_cast<std::size_t>(image->width) * 4;
    const auto stride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(withAlpha.get()));
    const guint8* pixels = gdk_pixbuf_read_pixels(withAlpha.get());
    image->rgba.resize(rowBytes * static_cast<std::size_t>(image->height));
    for (std::size_t y = 0; y < static_cast<std::size_t>(image->height); ++y) {
        std::memcpy(image->rgba.data() + y * rowBytes, pixels + y * stride, rowBytes);
    }
    return image;
}

}  // namespace

Thumbnail& Thumbnail::shared() {
    static Thumbnail* const cache = new Thumbnail();
    return *cache;
}

ThumbnailImageRef Thumbnail::thumbnailForURL(const MediaURL& url) {
    if (!url.isFileURL()) return missingImage();
    const std::string& key = url.path();
    {
        std::lock_guard lock(mutex_);
        if (auto found = cache_.find(key); found != cache_.end()) return found->second;
    }
    ThumbnailImageRef made;
    switch (FileTypes::kindOf(url)) {
        case MediaKind::Movie:
            made = makeMovieThumbnail(key);
            break;
        case MediaKind::Image:
            made = makeImageThumbnail(key);
            break;
        case MediaKind::None:
            break;
    }
    if (!made) return missingImage();
    std::lock_guard lock(mutex_);
    ++madeCount_;
    return cache_.emplace(key, std::move(made)).first->second;
}

std::size_t Thumbnail::cachedCount() const {
    std::lock_guard lock(mutex_);
    return cache_.size();
}

std::size_t Thumbnail::madeCount() const {
    std::lock_guard lock(mutex_);
    return madeCount_;
}

ThumbnailImageRef Thumbnail::missingImage() {
    static const ThumbnailImageRef missing = [] {
        const auto path = Resources::path("images", "missing", "png");
        GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
        ThumbnailImageRef image = pixbuf ? imageFromPixbuf(pixbuf.get()) : nullptr;
        if (!image) {
            std::string message = "cannot read the image ";
            message.append(path.string());
            fatalError(message);
        }
        return image;
    }();
    return missing;
}

ThumbnailImageRef Thumbnail::makeImageThumbnail(const std::string& path) {
    GObjectPtr<GdkPixbuf> loaded(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
    if (!loaded) return nullptr;
    GObjectPtr<GdkPixbuf> upright(gdk_pixbuf_apply_embedded_orientation(loaded.get()));
    if (!upright) return nullptr;
    // Stretched to the square, whatever the picture's proportions.
    GObjectPtr<GdkPixbuf> scaled(
        gdk_pixbuf_scale_simple(upright.get(), kSize, kSize, GDK_INTERP_HYPER));
    return scaled ? imageFromPixbuf(scaled.get()) : nullptr;
}

ThumbnailImageRef Thumbnail::makeMovieThumbnail(const std::string& path) {
    if (!gstreamerReady()) return nullptr;
    GCharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    if (!uri) return nullptr;
    GError* rawError = nullptr;
    GstElement* launched = gst_parse_launch(
        "uridecodebin name=source ! videoconvert ! videoflip video-direction=auto"
        " ! videoscale method=lanczos add-borders=false"
        " ! video/x-raw,format=RGBA,width=80,height=80 ! appsink name=sink sync=false",
        &rawError);
    GErrorPtr error(rawError);
    if (launched == nullptr) return nullptr;
    PipelinePtr pipeline(GST_ELEMENT(gst_object_ref_sink(launched)));
    if (error) return nullptr;
    GstObjectPtr<GstElement> source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    GstObjectPtr<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    if (!source || !sink) return nullptr;
    g_object_set(source.get(), "uri", uri.get(), nullptr);

    if (gst_element_set_state(pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE ||
        !waitForAsyncDone(pipeline.get())) {
        return nullptr;
    }
    // Turned upright by the movie's orientation tag (videoflip), as the
    // outputs show it. One tenth of the way in, exactly; a movie of unknown length gives its
    // first frame.
    gint64 duration = 0;
    if (gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0) {
        const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
        if (!gst_element_seek_simple(pipeline.get(), GST_FORMAT_TIME, flags, duration / 10) ||
            !waitForAsyncDone(pipeline.get())) {
            return nullptr;
        }
    }
    GstSamplePtr sample(gst_app_sink_try_pull_preroll(GST_APP_SINK(sink.get()), kMovieStepTimeout));
    if (!sample) return nullptr;
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (buffer == nullptr || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())) ||
        GST_VIDEO_INFO_WIDTH(&info) != kSize || GST_VIDEO_INFO_HEIGHT(&info) != kSize) {
        return nullptr;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return nullptr;
    auto image = std::make_shared<ThumbnailImage>();
    image->width = kSize;
    image->height = kSize;
    const std::size_t rowBytes = static_cast<std::size_t>(kSize) * 4;
    const auto stride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
    const auto* pixels = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    image->rgba.resize(rowBytes * kSize);
    for (std::size_t y = 0; y < static_cast<std::size_t>(kSize); ++y) {
        std::memcpy(image->rgba.data() + y * rowBytes, pixels + y * stride, rowBytes);
    }
    gst_video_frame_unmap(&frame);
    return image;
}

}  // namespace bw
