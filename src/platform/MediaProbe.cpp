#include "platform/MediaProbe.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string_view>

#include "platform/FileDescriptor.h"
#include "platform/FileTypes.h"
#include "platform/GLibHandle.h"
#include "platform/GstHandle.h"

namespace bw {
namespace {

struct GstDiscovererInfoDeleter {
    void operator()(GstDiscovererInfo* info) const noexcept { g_object_unref(info); }
};
struct GstStreamListDeleter {
    void operator()(GList* list) const noexcept { gst_discoverer_stream_info_list_free(list); }
};
struct GstFactoryListDeleter {
    void operator()(GList* list) const noexcept { gst_plugin_feature_list_free(list); }
};
using GstStreamList = std::unique_ptr<GList, GstStreamListDeleter>;
using GstFactoryList = std::unique_ptr<GList, GstFactoryListDeleter>;

void initGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::optional<std::string> pictureProblem(const std::string& path) {
    gint width = 0;
    gint height = 0;
    if (gdk_pixbuf_get_file_info(path.c_str(), &width, &height) == nullptr) {
        return "the picture does not decode (its format is not recognised)";
    }
    // The header can be fine while the pixels are not: decode it for real,
    // small, which the loaders do quickly (a JPEG at a reduction).
    GError* rawError = nullptr;
    GObjectPtr<GdkPixbuf> picture(
        gdk_pixbuf_new_from_file_at_size(path.c_str(), 64, 64, &rawError));
    GErrorPtr error(rawError);
    if (!picture) {
        return std::string("the picture does not decode (")
            .append(error ? error->message : "unknown error")
            .append(")");
    }
    return std::nullopt;
}

// Whether an installed decoder takes `caps` (anything but raw video).
bool hasVideoDecoder(const GstCaps* caps) {
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    if (structure != nullptr && gst_structure_has_name(structure, "video/x-raw")) return true;
    GstFactoryList decoders(gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_DECODER | GST_ELEMENT_FACTORY_TYPE_MEDIA_VIDEO,
        GST_RANK_MARGINAL));
    GstFactoryList takers(
        gst_element_factory_list_filter(decoders.get(), caps, GST_PAD_SINK, FALSE));
    return takers != nullptr;
}

std::string codecName(const GstCaps* caps) {
    GCharPtr description(gst_pb_utils_get_codec_description(caps));
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    std::string name = description ? description.get() : "unknown";
    if (structure != nullptr)
        name.append(" (").append(gst_structure_get_name(structure)).append(")");
    return name;
}

// The codec of a missing video decoder, from the discoverer's installer
// details ("gstreamer|1.0|APP|VP8 decoder|decoder-video/x-vp8, ..."), as
// "VP8 (video/x-vp8)".
std::optional<std::string> missingVideoDecoder(GstDiscovererInfo* info) {
    const gchar** details = gst_discoverer_info_get_missing_elements_installer_details(info);
    for (const gchar** d = details; d != nullptr && *d != nullptr; ++d) {
        GStrvPtr fields(g_strsplit(*d, "|", 5));
        if (g_strv_length(fields.get()) < 5) continue;
        const std::string_view kind = fields.get()[4];
        constexpr std::string_view kDecoder = "decoder-video/";
        if (!kind.starts_with(kDecoder)) continue;
        std::string description = fields.get()[3];
        constexpr std::string_view kSuffix = " decoder";
        if (description.ends_with(kSuffix)) description.resize(description.size() - kSuffix.size());
        const std::string_view capsName =
            kind.substr(std::string_view("decoder-").size(),
                        kind.find(',') == std::string_view::npos
                            ? std::string_view::npos
                            : kind.find(',') - std::string_view("decoder-").size());
        return description.append(" (").append(capsName).append(")");
    }
    return std::nullopt;
}

std::optional<std::string> movieProblem(const std::string& path) {
    initGStreamer();
    GError* rawError = nullptr;
    GstObjectPtr<GstDiscoverer> discoverer(gst_discoverer_new(
        static_cast<GstClockTime>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(MediaProbe::kMovieTimeout)
                .count()),
        &rawError));
    GErrorPtr error(rawError);
    if (!discoverer) {
        return std::string("the movie does not open (")
            .append(error ? error->message : "GStreamer's discoverer is not installed")
            .append(")");
    }
    GCharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    if (!uri) return "the movie does not open (its name is not a valid file name)";
    rawError = nullptr;
    std::unique_ptr<GstDiscovererInfo, GstDiscovererInfoDeleter> info(
        gst_discoverer_discover_uri(discoverer.get(), uri.get(), &rawError));
    error.reset(rawError);
    const GstDiscovererResult result =
        info ? gst_discoverer_info_get_result(info.get()) : GST_DISCOVERER_ERROR;
    if (result == GST_DISCOVERER_TIMEOUT) {
        return "the movie did not open within " +
               std::to_string(MediaProbe::kMovieTimeout.count()) + " s";
    }
    if (!info || result == GST_DISCOVERER_URI_INVALID || result == GST_DISCOVERER_ERROR ||
        result == GST_DISCOVERER_BUSY) {
        return std::string("the movie does not open (")
            .append(error ? error->message : "unknown error")
            .append(")");
    }
    // Pictures inside a sound file (an album cover) are not a movie's picture.
    bool anyVideo = false;
    std::optional<std::string> undecodable;
    GstStreamList videos(gst_discoverer_info_get_video_streams(info.get()));
    for (GList* v = videos.get(); v != nullptr; v = v->next) {
        auto* video = static_cast<GstDiscovererVideoInfo*>(v->data);
        if (gst_discoverer_video_info_is_image(video)) continue;
        GstCapsPtr caps(gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(video)));
        if (!caps || gst_caps_is_empty(caps.get())) continue;
        anyVideo = true;
        if (hasVideoDecoder(caps.get())) return std::nullopt;
        if (!undecodable) undecodable = "no decoder for the video codec " + codecName(caps.get());
    }
    if (undecodable) return undecodable;
    GstStreamList audios(gst_discoverer_info_get_audio_streams(info.get()));
    if (!anyVideo && audios) return "has sound but no picture";
    if (result == GST_DISCOVERER_MISSING_PLUGINS) {
        // A stream nobody decodes is not listed; the plug-in it lacks is.
        if (std::optional<std::string> codec = missingVideoDecoder(info.get())) {
            return "no decoder for the video codec " + *codec;
        }
        return "the movie does not open (a GStreamer plug-in it needs is not installed)";
    }
    return "no video stream";
}

}  // namespace

std::optional<std::string> MediaProbe::problem(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        return std::string("cannot be read (").append(g_strerror(errno)).append(")");
    }
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
        return "empty file (zero length)";
    }
    const MediaURL url = MediaURL::fileURL(path);
    const std::optional<std::string> type = FileTypes::contentType(url);
    if (!type) return "cannot be read (its type cannot be read)";
    const MediaKind kind = FileTypes::kindOfContentType(*type);
    if (kind == MediaKind::Image) return pictureProblem(path);
    if (kind == MediaKind::Movie) return movieProblem(path);
    if (g_content_type_is_a(type->c_str(), "image/*")) {
        return "no loader for this picture format (" + *type + ")";
    }
    if (g_content_type_is_a(type->c_str(), "audio/*")) {
        // Playback takes no sound file as a movie; say why, if it is one.
        std::optional<std::string> problem = movieProblem(path);
        if (!problem) return "neither a movie nor a picture (" + *type + ")";
        return problem;
    }
    return "neither a movie nor a picture (" + *type + ")";
}

}  // namespace bw
