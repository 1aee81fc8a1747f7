#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/MediaPlayer.h"
#include "render/AffineMap.h"
#include "render/DisplayTimeStamp.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"
#include "show/Cue.h"
#include "show/ScreenChoice.h"
#include "show/StreamChoice.h"

typedef struct _GstClock GstClock;

namespace bw {

class FrameServer;
class NetworkStream;
class PipeWireConnection;
class ShaderScene;

// One named video output of a fixed size. Each tick it asks its players for
// their frames, mixes them through the shared "Mix" scene into a frame of its
// size, and publishes that frame under its name. Between cues it runs one
// player; during a crossfade two (outgoing first, incoming second), weighed by
// the engine's fade progress. Each picture is placed on the output by the
// mixer as it samples it (PicturePlacement): turned upright, in its displayed
// proportions, by its player's fit, with the output's bars where it leaves
// the output uncovered.
//
// Threads: construction on the main thread or the show loader; go, makePlayer,
// the player slots, setSize, setName, setScreen and setBars on the main thread;
// planRender, render and completeTransition on the render thread. The player
// slots, size, name, screen and last frame are guarded by a mutex held only to
// copy or swap them, never while a player renders.
class MediaOutput {
public:
    // What one tick renders: the players and the size, taken together.
    struct RenderPlan {
        std::vector<MediaPlayerRef> players;
        MediaPlayerRef nextPlayer;
        PixelSize size;
        PictureBars bars = PictureBars::Transparent;
    };

    // A new output shows the alignment grid at its size. Publishes on the
    // process's PipeWire connection, or on `connection`.
    MediaOutput(std::string name, double width, double height);
    MediaOutput(std::string name, double width, double height, PipeWireConnection& connection);
    ~MediaOutput();
    MediaOutput(const MediaOutput&) = delete;
    MediaOutput& operator=(const MediaOutput&) = delete;

    std::string name() const;
    // Renames the output and the name it publishes under. The engine's
    // renameOutput is the one caller.
    void setName(std::string name);
    double width() const;
    double height() const;
    // The frame size in pixels: width and height rounded.
    PixelSize pixelSize() const;
    // Stores the size, then replaces every generator player (running or
    // prepared) by one of the new size; movie and image players stay.
    void setSize(double width, double height);
    // The screen the output's window is meant to fill; none when none was
    // chosen. The output itself only keeps it: the window goes by it. Set by
    // the engine's setOutputScreen, and by the show loader on an output not
    // yet in the engine.
    std::optional<ScreenChoice> screen() const;
    void setScreen(std::optional<ScreenChoice> screen);
    // The network stream the output sends; none when none was chosen. A
    // choice starts a NetworkStream listening at once (at `rate` frames a
    // second, the outputs' pace); another choice, or none, ends the one
    // before, dropping its receivers. Main thread, like networkStream().
    std::optional<StreamChoice> stream() const;
    void setStream(std::optional<StreamChoice> stream, double rate);
    // Ends the running stream, its receivers with it, keeping the choice
    // (the engine, as the output leaves it).
    void stopStreaming();
    // The running stream, for its receivers and failure; null without one.
    const NetworkStream* networkStream() const { return networkStream_.get(); }
    // What the output shows beside a fitted picture (the show's bars
    // setting); transparent until set.
    PictureBars bars() const;
    void setBars(PictureBars bars);
    // The last fade position used for a crossfade.
    float crossfade() const;

    // File descriptors a new movie leaves to the rest of the process: its
    // sockets, a show being saved or loaded, pictures being decoded.
    static constexpr std::size_t kDescriptorReserve = 32;

    // A new, not started player for `state`, by the player-selection rule.
    // A movie's pipeline runs on `movieClock` when one is given. A movie
    // that would leave fewer than kDescriptorReserve file descriptors free
    // is refused with a warning in the system log: the player shows black.
    MediaPlayerRef makePlayer(const MediaOutputState& state, GstClock* movieClock = nullptr) const;

    std::vector<MediaPlayerRef> players() const;
    MediaPlayerRef nextPlayer() const;
    void setNextPlayer(MediaPlayerRef player);
    // Puts `player` in the slot of the running player: the only one between
    // cues, the incoming one during a crossfade; appended when there is none.
    // Returns the player it replaced, for the caller to release.
    MediaPlayerRef replaceRunningPlayer(MediaPlayerRef player);
    // The running player (as above); none when there is none.
    MediaPlayerRef runningPlayer() const;

    // What GO did to one output.
    struct GoResult {
        // The players it let go, for the caller to release.
        std::vector<MediaPlayerRef> released;
        // The player it brought in, if any, for the caller to start (play())
        // once it holds no lock.
        MediaPlayerRef started;
    };
    // GO: brings the prepared next player in beside the running one; during
    // a crossfade the outgoing side becomes a still of the last mixed frame.
    GoResult go();
    // The crossfade has ended: only the incoming player stays. Returns the
    // players it let go, for the caller to release off the render thread.
    std::vector<MediaPlayerRef> completeTransition();

    // Render thread: the players and size for this tick.
    RenderPlan planRender() const;
    // How long an output whose movie ends on black takes to fade to it.
    static constexpr double kMovieEndFadeSeconds = 0.5;

    // Render thread: mixes the plan's players (with `progress` during a
    // crossfade), publishes the output's frame, lets the pool do its
    // housekeeping and warms up the player waiting for GO. A player without a
    // frame skips the mix; the previous frame is published again. So does a
    // tick whose pictures, fade and size are those of the last mix (a still,
    // or a movie between its pictures): nothing new would be drawn.
    void render(const RenderPlan& plan, const DisplayTimeStamp& timeStamp,
                std::optional<double> progress);
    // Both steps at once.
    void render(const DisplayTimeStamp& timeStamp, std::optional<double> progress);

    // The frame published last (before the first mix: the empty frame made
    // at construction).
    GpuBufferRef outputBuffer() const;
    FrameServer& frameServer() const { return *frameServer_; }

private:
    static PixelSize toPixels(double width, double height);

    // What a mix drew from. Holding the pictures keeps their buffers from
    // being handed out again for other pictures while they are compared.
    struct MixInputs {
        GpuBufferRef first;
        GpuBufferRef second;
        AffineMap firstPlace;
        AffineMap secondPlace;
        float fade = 0.0f;
        PixelSize size;
        PictureBars bars = PictureBars::Transparent;

        bool operator==(const MixInputs&) const = default;
    };
    // Render thread: once `player`'s movie has ended on an output state
    // that ends on black, mixes black over its last picture, from nothing
    // to all over kMovieEndFadeSeconds.
    void mixMovieEndBlack(const MediaPlayer& player, const DisplayTimeStamp& timeStamp,
                          MixInputs& inputs);
    // Whether the mix of `picture` alone, placed by `place` on an output of
    // `size`, is the picture itself: RGBA with premultiplied (or full) alpha
    // in an RGBA8 texture, upright, of the output's size, covering it pixel
    // for pixel. Then the picture is published as it is, and the output
    // costs no drawing at all (a movie's picture converted on the CPU, a
    // generator's frame).
    static bool coversAsMixed(const GpuBuffer& picture, const AffineMap& place, PixelSize size);

    ShaderScene& mixer_;
    std::unique_ptr<FrameServer> frameServer_;
    // Main thread only; ended before the frame server its feed hangs on.
    std::optional<StreamChoice> stream_;
    std::unique_ptr<NetworkStream> networkStream_;
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::string name_;
    double width_;
    double height_;
    std::optional<ScreenChoice> screen_;
    PictureBars bars_ = PictureBars::Transparent;
    float crossfade_ = 0.0f;
    GpuBufferRef outputBuffer_;
    std::vector<MediaPlayerRef> players_;
    MediaPlayerRef nextPlayer_;
    // Render thread only: the inputs of the frame in outputBuffer_, and the
    // frame published last (a frame published again is no news to the
    // frame server).
    MixInputs lastMix_;
    GpuBufferRef lastPublished_;
    // Render thread only: the black a movie that ends on black fades to,
    // the player whose end is fading, and the display time it was first
    // seen ended at.
    std::shared_ptr<MediaPlayer> movieEndBlack_;
    PixelSize movieEndBlackSize_;
    const MediaPlayer* endedPlayer_ = nullptr;
    std::uint64_t endedAt_ = 0;
};

}  // namespace bw
