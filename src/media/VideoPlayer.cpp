#include "media/VideoPlayer.h"

#include <epoxy/egl.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/GLibHandle.h"
#include "platform/SystemLog.h"
#include "render/GpuBufferPool.h"

namespace bw {

namespace {

// The process's GStreamer control thread: initialises GStreamer once, then
// runs a main loop of its own on which every player's bus messages are handled
// and pipelines are stopped. Created on first use and never destroyed.
class ControlThread {
public:
    static ControlThread& shared() {
        static ControlThread* thread = new ControlThread();
        return *thread;
    }

    GMainContext* context() const { return context_.get(); }
    bool isCurrent() const { return g_main_context_is_owner(context_.get()) != FALSE; }

    // Any thread: runs `work` on the control thread.
    void post(std::function<void()> work) {
        auto* item = new std::function<void()>(std::move(work));
        g_main_context_invoke_full(
            context_.get(), G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            item, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    // Any thread but the control thread: runs `work` there and waits for it.
    void run(const std::function<void()>& work) {
        if (isCurrent()) {
            work();
            return;
        }
        std::mutex mutex;
        std::condition_variable doneChanged;
        bool done = false;
        post([&] {
            work();
            std::lock_guard lock(mutex);
            done = true;
            doneChanged.notify_one();
        });
        std::unique_lock lock(mutex);
        doneChanged.wait(lock, [&] { return done; });
    }

private:
    ControlThread()
        : context_(g_main_context_new()), loop_(g_main_loop_new(context_.get(), FALSE)) {
        gst_init(nullptr, nullptr);
        std::thread([this] {
            g_main_context_push_thread_default(context_.get());
            g_main_loop_run(loop_.get());
        }).detach();
    }

    GMainContextPtr context_;
    GMainLoopPtr loop_;
};

struct GstObjectDeleter {
    void operator()(gpointer object) const noexcept { gst_object_unref(object); }
};
template <typename T>
using GstPtr = std::unique_ptr<T, GstObjectDeleter>;

// The video sink: a converter to RGBA on all cores, then `appsink` (floating
// references are taken over by the bin). Without a converter, the appsink alone.
GstElement* makeVideoSink(GstElement* appsink) {
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    if (convert == nullptr) {
        return appsink;
    }
    g_object_set(convert, "n-threads", 0U, nullptr);
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, appsink, nullptr);
    gst_element_link(convert, appsink);
    GstPtr<GstPad> pad(gst_element_get_static_pad(convert, "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad.get()));
    return bin;
}

GstElement* makeAudioSink() {
    const char* name = std::getenv("BEAMWRIGHT_AUDIO_SINK");
    if (name != nullptr && name[0] != '\0') {
        GstElement* sink = gst_element_factory_make(name, nullptr);
        if (sink != nullptr) {
            // An unsynchronised sink would race through the movie's segments.
            if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "sync") != nullptr) {
                g_object_set(sink, "sync", TRUE, nullptr);
            }
            return sink;
        }
        std::string line = "Warning: no audio element named ";
        line += name;
        line += ", using the system's audio output";
        SystemLog::shared().log(line);
    }
    return gst_element_factory_make("autoaudiosink", nullptr);
}

}  // namespace

struct VideoPlayer::Pipeline {
    std::string path;
    bool looped = false;
    GstPtr<GstElement> playbin;
    GstPtr<GstElement> appsink;  // our reference to the playbin's video sink
    GSourcePtr busWatch;         // attached to the control thread's context

    // Set on the control thread (failed also where the pipeline is built or
    // started); read on any.
    std::atomic<bool> failed{false};
    std::atomic<bool> ended{false};
    std::atomic<std::uint64_t> loops{0};
    bool loopArmed = false;  // control thread only

    void warnOnce(const std::string& reason) {
        if (!failed.exchange(true)) {
            std::string line = "Warning: cannot play ";
            line += path;
            line += ": ";
            line += reason;
            SystemLog::shared().log(line);
        }
    }

    // Control thread, at the end: a damaged file (cut off, say) can end
    // cleanly well before the duration its header gives.
    void warnIfCutShort() {
        gint64 duration = -1;
        gint64 position = -1;
        if (gst_element_query_duration(playbin.get(), GST_FORMAT_TIME, &duration) &&
            gst_element_query_position(playbin.get(), GST_FORMAT_TIME, &position) && duration > 0 &&
            position >= 0 && position + GST_SECOND / 2 < duration) {
            char reason[96];
            std::snprintf(reason, sizeof reason, "the movie ends at %.1f s of its %.1f s",
                          static_cast<double>(position) / GST_SECOND,
                          static_cast<double>(duration) / GST_SECOND);
            warnOnce(reason);
        }
    }

    // Control thread.
    void handle(GstMessage* message) {
        switch (GST_MESSAGE_TYPE(message)) {
            case GST_MESSAGE_ERROR: {
                GError* error = nullptr;
                gst_message_parse_error(message, &error, nullptr);
                GErrorPtr owned(error);
                warnOnce(error != nullptr ? error->message : "unknown error");
                break;
            }
            case GST_MESSAGE_EOS:
                ended = true;
                warnIfCutShort();
                break;
            case GST_MESSAGE_ASYNC_DONE:
                // Prerolled: arm the loop with one flushing segment seek, so that
                // the end posts SEGMENT_DONE instead of EOS.
                if (looped && !loopArmed) {
                    loopArmed = true;
                    const auto flags =
                        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT);
                    gst_element_seek(playbin.get(), 1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                                     0, GST_SEEK_TYPE_NONE, -1);
                }
                break;
            case GST_MESSAGE_SEGMENT_DONE:
                // A non-flushing seek back to the start: the decoder runs straight
                // on into the next pass, with no flush and no gap.
                if (looped) {
                    loops.fetch_add(1, std::memory_order_relaxed);
                    gst_element_seek(playbin.get(), 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT,
                                     GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1);
                }
                break;
            default:
                break;
        }
    }

    // Control thread: stops the pipeline and its bus handling.
    void stop() {
        busWatch.reset();
        if (playbin) {
            gst_element_set_state(playbin.get(), GST_STATE_NULL);
        }
    }
};

void VideoPlayer::PipelineRelease::operator()(Pipeline* pipeline) const noexcept {
    ControlThread& control = ControlThread::shared();
    auto stopAndFree = [pipeline] {
        pipeline->stop();
        delete pipeline;
    };
    if (eglGetCurrentContext() != EGL_NO_CONTEXT) {
        // The render thread: stopping a pipeline joins its streaming threads.
        control.post(stopAndFree);
    } else {
        control.run(stopAndFree);
    }
}

void VideoPlayer::SampleRelease::operator()(GstSample* sample) const noexcept {
    gst_sample_unref(sample);
}

VideoPlayer::VideoPlayer(const MediaURL& url, bool muted, bool looped)
    : url_(url), muted_(muted), looped_(looped) {
    ControlThread& control = ControlThread::shared();
    auto pipeline = std::make_unique<Pipeline>();
    pipeline->path = url.path();
    pipeline->looped = looped;

    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    GstElement* appsink = gst_element_factory_make("appsink", nullptr);
    if (playbin == nullptr || appsink == nullptr) {
        if (playbin != nullptr) {
            gst_object_unref(gst_object_ref_sink(playbin));
        }
        if (appsink != nullptr) {
            gst_object_unref(gst_object_ref_sink(appsink));
        }
        pipeline->warnOnce("GStreamer's playbin or appsink is not installed");
        pipeline_.reset(pipeline.release());
        return;
    }
    pipeline->playbin.reset(GST_ELEMENT(gst_object_ref_sink(playbin)));
    pipeline->appsink.reset(GST_ELEMENT(gst_object_ref(appsink)));

    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGBA", nullptr);
    g_object_set(appsink, "caps", caps, "max-buffers", 1U, "drop", TRUE, "sync", TRUE,
                 "enable-last-sample", FALSE, nullptr);
    gst_caps_unref(caps);

    GCharPtr uri(g_filename_to_uri(url.path().c_str(), nullptr, nullptr));
    g_object_set(playbin, "uri", uri ? uri.get() : "file:///", "video-sink", makeVideoSink(appsink),
                 "audio-sink", makeAudioSink(), "mute", muted ? TRUE : FALSE, nullptr);

    GstPtr<GstBus> bus(gst_element_get_bus(playbin));
    pipeline->busWatch.reset(gst_bus_create_watch(bus.get()));
    GstBusFunc onMessage = [](GstBus*, GstMessage* message, gpointer data) -> gboolean {
        static_cast<Pipeline*>(data)->handle(message);
        return G_SOURCE_CONTINUE;
    };
    // A bus watch calls a GstBusFunc through the GSourceFunc slot.
    g_source_set_callback(pipeline->busWatch.get(),
                          reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(onMessage)),
                          pipeline.get(), nullptr);
    g_source_attach(pipeline->busWatch.get(), control.context());

    // Prerolls in the background: the first picture arrives when it is decoded.
    if (gst_element_set_state(playbin, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        pipeline->warnOnce("the movie cannot be opened");
    }
    pipeline_.reset(pipeline.release());
}

VideoPlayer::~VideoPlayer() = default;

void VideoPlayer::waitForStoppedPipelines() {
    ControlThread::shared().run([] {});
}

void VideoPlayer::setVolume(float volume) {
    if (muted_ || !pipeline_->playbin || volume == lastVolume_) {
        return;
    }
    lastVolume_ = volume;
    g_object_set(pipeline_->playbin.get(), "volume", static_cast<double>(volume), nullptr);
}

void VideoPlayer::play() {
    if (pipeline_->playbin && gst_element_set_state(pipeline_->playbin.get(), GST_STATE_PLAYING) ==
                                  GST_STATE_CHANGE_FAILURE) {
        pipeline_->warnOnce("the movie cannot be started");
    }
}

void VideoPlayer::takeNewPicture() {
    if (!pipeline_->appsink) {
        return;
    }
    auto* sink = GST_APP_SINK(pipeline_->appsink.get());
    std::unique_ptr<GstSample, SampleRelease> sample(gst_app_sink_try_pull_preroll(sink, 0));
    if (!sample) {
        sample.reset(gst_app_sink_try_pull_sample(sink, 0));
    }
    if (!sample) {
        return;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    // A pulled preroll picture may come out of the sample queue again.
    if (buffer == nullptr || (sample_ && gst_sample_get_buffer(sample_.get()) == buffer)) {
        return;
    }
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample.get());
    if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) {
        return;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        return;
    }
    const PixelSize size{GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame)};
    buffer_ = GpuBufferPool::global().allocBufferWithPixels(
        static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)), size,
        static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)));
    gst_video_frame_unmap(&frame);
    sample_ = std::move(sample);
    framesDecoded_.fetch_add(1, std::memory_order_relaxed);
}

GpuBufferRef VideoPlayer::frameForTime(const DisplayTimeStamp& timeStamp) {
    (void)timeStamp;
    takeNewPicture();
    return buffer_;
}

void VideoPlayer::warmUp() {
    if (!buffer_) {
        takeNewPicture();
    }
}

double VideoPlayer::volume() const {
    double volume = 0.0;
    if (pipeline_->playbin) {
        g_object_get(pipeline_->playbin.get(), "volume", &volume, nullptr);
    }
    return volume;
}

bool VideoPlayer::pipelineMuted() const {
    gboolean muted = FALSE;
    if (pipeline_->playbin) {
        g_object_get(pipeline_->playbin.get(), "mute", &muted, nullptr);
    }
    return muted != FALSE;
}

bool VideoPlayer::ended() const {
    return pipeline_->ended.load();
}
bool VideoPlayer::failed() const {
    return pipeline_->failed.load();
}
std::uint64_t VideoPlayer::loopCount() const {
    return pipeline_->loops.load(std::memory_order_relaxed);
}

}  // namespace bw
