#include "media/VideoPlayer.h"

#include <epoxy/egl.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "media/AudioOutput.h"
#include "media/RgbaConverter.h"
#include "media/VideoFrameUpload.h"
#include "platform/Clock.h"
#include "platform/GLibHandle.h"
#include "platform/GstHandle.h"
#include "platform/SystemLog.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"

namespace bw {

namespace {

// GStreamer is initialised once per process, on first use.
void initGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// Pipelines handed over for stopping whose threads have not finished yet.
struct StoppingPipelines {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t count = 0;  // guarded by mutex

    static StoppingPipelines& shared() {
        static StoppingPipelines* const stopping = new StoppingPipelines();
        return *stopping;
    }
};

// Whether pictures are converted to RGBA on the CPU instead of going to the
// renderer in the decoder's format, and the largest picture so converted (in
// pixels, 0 for any). BEAMWRIGHT_CONVERT_ON_CPU=1 (every picture) or 0 (none)
// decides, for comparison and for a driver that draws the planes wrongly.
// Without it, only a software renderer converts on the CPU, and only pictures
// with no more pixels than the output, or whose half has as many (made RGBA at
// that half, as the mixer would sample them there): there every sample the
// mixer takes costs CPU time, a picture that covers the output pixel for
// pixel needs no mixing at all once it is RGBA, and the conversion's cost
// grows with the picture while the mixer's grows with the output. Measured
// full screen at 1920x1080 on llvmpipe: a 1080p movie costs 6 times less CPU
// converted in the pipeline, a 2160p one 3.6 times less halved there than
// left in planes (converted at its own size, it added 344 MiB of memory,
// not 157).
struct Conversion {
    bool toRgba = false;
    std::uint64_t largest = 0;
};
Conversion conversionFor(PixelSize output) {
    const char* value = std::getenv("BEAMWRIGHT_CONVERT_ON_CPU");
    if (value != nullptr && value[0] != '\0') return {std::strcmp(value, "0") != 0, 0};
    if (!RenderContext::shared().isSoftware()) return {};
    return {true, output.isEmpty() ? 0
                                   : static_cast<std::uint64_t>(output.width) *
                                         static_cast<std::uint64_t>(output.height)};
}

// The formats the deinterlacer works in. It passes pictures of any other
// format through untouched, interlaced or not.
constexpr const char* kDeinterlacedCaps =
    "video/x-raw, interlace-mode=(string)progressive; "
    "video/x-raw, format=(string){ AYUV, Y444, Y42B, I420, NV12, YUY2, BGRA, RGBA }";

// Links `elements` in order in `bin` and gives the bin the first one's sink
// pad as its own.
GstElement* chainInBin(std::initializer_list<GstElement*> elements) {
    GstElement* bin = gst_bin_new(nullptr);
    GstElement* previous = nullptr;
    for (GstElement* element : elements) {
        gst_bin_add(GST_BIN(bin), element);
        if (previous != nullptr) gst_element_link(previous, element);
        previous = element;
    }
    GstObjectPtr<GstPad> pad(gst_element_get_static_pad(*elements.begin(), "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad.get()));
    return bin;
}

}  // namespace

// One movie's pipeline with a thread of its own. Every state change, seek,
// property change and the teardown run on that thread, posted there without
// waiting, so a pipeline that hangs (a stuck demuxer, a file that never
// answers) stops only its own movie: no other player, and no caller of the
// player, ever waits for it.
struct VideoPlayer::Pipeline {
    std::string path;
    GstObjectPtr<GstElement> playbin;
    GstObjectPtr<GstElement> appsink;  // our reference to the playbin's video sink
    // What the playbin was given as its video sink: the appsink, or the bin
    // that converts in front of it. Set where the pictures become RGBA on
    // the way, to tell what the decoder gave.
    GstObjectPtr<GstElement> pictureSink;
    // A `volume` element right after the sound's decoder (the playbin's audio
    // filter): muted, it hands on silence marked as a gap, so nothing of a
    // muted movie reaches the sound output at any level the output's own
    // stream volume or the fade's curve may set. Null where the element is
    // missing.
    GstObjectPtr<GstElement> soundGate;
    GMainContextPtr context{g_main_context_new()};
    GMainLoopPtr loop{g_main_loop_new(context.get(), FALSE)};
    GSourcePtr busWatch;  // attached to `context`

    // Set on the pipeline's thread (failed also where the pipeline is built);
    // read on any.
    std::atomic<bool> failed{false};
    std::atomic<bool> ended{false};
    std::atomic<std::uint64_t> loops{0};
    // The turn the movie's "image-orientation" tag asks for; set on a
    // streaming thread as the tag passes the picture sink, ahead of the
    // pictures it belongs to.
    std::atomic<PictureOrientation> orientation{PictureOrientation::Rotate0};
    // The file's length in nanoseconds; below zero until the demuxer knows.
    std::atomic<std::int64_t> fileLength{-1};
    // The level last asked for (render thread), restored when the sound is
    // turned on; below zero while none was asked for.
    std::atomic<float> requestedVolume{-1.0F};

    // The pipeline's thread only (and the constructor, before it starts).
    bool looped = false;
    bool loopArmed = false;
    bool prerolled = false;
    bool playing = false;
    // The end of a pass came while paused: the seek back waits for PLAYING.
    bool loopPending = false;
    // Looping is off and the demuxer has sent the last pass; its last
    // pictures may still be on their way to the sink.
    bool passOver = false;

    // Any thread: runs `work` on the pipeline's thread, in posting order.
    // The pipeline may be gone by the time this returns: the work can run,
    // end the thread and free the pipeline while the call is still letting go
    // of the source it attached, which then reaches into the context. The
    // context is held across the call so that it outlives that source, and
    // nothing of the pipeline is touched after it.
    void post(std::function<void()> work) {
        auto* item = new std::function<void()>(std::move(work));
        GMainContextPtr target(g_main_context_ref(context.get()));
        g_main_context_invoke_full(
            target.get(), G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            item, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    // Starts the pipeline's thread, which runs until stopAndQuit() and then
    // frees the pipeline.
    static void startThread(Pipeline* pipeline) {
        std::thread([pipeline] {
            g_main_context_push_thread_default(pipeline->context.get());
            g_main_loop_run(pipeline->loop.get());
            g_main_context_pop_thread_default(pipeline->context.get());
            delete pipeline;
            StoppingPipelines& stopping = StoppingPipelines::shared();
            std::lock_guard lock(stopping.mutex);
            --stopping.count;
            stopping.changed.notify_all();
        }).detach();
    }

    void warnOnce(const std::string& reason) {
        if (!failed.exchange(true)) {
            std::string line = "Warning: cannot play ";
            line += path;
            line += ": ";
            line += reason;
            SystemLog::shared().log(line);
        }
    }

    // The pipeline's thread, at the end: a damaged file (cut off, say) can end
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

    // The pipeline's thread, once prerolled: a file with no video stream (a
    // sound file in a movie's container) would show black without a word.
    void warnIfNoPicture() {
        gint videoStreams = 0;
        gint audioStreams = 0;
        g_object_get(playbin.get(), "n-video", &videoStreams, "n-audio", &audioStreams, nullptr);
        if (videoStreams > 0) return;
        warnOnce(audioStreams > 0 ? "the file has sound but no picture; the output shows black"
                                  : "the file has no video stream; the output shows black");
    }

    // The pipeline's thread: asks the pipeline for the file's length.
    void readDuration() {
        gint64 length = -1;
        if (gst_element_query_duration(playbin.get(), GST_FORMAT_TIME, &length) && length > 0)
            fileLength.store(length, std::memory_order_relaxed);
    }

    // The pipeline's thread: a non-flushing seek back to the start, so the
    // decoder runs straight on into the next pass, with no flush and no gap.
    void seekToNextPass() {
        loops.fetch_add(1, std::memory_order_relaxed);
        gst_element_seek(playbin.get(), 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT,
                         GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1);
    }

    // The pipeline's thread: one flushing segment seek to the first frame,
    // which starts a pass afresh and arms the loop (from then on the end of a
    // pass posts SEGMENT_DONE instead of EOS). False when it was refused.
    bool armLoopFromStart() {
        loopArmed = true;
        loopPending = false;
        passOver = false;
        const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT);
        return gst_element_seek(playbin.get(), 1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET, 0,
                                GST_SEEK_TYPE_NONE, -1) != FALSE;
    }

    // The pipeline's thread: the operator turned looping on or off.
    void setLooped(bool on) {
        if (on == looped) {
            return;
        }
        looped = on;
        if (!on) {
            // The pass under way is the last one.
            if (loopPending) {
                loopPending = false;
                passOver = true;
            }
            return;
        }
        if (ended) {
            // Over already: again from the first frame, at once.
            if (armLoopFromStart()) {
                ended = false;
                loops.fetch_add(1, std::memory_order_relaxed);
            }
        } else if (passOver) {
            // The demuxer stopped after the last pass, whose pictures are
            // still on their way: the next pass follows them.
            passOver = false;
            if (playing) {
                seekToNextPass();
            } else {
                loopPending = true;
            }
        } else if (!loopArmed && prerolled && !playing) {
            armLoopFromStart();
        }
        // Otherwise an unarmed movie is playing (its end starts it again) or
        // has not prerolled yet (the preroll arms it).
    }

    // The pipeline's thread: the operator turned the sound on or off. The
    // level comes first, so that unmuting never plays a stale one.
    void setMuted(bool muted) {
        const float volume = requestedVolume.load();
        if (!muted && volume >= 0.0F) {
            g_object_set(playbin.get(), "volume", static_cast<double>(volume), nullptr);
        }
        g_object_set(playbin.get(), "mute", muted ? TRUE : FALSE, nullptr);
        if (soundGate) {
            g_object_set(soundGate.get(), "mute", muted ? TRUE : FALSE, nullptr);
        }
    }

    // The pipeline's thread: the end of a pass has reached the picture sink,
    // after its last picture.
    void passShown() {
        if (passOver && !looped) {
            ended = true;
        }
    }

    // The pipeline's thread.
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
                // Looping turned on while an unarmed pass played: that pass
                // has ended, and the movie starts again, armed from now on.
                if (looped && !loopArmed && armLoopFromStart()) {
                    loops.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
                ended = true;
                warnIfCutShort();
                break;
            case GST_MESSAGE_ASYNC_DONE:
                // Prerolled: arm the loop with one flushing segment seek, so that
                // the end posts SEGMENT_DONE instead of EOS.
                prerolled = true;
                readDuration();
                warnIfNoPicture();
                if (looped && !loopArmed) {
                    armLoopFromStart();
                }
                break;
            case GST_MESSAGE_DURATION_CHANGED:
                readDuration();
                break;
            case GST_MESSAGE_STATE_CHANGED: {
                if (GST_MESSAGE_SRC(message) != GST_OBJECT(playbin.get())) {
                    break;
                }
                GstState state = GST_STATE_VOID_PENDING;
                gst_message_parse_state_changed(message, nullptr, &state, nullptr);
                playing = state == GST_STATE_PLAYING;
                if (playing && loopPending) {
                    loopPending = false;
                    seekToNextPass();
                }
                break;
            }
            case GST_MESSAGE_SEGMENT_DONE:
                // While paused (prerolled, waiting for GO) nothing drains the
                // queues: a short movie would fill them pass after pass until
                // the seek itself blocked on the demuxer. So a pass that ends
                // before PLAYING is followed when playing starts.
                if (looped) {
                    if (playing) {
                        seekToNextPass();
                    } else {
                        loopPending = true;
                    }
                } else {
                    // Looping was turned off: the movie ends when this
                    // pass's last picture reaches the sink (passShown).
                    passOver = true;
                }
                break;
            default:
                break;
        }
    }

    // The pipeline's thread: stops the pipeline and its bus handling, then
    // ends the thread, which frees the pipeline.
    void stopAndQuit() {
        busWatch.reset();
        if (playbin) {
            gst_element_set_state(playbin.get(), GST_STATE_NULL);
        }
        g_main_loop_quit(loop.get());
    }
};

void VideoPlayer::PipelineRelease::operator()(Pipeline* pipeline) const noexcept {
    {
        StoppingPipelines& stopping = StoppingPipelines::shared();
        std::lock_guard lock(stopping.mutex);
        ++stopping.count;
    }
    // Nobody waits: the pipeline's own thread stops it and frees it.
    pipeline->post([pipeline] { pipeline->stopAndQuit(); });
}

void VideoPlayer::BufferRelease::operator()(GstBuffer* buffer) const noexcept {
    gst_buffer_unref(buffer);
}

// A converter on all cores, then `appsink` (floating
// references are taken over by the bin). The converter passes the pictures
// through untouched when the decoder's format is one the appsink takes.
// Where pictures are converted to RGBA on the CPU (`toRgba`), the converter
// hands the decoder's YCbCr on to RgbaConverter's element, which makes RGBA
// of it to its exact colours.
//
// In front of it, a deinterlacer. The playbin deinterlaces the formats the
// deinterlacer takes and passes others through interlaced (10-bit
// broadcast material, say): those are converted to an 8-bit format first
// and deinterlaced here. Progressive pictures pass both untouched.
//
// Without a converter, the appsink alone; without a deinterlacer, no
// deinterlacing beyond the playbin's.
GstElement* VideoPlayer::makePictureSink(GstElement* appsink, bool toRgba, std::uint64_t largest) {
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    if (convert == nullptr) {
        return appsink;
    }
    g_object_set(convert, "n-threads", 0U, nullptr);
    GstElement* exact = toRgba ? RgbaConverter::makeElement(largest) : nullptr;
    GstElement* deinterlace = gst_element_factory_make("deinterlace", nullptr);
    if (deinterlace == nullptr) {
        return exact != nullptr ? chainInBin({convert, exact, appsink})
                                : chainInBin({convert, appsink});
    }
    GstElement* narrow = gst_element_factory_make("videoconvert", nullptr);
    g_object_set(narrow, "n-threads", 0U, nullptr);
    GstElement* formats = gst_element_factory_make("capsfilter", nullptr);
    GstCaps* caps = gst_caps_from_string(kDeinterlacedCaps);
    g_object_set(formats, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return exact != nullptr ? chainInBin({narrow, formats, deinterlace, convert, exact, appsink})
                            : chainInBin({narrow, formats, deinterlace, convert, appsink});
}

VideoPlayer::VideoPlayer(const MediaURL& url, bool muted, bool looped, GstClock* clock,
                         PixelSize output)
    : url_(url), muted_(muted), looped_(looped) {
    initGStreamer();
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
        Pipeline::startThread(pipeline.get());
        pipeline_.reset(pipeline.release());
        return;
    }
    pipeline->playbin.reset(GST_ELEMENT(gst_object_ref_sink(playbin)));
    pipeline->appsink.reset(GST_ELEMENT(gst_object_ref(appsink)));
    if (clock != nullptr) gst_pipeline_use_clock(GST_PIPELINE(playbin), clock);

    // The end of a pass travels behind its last picture as a SEGMENT_DONE
    // event: seen at the sink, that picture has been handed over. (The bus
    // message of the same name comes when the demuxer has sent the pass,
    // while pictures are still queued.) Called on a streaming thread, which
    // stops before the pipeline is freed.
    GstObjectPtr<GstPad> sinkPad(gst_element_get_static_pad(appsink, "sink"));
    gst_pad_add_probe(
        sinkPad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
            GstEvent* const event = GST_PAD_PROBE_INFO_EVENT(info);
            auto* target = static_cast<Pipeline*>(data);
            if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT_DONE) {
                target->post([target] { target->passShown(); });
            } else if (GST_EVENT_TYPE(event) == GST_EVENT_TAG) {
                // The movie's rotation, applied where its pictures are placed.
                GstTagList* tags = nullptr;
                gst_event_parse_tag(event, &tags);
                gchar* value = nullptr;
                if (tags != nullptr &&
                    gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &value)) {
                    GCharPtr owned(value);
                    if (const auto orientation = pictureOrientationFromTag(owned.get())) {
                        target->orientation.store(*orientation);
                    }
                }
            }
            return GST_PAD_PROBE_OK;
        },
        pipeline.get(), nullptr);

    const Conversion conversion = conversionFor(output);
    const bool toRgba = conversion.toRgba;
    // RGBA in preference; pictures too large to convert as they are.
    GstCaps* caps = toRgba ? VideoFrameUpload::rgbaCaps() : VideoFrameUpload::decoderFormatCaps();
    if (toRgba && conversion.largest > 0)
        caps = gst_caps_merge(caps, VideoFrameUpload::decoderFormatCaps());
    // Synchronised to the pipeline clock, but a little early: each picture
    // arrives up to kHandedOverEarly before it is due, and waits for the
    // display time that covers it. The clock keeps the decoder in step with
    // the sound and a looped one-frame movie from spinning; a full queue
    // (a player nobody asks for frames) drops its oldest picture rather than
    // hold the decoder up, so stopping never waits on it.
    g_object_set(appsink, "caps", caps, "max-buffers", kPicturesAhead, "drop", TRUE, "sync", TRUE,
                 "ts-offset", -kHandedOverEarly, "enable-last-sample", FALSE, nullptr);
    gst_caps_unref(caps);

    if (GstElement* gate = gst_element_factory_make("volume", nullptr)) {
        pipeline->soundGate.reset(GST_ELEMENT(gst_object_ref_sink(gate)));
        g_object_set(gate, "mute", muted ? TRUE : FALSE, nullptr);
        g_object_set(playbin, "audio-filter", gate, nullptr);
    }

    GCharPtr uri(g_filename_to_uri(url.path().c_str(), nullptr, nullptr));
    GstElement* pictureSink = makePictureSink(appsink, toRgba, conversion.largest);
    if (toRgba) pipeline->pictureSink.reset(GST_ELEMENT(gst_object_ref(pictureSink)));
    g_object_set(playbin, "uri", uri ? uri.get() : "file:///", "video-sink", pictureSink,
                 "audio-sink", AudioOutput::shared().makeSink(), "mute", muted ? TRUE : FALSE,
                 nullptr);

    GstObjectPtr<GstBus> bus(gst_element_get_bus(playbin));
    pipeline->busWatch.reset(gst_bus_create_watch(bus.get()));
    GstBusFunc onMessage = [](GstBus*, GstMessage* message, gpointer data) -> gboolean {
        static_cast<Pipeline*>(data)->handle(message);
        return G_SOURCE_CONTINUE;
    };
    // A bus watch calls a GstBusFunc through the GSourceFunc slot.
    g_source_set_callback(pipeline->busWatch.get(),
                          reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(onMessage)),
                          pipeline.get(), nullptr);
    g_source_attach(pipeline->busWatch.get(), pipeline->context.get());

    // Prerolls in the background: the first picture arrives when it is decoded.
    Pipeline* raw = pipeline.get();
    raw->post([raw] {
        if (gst_element_set_state(raw->playbin.get(), GST_STATE_PAUSED) ==
            GST_STATE_CHANGE_FAILURE) {
            raw->warnOnce("the movie cannot be opened");
        }
    });
    Pipeline::startThread(raw);
    pipeline_.reset(pipeline.release());
}

VideoPlayer::~VideoPlayer() = default;

bool VideoPlayer::waitForStoppedPipelines(std::chrono::milliseconds timeout) {
    StoppingPipelines& stopping = StoppingPipelines::shared();
    std::unique_lock lock(stopping.mutex);
    return stopping.changed.wait_for(lock, timeout, [&] { return stopping.count == 0; });
}

void VideoPlayer::setVolume(float volume) {
    pipeline_->requestedVolume.store(volume);
    if (muted_.load() || !pipeline_->playbin || volume == lastVolume_) {
        return;
    }
    lastVolume_ = volume;
    Pipeline* pipeline = pipeline_.get();
    pipeline->post([pipeline, volume] {
        g_object_set(pipeline->playbin.get(), "volume", static_cast<double>(volume), nullptr);
    });
}

void VideoPlayer::setStartBaseTime(std::uint64_t baseTime) {
    startBaseTime_ = baseTime;
}

void VideoPlayer::play() {
    if (!pipeline_->playbin) {
        return;
    }
    playAsked_.store(true, std::memory_order_release);
    Pipeline* pipeline = pipeline_.get();
    pipeline->post([pipeline, baseTime = startBaseTime_] {
        if (baseTime) {
            // No start time: the pipeline keeps the base time it is given.
            gst_element_set_start_time(pipeline->playbin.get(), GST_CLOCK_TIME_NONE);
            gst_element_set_base_time(pipeline->playbin.get(), *baseTime);
        }
        if (gst_element_set_state(pipeline->playbin.get(), GST_STATE_PLAYING) ==
            GST_STATE_CHANGE_FAILURE) {
            pipeline->warnOnce("the movie cannot be started");
        }
    });
}

bool VideoPlayer::adoptState(const MediaOutputState& state) {
    const bool kenBurns = this->state() && this->state()->kenBurns;
    if (state.mediaURL != url_ || state.kenBurns != kenBurns) {
        return false;
    }
    Pipeline* pipeline = pipeline_.get();
    if (muted_.exchange(state.muted) != state.muted && pipeline->playbin) {
        pipeline->post([pipeline, muted = state.muted] { pipeline->setMuted(muted); });
    }
    if (looped_.exchange(state.looped) != state.looped && pipeline->playbin) {
        pipeline->post([pipeline, looped = state.looped] { pipeline->setLooped(looped); });
    }
    setState(state);
    return true;
}

void VideoPlayer::CapsRelease::operator()(GstCaps* caps) const noexcept {
    gst_caps_unref(caps);
}

bool VideoPlayer::takePrerolledPicture() {
    auto* sink = GST_APP_SINK(pipeline_->appsink.get());
    GstSamplePtr sample(gst_app_sink_try_pull_preroll(sink, 0));
    if (!sample) return false;
    GstBuffer* const buffer = gst_sample_get_buffer(sample.get());
    GstCaps* const caps = gst_sample_get_caps(sample.get());
    // A pulled preroll picture may come out of the sample queue again.
    if (buffer == nullptr || caps == nullptr || picture_.is(buffer)) return false;
    Picture picture;
    picture.buffer.reset(gst_buffer_ref(buffer));
    picture.caps.reset(gst_caps_ref(caps));
    picture.streamTime = streamTimeOf(gst_sample_get_segment(sample.get()), buffer);
    sample.reset();
    show(picture);
    return true;
}

void VideoPlayer::takeDecodedPictures() {
    auto* sink = GST_APP_SINK(pipeline_->appsink.get());
    while (pending_.size() < kPicturesAhead) {
        GstSamplePtr sample(gst_app_sink_try_pull_sample(sink, 0));
        if (!sample) return;
        // The appsink hands out one sample object again and again and changes
        // it in place, from its streaming thread, for the next picture: take
        // what is needed out of it and give it back at once.
        GstBuffer* const buffer = gst_sample_get_buffer(sample.get());
        GstCaps* const caps = gst_sample_get_caps(sample.get());
        if (buffer == nullptr || caps == nullptr || picture_.is(buffer)) continue;
        Picture picture;
        picture.buffer.reset(gst_buffer_ref(buffer));
        picture.caps.reset(gst_caps_ref(caps));
        const GstSegment* segment = gst_sample_get_segment(sample.get());
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        if (segment != nullptr && GST_CLOCK_TIME_IS_VALID(pts)) {
            const guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
            if (GST_CLOCK_TIME_IS_VALID(running)) picture.runningTime = running;
        }
        picture.streamTime = streamTimeOf(segment, buffer);
        sample.reset();
        // Running time only goes back after a flushing seek: what waits from
        // before it will never be due.
        if (!pending_.empty() && picture.runningTime < pending_.back().runningTime)
            pending_.clear();
        pending_.push_back(std::move(picture));
    }
}

std::optional<std::uint64_t> VideoPlayer::runningTimeAt(std::uint64_t hostTime) const {
    GstElement* playbin = pipeline_->playbin.get();
    GstObjectPtr<GstClock> clock(gst_element_get_clock(playbin));
    if (!clock) return std::nullopt;
    const GstClockTime base = gst_element_get_base_time(playbin);
    const GstClockTime now = gst_clock_get_time(clock.get());
    const std::int64_t hostNow = systemClock().hostTimeNanoseconds();
    // How far ahead of now the picture will be on screen: a little, as the
    // display link renders a refresh ahead; anything else is taken as now.
    std::int64_t ahead = hostTime == 0 ? 0 : static_cast<std::int64_t>(hostTime) - hostNow;
    if (ahead < 0 || ahead > kLongestLookAhead) ahead = 0;
    const std::int64_t running =
        static_cast<std::int64_t>(now) - static_cast<std::int64_t>(base) + ahead;
    return static_cast<std::uint64_t>(std::max<std::int64_t>(running, 0));
}

void VideoPlayer::show(const Picture& picture) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, picture.caps.get())) return;
    buffer_ = VideoFrameUpload::upload(picture.buffer.get(), info, GpuBufferPool::global(),
                                       decodedWithoutAlpha());
    if (buffer_) buffer_->setOrientation(pipeline_->orientation.load());
    picture_.remember(picture.buffer.get());
    if (picture.streamTime >= 0)
        shownStreamTime_.store(picture.streamTime, std::memory_order_relaxed);
    framesDecoded_.fetch_add(1, std::memory_order_relaxed);
}

void VideoPlayer::ShownPicture::remember(GstBuffer* buffer) {
    address_ = buffer;
    pts_ = GST_BUFFER_PTS(buffer);
    held_.reset(GST_CLOCK_TIME_IS_VALID(pts_) ? nullptr : gst_buffer_ref(buffer));
}

bool VideoPlayer::ShownPicture::is(const GstBuffer* buffer) const {
    return buffer == address_ && (held_ || GST_BUFFER_PTS(buffer) == pts_);
}

bool VideoPlayer::decodedWithoutAlpha() const {
    if (!pipeline_->pictureSink) return false;
    // The converters in front of the appsink fill the alpha of a picture
    // that had none.
    GstObjectPtr<GstPad> pad(gst_element_get_static_pad(pipeline_->pictureSink.get(), "sink"));
    GstCapsPtr caps(pad ? gst_pad_get_current_caps(pad.get()) : nullptr);
    GstVideoInfo decoded;
    return caps && gst_video_info_from_caps(&decoded, caps.get()) &&
           !GST_VIDEO_INFO_HAS_ALPHA(&decoded);
}

std::int64_t VideoPlayer::streamTimeOf(const GstSegment* segment, GstBuffer* buffer) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (segment == nullptr || !GST_CLOCK_TIME_IS_VALID(pts)) return -1;
    const guint64 time = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts);
    return GST_CLOCK_TIME_IS_VALID(time) ? static_cast<std::int64_t>(time) : -1;
}

std::optional<MediaPlayer::PlaybackTime> VideoPlayer::playbackTime() const {
    PlaybackTime time;
    time.looped = looped_.load();
    time.ended = ended();
    const std::int64_t duration = pipeline_->fileLength.load(std::memory_order_relaxed);
    if (duration > 0) time.duration = static_cast<double>(duration) / GST_SECOND;
    const std::int64_t shown = shownStreamTime_.load(std::memory_order_relaxed);
    if (shown >= 0) time.position = static_cast<double>(shown) / GST_SECOND;
    // The last picture stands for the rest of the movie.
    if (time.ended && time.duration) time.position = *time.duration;
    if (time.duration) time.position = std::min(time.position, *time.duration);
    return time;
}

GpuBufferRef VideoPlayer::frameForTime(const DisplayTimeStamp& timeStamp) {
    if (!pipeline_->appsink) {
        lastPictureShown_.store(true);  // there will be none
        return buffer_;
    }
    // The end reached the sink behind the last picture: once nothing decoded
    // waits any more, that picture is the one shown.
    const bool endReached = pipeline_->ended.load();
    takePrerolledPicture();
    // Pulling from the appsink's queue drops the prerolled picture it holds,
    // and before play() that queue is empty: a picture that prerolled just
    // after takePrerolledPicture() would be lost, and the movie black until
    // it played. Once play() has been asked for, the prerolled picture also
    // comes out of the queue as the first decoded one.
    if (playAsked_.load(std::memory_order_acquire)) takeDecodedPictures();
    const std::optional<std::uint64_t> due = runningTimeAt(timeStamp.hostTime);
    if (!due) {
        // Not playing (yet, or any more): the first picture decoded, until
        // play() starts the clock.
        if (!buffer_ && !pending_.empty()) {
            show(pending_.front());
            pending_.pop_front();
        }
        lastPictureShown_.store(endReached && pending_.empty());
        return buffer_;
    }
    // The latest picture due by then; the ones before it were never shown
    // in time and are skipped.
    std::optional<Picture> latest;
    while (!pending_.empty() && pending_.front().runningTime <= *due) {
        latest = std::move(pending_.front());
        pending_.pop_front();
        takeDecodedPictures();
    }
    if (latest) show(*latest);
    lastPictureShown_.store(endReached && pending_.empty());
    return buffer_;
}

void VideoPlayer::warmUp() {
    if (!buffer_ && pipeline_->appsink) takePrerolledPicture();
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
    return pipeline_->ended.load() && lastPictureShown_.load();
}
PictureOrientation VideoPlayer::orientation() const {
    return pipeline_->orientation.load();
}
bool VideoPlayer::failed() const {
    return pipeline_->failed.load();
}
std::uint64_t VideoPlayer::loopCount() const {
    return pipeline_->loops.load(std::memory_order_relaxed);
}

}  // namespace bw
