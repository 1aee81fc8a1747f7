// Decoding and uploading a 1080p H.264 movie as fast as it goes, against
// decoding alone.
//
//   - the player's path: playbin into an appsink in the decoder's own format
//     (sync off, no drops), every picture pulled and its planes uploaded into
//     pooled textures, as VideoPlayer does for each new picture;
//   - the CPU path (the default on a software renderer, the baseline): the
//     same with the pictures converted to exact RGBA by the pipeline first,
//     one RGBA texture each;
//   - GStreamer's converter alone making the RGBA (what the exact one
//     replaced), for the conversion's cost;
//   - the floor: filesrc ! decodebin ! fakesink sync=false on the same file,
//     in the same process (no conversion, no upload).
// Each runs --runs times (default 3), alternating; medians are printed with
// the ratio of frame rates (player / floor).
//
// Usage: bench_movie_decode [--runs N]

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "media/VideoFrameUpload.h"
#include "media/VideoPlayer.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    int frames = 0;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool waitForEnd(GstElement* pipeline) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message != nullptr) {
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return ok;
}

Run decodeOnly(const std::string& path) {
    GError* error = nullptr;
    std::string description = "filesrc location=\"";
    description += path;
    description += "\" ! decodebin ! fakesink name=sink sync=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr) {
        std::fprintf(stderr, "floor pipeline: %s\n", error != nullptr ? error->message : "?");
        std::exit(1);
    }
    Run run;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            ++*static_cast<int*>(data);
            return GST_PAD_PROBE_OK;
        },
        &run.frames, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    const auto start = Clock::now();
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    if (!waitForEnd(pipeline)) {
        std::fprintf(stderr, "floor pipeline did not reach its end\n");
        std::exit(1);
    }
    run.seconds = secondsSince(start);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return run;
}

// Where the player's pictures are made RGB.
enum class Path {
    Planes,     // by the renderer, from the decoder's planes
    ExactRgba,  // on the CPU, by the player's exact converter
    GstRgba,    // on the CPU, by GStreamer's own converter alone
};

Run decodeAndUpload(const std::string& path, Path where) {
    const bool onCpu = where != Path::Planes;
    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    GstElement* appsink = gst_element_factory_make("appsink", nullptr);
    GstCaps* caps =
        onCpu ? bw::VideoFrameUpload::rgbaCaps() : bw::VideoFrameUpload::decoderFormatCaps();
    g_object_set(appsink, "caps", caps, "max-buffers", 2U, "drop", FALSE, "sync", FALSE, nullptr);
    gst_caps_unref(caps);
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    // The player's own picture sink: deinterlacing, then a converter passing
    // the decoder's pictures through where the appsink takes them, or exact
    // RGBA made of them; or GStreamer's converter on all cores alone.
    GstElement* videoSink = nullptr;
    if (where == Path::GstRgba) {
        GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
        g_object_set(convert, "n-threads", 0U, nullptr);
        videoSink = gst_bin_new(nullptr);
        gst_bin_add_many(GST_BIN(videoSink), convert, appsink, nullptr);
        gst_element_link(convert, appsink);
        GstPad* pad = gst_element_get_static_pad(convert, "sink");
        gst_element_add_pad(videoSink, gst_ghost_pad_new("sink", pad));
        gst_object_unref(pad);
    } else {
        videoSink = bw::VideoPlayer::makePictureSink(appsink, onCpu);
    }
    g_object_set(playbin, "uri", uri, "video-sink", videoSink, "audio-sink",
                 gst_element_factory_make("fakesink", nullptr), nullptr);
    g_free(uri);

    Run run;
    auto& pool = bw::GpuBufferPool::global();
    const auto start = Clock::now();
    gst_element_set_state(playbin, GST_STATE_PLAYING);
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(appsink))) {
        GstVideoInfo info;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            bw::VideoFrameUpload::upload(gst_sample_get_buffer(sample), info, pool)) {
            ++run.frames;
        }
        gst_sample_unref(sample);
    }
    glFinish();
    run.seconds = secondsSince(start);
    gst_element_set_state(playbin, GST_STATE_NULL);
    gst_object_unref(playbin);
    pool.housekeeping();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
            return 2;
        }
    }
    const std::optional<std::string> mediaFolder = bw::bench::makeTestMedia(true);
    if (!mediaFolder) {
        return 1;
    }
    const std::string& media = *mediaFolder;
    const std::string path = media + "/bench-1080p.mp4";
    if (!std::filesystem::exists(path)) {
        std::fprintf(stderr, "no %s (x264enc missing?)\n", path.c_str());
        return 1;
    }

    gst_init(&argc, &argv);
    bw::RenderContext& context = bw::RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "no GL context\n");
        return 1;
    }
    bw::GpuBufferPool::createGlobal(context);

    std::vector<double> playerFps;
    std::vector<double> fallbackFps;
    std::vector<double> gstFps;
    std::vector<double> floorFps;
    int frames = 0;
    for (int i = 0; i < runs; ++i) {
        const Run floor = decodeOnly(path);
        const Run player = decodeAndUpload(path, Path::Planes);
        const Run fallback = decodeAndUpload(path, Path::ExactRgba);
        const Run gst = decodeAndUpload(path, Path::GstRgba);
        floorFps.push_back(floor.frames / floor.seconds);
        playerFps.push_back(player.frames / player.seconds);
        fallbackFps.push_back(fallback.frames / fallback.seconds);
        gstFps.push_back(gst.frames / gst.seconds);
        frames = player.frames;
        std::printf(
            "run %d: decode+planes %d frames (%.1f fps), decode+exact RGBA %d frames (%.1f fps), "
            "decode+GStreamer RGBA %d frames (%.1f fps), decode only %d frames (%.1f fps)\n",
            i + 1, player.frames, playerFps.back(), fallback.frames, fallbackFps.back(), gst.frames,
            gstFps.back(), floor.frames, floorFps.back());
    }
    const double player = bw::bench::median(playerFps);
    const double fallback = bw::bench::median(fallbackFps);
    const double gst = bw::bench::median(gstFps);
    const double floor = bw::bench::median(floorFps);
    std::printf("1920x1080 H.264, %d frames, median of %d runs:\n", frames, runs);
    std::printf("  decode + planes upload:                 %.1f fps\n", player);
    std::printf("  decode + exact RGBA on CPU + upload:     %.1f fps\n", fallback);
    std::printf("  decode + GStreamer's RGBA on CPU + upload: %.1f fps\n", gst);
    std::printf("  decode only (floor):                    %.1f fps\n", floor);
    std::printf("  ratio player/floor:   %.2f (aim 0.8)\n", player / floor);
    std::printf("  ratio fallback/floor: %.2f\n", fallback / floor);
    std::printf("  ratio exact/GStreamer RGBA: %.2f\n", fallback / gst);
    return 0;
}
