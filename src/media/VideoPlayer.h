#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "media/MediaPlayer.h"
#include "platform/MediaURL.h"

typedef struct _GstBuffer GstBuffer;

namespace bw {

// The player of a movie file: a GStreamer playbin decodes it (with its sound,
// to the system's audio output or the element BEAMWRIGHT_AUDIO_SINK names) and
// hands RGBA pictures to an appsink; each new picture is uploaded once into a
// pooled texture. The appsink is synchronised to the pipeline clock, so a
// picture arrives when it is due; a frame request shows the newest one (the
// display's time stamp is not mapped to a movie time).
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
    VideoPlayer(const MediaURL& url, bool muted, bool looped);
    ~VideoPlayer() override;
    VideoPlayer(const VideoPlayer&) = delete;
    VideoPlayer& operator=(const VideoPlayer&) = delete;

    // Ignored while muted, but kept for unmuting.
    void setVolume(float volume) override;
    void play() override;
    // Takes a state with this movie's URL and Ken Burns flag (false when the
    // player has no state), applying its muted and looped flags to the
    // running pipeline; false for any other.
    bool adoptState(const MediaOutputState& state) override;
    // The newest decoded picture; the previous one when nothing new arrived;
    // none before the first.
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
    // New pictures taken from the decoder so far.
    std::uint64_t framesDecoded() const { return framesDecoded_.load(std::memory_order_relaxed); }
    // Whether the movie reached its end (never for a looped movie) or failed.
    bool ended() const;
    bool failed() const;
    // Loop seams crossed so far.
    std::uint64_t loopCount() const;

    // Any thread: waits up to `timeout` until every pipeline handed over for
    // stopping so far has stopped (orderly shutdown, tests); false when some
    // had not stopped by then.
    static bool waitForStoppedPipelines(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The pipeline, its thread and its bus handling; lives until its thread
    // has stopped it.
    struct Pipeline;

private:
    // Hands the pipeline to its thread to be stopped and freed.
    struct PipelineRelease {
        void operator()(Pipeline* pipeline) const noexcept;
    };
    struct BufferRelease {
        void operator()(GstBuffer* buffer) const noexcept;
    };

    // Takes a new picture from the appsink, if there is one, and uploads it.
    void takeNewPicture();

    MediaURL url_;
    // Changed on the main thread (adoptState), read on the render thread.
    std::atomic<bool> muted_;
    std::atomic<bool> looped_;
    std::unique_ptr<Pipeline, PipelineRelease> pipeline_;
    // Render thread only.
    std::unique_ptr<GstBuffer, BufferRelease> picture_;  // the decoded picture behind buffer_
    GpuBufferRef buffer_;
    float lastVolume_ = -1.0F;
    std::atomic<std::uint64_t> framesDecoded_{0};
};

}  // namespace bw
