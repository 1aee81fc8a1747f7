#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "media/MediaPlayer.h"
#include "platform/MediaURL.h"
#include "render/PictureOrientation.h"
#include "render/PixelSize.h"

typedef struct _GstBuffer GstBuffer;
typedef struct _GstCaps GstCaps;
typedef struct _GstClock GstClock;
typedef struct _GstElement GstElement;
typedef struct _GstSegment GstSegment;

namespace bw {

// The player of a movie file: a GStreamer playbin decodes it (with its sound,
// to the system's audio output or the element BEAMWRIGHT_AUDIO_SINK names) and
// hands its pictures to an appsink in the decoder's own format; each new
// picture's planes are uploaded once into pooled textures, and the scenes
// that draw it convert it to RGB (VideoFrameUpload). On a software renderer
// the pipeline converts pictures no larger than the output to RGBA on the CPU
// instead; BEAMWRIGHT_CONVERT_ON_CPU=1 converts every picture so, =0 none. Pictures are decoded a few ahead and shown by the display's
// time: each frame request shows the picture whose presentation time covers
// the pipeline's running time at the moment the frame will be on screen (the
// time stamp's host time), so a 30 fps movie on a 60 Hz display shows each
// picture twice and a 25 fps one keeps a steady 2-3 cadence, and pictures
// stay with the sound. A time stamp without a host time, or one further than
// a tenth of a second from now, asks for the picture due now.
//
// The movie's rotation and mirroring (its "image-orientation" tag) and its
// pixel aspect ratio travel with each picture (GpuBuffer::orientation,
// pixelAspect); the output turns it upright and gives it its shape as it
// places it, so no pixel is moved on the CPU.
//
// A looped movie loops without a gap through segment seeks; one that is not
// holds its last picture after the end. A movie that cannot be played (missing
// or damaged file, missing decoder) logs one warning and shows what decoded,
// or nothing.
//
// The muted and looped flags may change while the movie plays (adoptState),
// without restarting it. Unmuting brings the sound back at the volume last
// asked for. Looping turned off lets the pass under way finish: the movie
// then holds its last picture and ended() becomes true once that picture has
// reached the picture sink. Looping turned on for a movie started unlooped
// takes effect at its end: it starts again from its first frame (a flushing
// seek, so that first seam may hold the last picture for a moment) and from
// then on loops without a gap; a movie that had already ended starts again at
// once.
//
// A movie that ends a pass while still paused (a movie of one or a few
// frames, armed as the next cue) takes its next pass when it starts playing,
// and from then on loops like any other: a one-frame movie shows its one
// picture for as long as it runs.
//
// Threads: each player's pipeline has a thread of its own, on which every
// GStreamer state change, seek, property change, bus message and the
// teardown happen. Construction, play() and adoptState() on the main thread,
// setVolume(), frameForTime() and warmUp() on the render thread: none of them
// waits for the pipeline (play(), adoptState() and setVolume() only post to
// its thread). The player may be released on any thread and never waits
// either: its pipeline's thread stops and frees the pipeline, so a pipeline
// that hangs stops only its own movie. The accessors may be read on any
// thread.
class VideoPlayer final : public MediaPlayer {
public:
    // File descriptors one playing movie holds at most: its thread's wake-up
    // pipe, the file, its decoder and sound threads' (measured: 18 muted,
    // 20 with sound, with a margin for a sound server's connection).
    static constexpr std::size_t kDescriptorsNeeded = 24;

    // `clock`, when given, is the pipeline's clock instead of the one it
    // would choose (tests drive one by hand; the player takes a reference).
    // `output`: the size of the output it plays on, where known, which
    // decides where a software renderer's pictures are converted.
    VideoPlayer(const MediaURL& url, bool muted, bool looped, GstClock* clock = nullptr,
                PixelSize output = {});
    ~VideoPlayer() override;
    VideoPlayer(const VideoPlayer&) = delete;
    VideoPlayer& operator=(const VideoPlayer&) = delete;

    // Ignored while muted, but kept for unmuting.
    void setVolume(float volume) override;
    void play() override;
    // Main thread, before play(): the movie's running time 0 is `baseTime`
    // on the pipeline's clock instead of the moment it starts playing, so
    // players on one shared clock given one base time show the same picture
    // at the same moment, across loops too. A flushing seek while playing
    // (looping turned on mid-pass) restarts the pass on the old base time,
    // so its first pictures are late and skipped.
    void setStartBaseTime(std::uint64_t baseTime);
    // Takes a state with this movie's URL and Ken Burns flag (false when the
    // player has no state), applying its muted and looped flags to the
    // running pipeline; false for any other.
    bool adoptState(const MediaOutputState& state) override;
    // The picture due at the time stamp's host time (see above); the previous
    // one when none new is due; none before the first.
    GpuBufferRef frameForTime(const DisplayTimeStamp& timeStamp) override;
    // Uploads the prerolled picture if it has arrived. Does not advance the movie.
    void warmUp() override;

    const MediaURL& url() const { return url_; }
    bool isMuted() const { return muted_.load(); }
    bool isLooped() const { return looped_.load(); }
    // The pipeline's sound level, read back from it.
    double volume() const;
    // The pipeline's mute flag, read back from it.
    bool pipelineMuted() const;
    // Pictures shown so far (each uploaded once; pictures skipped because a
    // later one was due by then are not counted).
    std::uint64_t framesDecoded() const { return framesDecoded_.load(std::memory_order_relaxed); }
    // Whether the movie reached its end (never for a looped movie) or failed,
    // and its last picture has been shown by a frame request.
    bool ended() const;
    bool failed() const;
    // The turn the movie's orientation tag asks for; Rotate0 until one has
    // reached the picture sink, and for a movie without one.
    PictureOrientation orientation() const;
    // Loop seams crossed so far.
    std::uint64_t loopCount() const;
    // The position of the picture shown last (0 before the first; the
    // length once the movie has ended) and the length once the file is
    // prerolled. Reads values the pipeline's and render threads keep, so it
    // never waits for GStreamer.
    std::optional<PlaybackTime> playbackTime() const override;

    // Any thread: waits up to `timeout` until every pipeline handed over for
    // stopping so far has stopped (orderly shutdown, tests); false when some
    // had not stopped by then.
    static bool waitForStoppedPipelines(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The bin every player hands its pictures to `appsink` through (which
    // it takes over): deinterlacing, and a conversion to the formats the
    // appsink's caps take, to exact RGBA where `toRgba` (pictures of more
    // than `largest` pixels, when not 0, passed on in their decoder's format
    // where the appsink takes it). Floating; for benchmarks that measure the
    // player's path.
    static GstElement* makePictureSink(GstElement* appsink, bool toRgba,
                                       std::uint64_t largest = 0);

    // The pipeline, its thread and its bus handling; lives until its thread
    // has stopped it.
    struct Pipeline;

    struct BufferRelease {
        void operator()(GstBuffer* buffer) const noexcept;
    };
    // The decoded picture on show, known again when the appsink hands it out
    // a second time (a prerolled picture does). Its pixels are in the
    // texture by then, so the buffer goes back to its pool at once: a pooled
    // buffer handed out again with other pixels has other timestamps. Only a
    // picture without a timestamp is held, as nothing else tells it apart.
    class ShownPicture {
    public:
        void remember(GstBuffer* buffer);
        bool is(const GstBuffer* buffer) const;

    private:
        const GstBuffer* address_ = nullptr;
        std::uint64_t pts_ = 0;
        std::unique_ptr<GstBuffer, BufferRelease> held_;
    };

private:
    // Hands the pipeline to its thread to be stopped and freed.
    struct PipelineRelease {
        void operator()(Pipeline* pipeline) const noexcept;
    };
    struct CapsRelease {
        void operator()(GstCaps* caps) const noexcept;
    };
    // A decoded picture with its format.
    struct Picture {
        std::unique_ptr<GstBuffer, BufferRelease> buffer;
        std::unique_ptr<GstCaps, CapsRelease> caps;
        // When it is due, on the pipeline's running time; 0 when unknown
        // (due at once).
        std::uint64_t runningTime = 0;
        // Its place in the file, in nanoseconds; below zero when unknown.
        std::int64_t streamTime = -1;
    };
    // A picture's place in the file from its sample's segment.
    static std::int64_t streamTimeOf(const GstSegment* segment, GstBuffer* buffer);
    // Whether the pictures are made RGBA on the way from a decoder format
    // without alpha (so every alpha sample is full).
    bool decodedWithoutAlpha() const;

    // How long before it is due a picture reaches the appsink, in
    // nanoseconds: the display link renders a refresh ahead, and the render
    // thread must have the picture by then.
    static constexpr std::int64_t kHandedOverEarly = 50'000'000;
    // Pictures waiting, at most, in the appsink and again in `pending_`:
    // enough for kHandedOverEarly at 120 frames a second.
    static constexpr unsigned kPicturesAhead = 6;
    // A display time further ahead than this is taken as now.
    static constexpr std::int64_t kLongestLookAhead = kHandedOverEarly;

    // Takes the prerolled picture, if there is a new one, and uploads it.
    bool takePrerolledPicture();
    // Moves the pictures the appsink has decoded into `pending_`.
    void takeDecodedPictures();
    // The pipeline's running time at host time `hostTime`, or now when
    // `hostTime` is 0 or far from now; none while the pipeline has no clock
    // (not playing).
    std::optional<std::uint64_t> runningTimeAt(std::uint64_t hostTime) const;
    // Uploads a picture as the one shown.
    void show(const Picture& picture);

    MediaURL url_;
    // Changed on the main thread (adoptState), read on the render thread.
    std::atomic<bool> muted_;
    std::atomic<bool> looped_;
    std::optional<std::uint64_t> startBaseTime_;  // main thread
    std::unique_ptr<Pipeline, PipelineRelease> pipeline_;
    // Render thread only.
    std::deque<Picture> pending_;  // decoded, in running-time order, not yet due
    ShownPicture picture_;  // the decoded picture behind buffer_
    GpuBufferRef buffer_;
    float lastVolume_ = -1.0F;
    // Set by play() (main thread), read on the render thread: until then only
    // the prerolled picture is taken.
    std::atomic<bool> playAsked_{false};
    std::atomic<std::uint64_t> framesDecoded_{0};
    // Set on the render thread: the place in the file of the picture shown.
    std::atomic<std::int64_t> shownStreamTime_{-1};
    // Set on the render thread: the end had been reached and no decoded
    // picture was left waiting at the last frame request.
    std::atomic<bool> lastPictureShown_{false};
};

}  // namespace bw
