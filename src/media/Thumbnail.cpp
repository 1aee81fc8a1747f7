#include "media/Thumbnail.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Fatal.h"
#include "platform/FileTypes.h"
#include "platform/GLibHandle.h"
#include "platform/GstHandle.h"
#include "platform/Resources.h"
#include "platform/SystemLog.h"

namespace bw {
namespace {

// How long a movie may take to open, to seek and to deliver its frame.
constexpr GstClockTime kMovieStepTimeout = 5 * GST_SECOND;

// A disk file: kMagic, then the format version, width and height (32 bits
// each, little-endian), then the RGBA rows. A new version (a change of the
// layout or of how thumbnails are made) also changes every file's name.
constexpr std::array<char, 4> kMagic = {'B', 'W', 'T', 'N'};
constexpr std::uint32_t kDiskFormatVersion = 1;
constexpr std::size_t kDiskHeaderBytes = 16;
constexpr std::size_t kThumbnailBytes = std::size_t{Thumbnail::kSize} * Thumbnail::kSize * 4;

void appendWord(std::string& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xffu));
    }
}

std::uint32_t wordAt(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

std::string encodeDiskFile(const ThumbnailImage& image) {
    std::string bytes(kMagic.begin(), kMagic.end());
    appendWord(bytes, kDiskFormatVersion);
    appendWord(bytes, static_cast<std::uint32_t>(image.width));
    appendWord(bytes, static_cast<std::uint32_t>(image.height));
    bytes.append(reinterpret_cast<const char*>(image.rgba.data()), image.rgba.size());
    return bytes;
}

// The thumbnail in a disk file; null when the file is missing or is not a
// whole thumbnail of this version and size.
ThumbnailImageRef readDiskFile(const std::filesystem::path& file) {
    gchar* raw = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &raw, &length, nullptr)) return nullptr;
    GCharPtr contents(raw);
    if (length != kDiskHeaderBytes + kThumbnailBytes ||
        std::memcmp(raw, kMagic.data(), kMagic.size()) != 0 ||
        wordAt(raw + 4) != kDiskFormatVersion || wordAt(raw + 8) != Thumbnail::kSize ||
        wordAt(raw + 12) != Thumbnail::kSize) {
        return nullptr;
    }
    auto image = std::make_shared<ThumbnailImage>();
    image->width = Thumbnail::kSize;
    image->height = Thumbnail::kSize;
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(raw + kDiskHeaderBytes);
    image->rgba.assign(pixels, pixels + kThumbnailBytes);
    return image;
}

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

// One decoding thread: a decoder with several decodes frames ahead before it
// gives out the first, which is all a thumbnail needs (about half the time
// measured on a 1080p H.264 movie).
void decodeOnOneThread(GstBin* /*bin*/, GstBin* /*subBin*/, GstElement* element,
                       gpointer /*data*/) {
    GParamSpec* threads = g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads");
    if (threads != nullptr && threads->value_type == G_TYPE_INT) {
        g_object_set(element, "max-threads", 1, nullptr);
    }
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

Thumbnail::Thumbnail(std::filesystem::path diskCache) : diskCache_(std::move(diskCache)) {}

Thumbnail& Thumbnail::shared() {
    static Thumbnail* const cache = new Thumbnail(diskCacheFolder());
    return *cache;
}

std::filesystem::path Thumbnail::diskCacheFolder() {
    return std::filesystem::path(g_get_user_cache_dir()) / "beamwright" / "thumbnails";
}

std::filesystem::path Thumbnail::diskFileFor(const std::string& path) const {
    if (diskCache_.empty()) return {};
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return {};
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return {};
    const auto modified = static_cast<long long>(status.st_mtim.tv_sec) * 1'000'000'000LL +
                          static_cast<long long>(status.st_mtim.tv_nsec);
    std::string key = "beamwright thumbnail\n";
    key.append(absolute.string()).push_back('\n');
    key.append(std::to_string(static_cast<long long>(status.st_size))).push_back('\n');
    key.append(std::to_string(modified)).push_back('\n');
    key.append(std::to_string(kSize)).push_back('\n');
    key.append(std::to_string(kDiskFormatVersion));
    GCharPtr digest(g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size()));
    return diskCache_ / digest.get();
}

void Thumbnail::writeToDisk(const std::filesystem::path& file, const ThumbnailImage& image) {
    std::string failure;
    if (g_mkdir_with_parents(diskCache_.c_str(), 0700) != 0) {
        failure = std::strerror(errno);
    } else {
        // A new file is renamed into place whole; only one that replaces an
        // existing file (a damaged one) is flushed to the disk first.
        const std::string bytes = encodeDiskFile(image);
        GError* rawError = nullptr;
        const auto flags = static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                              G_FILE_SET_CONTENTS_ONLY_EXISTING);
        if (!g_file_set_contents_full(file.c_str(), bytes.data(), static_cast<gssize>(bytes.size()),
                                      flags, 0600, &rawError)) {
            GErrorPtr error(rawError);
            failure = error ? error->message : "unknown error";
        }
    }
    if (failure.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(diskWriteFailureLogged_, true)) return;
    }
    std::string line = "Thumbnail: cannot write the thumbnail cache in ";
    line.append(diskCache_.string()).append(": ").append(failure);
    line.append("; thumbnails are made anew in each run");
    SystemLog::shared().log(line);
}

ThumbnailImageRef Thumbnail::thumbnailForURL(const MediaURL& url) {
    if (!url.isFileURL()) return missingImage();
    const std::string& key = url.path();
    {
        std::lock_guard lock(mutex_);
        if (auto found = cache_.find(key); found != cache_.end()) return found->second;
    }
    const std::filesystem::path diskFile = diskFileFor(key);
    if (!diskFile.empty()) {
        if (ThumbnailImageRef stored = readDiskFile(diskFile)) {
            std::lock_guard lock(mutex_);
            ++diskHitCount_;
            return cache_.emplace(key, std::move(stored)).first->second;
        }
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
    ThumbnailImageRef kept;
    bool inserted = false;
    {
        std::lock_guard lock(mutex_);
        ++madeCount_;
        const auto emplaced = cache_.emplace(key, std::move(made));
        kept = emplaced.first->second;
        inserted = emplaced.second;
    }
    // Written by the thread whose picture was kept, outside the lock.
    if (inserted && !diskFile.empty()) writeToDisk(diskFile, *kept);
    return kept;
}

std::size_t Thumbnail::cachedCount() const {
    std::lock_guard lock(mutex_);
    return cache_.size();
}

std::size_t Thumbnail::madeCount() const {
    std::lock_guard lock(mutex_);
    return madeCount_;
}

std::size_t Thumbnail::diskHitCount() const {
    std::lock_guard lock(mutex_);
    return diskHitCount_;
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
    // Stretched to the square, whatever the picture's proportions; a JPEG is
    // decoded at a reduced size to begin with. Turning a square afterwards
    // gives the same picture as turning first and stretching after.
    GObjectPtr<GdkPixbuf> scaled(
        gdk_pixbuf_new_from_file_at_scale(path.c_str(), kSize, kSize, FALSE, nullptr));
    if (!scaled) return nullptr;
    GObjectPtr<GdkPixbuf> upright(gdk_pixbuf_apply_embedded_orientation(scaled.get()));
    if (!upright || gdk_pixbuf_get_width(upright.get()) != kSize ||
        gdk_pixbuf_get_height(upright.get()) != kSize) {
        return nullptr;
    }
    return imageFromPixbuf(upright.get());
}

ThumbnailImageRef Thumbnail::makeMovieThumbnail(const std::string& path) {
    if (!gstreamerReady()) return nullptr;
    GCharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    if (!uri) return nullptr;
    // Only the picture is decoded (a sound track is left unplugged), scaled to
    // the square in the decoder's format, then converted at 80x80 and turned
    // upright by the movie's orientation tag (videoflip), as the outputs show
    // it; a turned square stays a square.
    GError* rawError = nullptr;
    GstElement* launched = gst_parse_launch(
        "uridecodebin name=source caps=\"video/x-raw(ANY)\" expose-all-streams=false"
        " ! videoscale method=lanczos add-borders=false ! video/x-raw,width=80,height=80"
        " ! videoconvert ! videoflip video-direction=auto"
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
    g_signal_connect(pipeline.get(), "deep-element-added", G_CALLBACK(decodeOnOneThread), nullptr);

    if (gst_element_set_state(pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE ||
        !waitForAsyncDone(pipeline.get())) {
        return nullptr;
    }
    // The key frame nearest one tenth of the way in, so that only that frame
    // is decoded; a movie of unknown length gives its first frame.
    gint64 duration = 0;
    if (gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0) {
        const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT |
                                                     GST_SEEK_FLAG_SNAP_NEAREST);
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
