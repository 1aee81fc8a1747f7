#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "render/DisplayTimeStamp.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"
#include "show/Cue.h"

namespace bw {

// What produces one output's picture for one cue.
//
// Threads: construction and play on the main thread; setVolume and
// frameForTime on the render thread, at most once per tick each. A player
// may be released on either thread.
class MediaPlayer {
public:
    virtual ~MediaPlayer() = default;

    // Audio level, 0.0 silent to 1.0 full. Players without sound ignore it.
    virtual void setVolume(float volume) { (void)volume; }
    // Starts playback; called once, when the player goes on an output.
    virtual void play() {}
    // The frame to show for the frame being rendered at `timeStamp`; none
    // while the player has nothing to show.
    virtual GpuBufferRef frameForTime(const DisplayTimeStamp& timeStamp) = 0;

    // Render thread, while the player waits for GO: prepares what its first
    // frame needs, so that GO does not wait for it. Must not move the player
    // on (a frame request may); a player that has nothing to prepare does
    // nothing.
    virtual void warmUp() {}

    // The same kind of player at another output size, for players whose
    // picture is made at the output's size (generators); none for the rest,
    // which keep their pictures when an output is resized.
    virtual std::shared_ptr<MediaPlayer> resized(PixelSize size) const {
        (void)size;
        return nullptr;
    }

    // Where a movie stands: the position of the picture it shows, in
    // seconds from the start of the file (of the pass under way, for a
    // looped movie), and the file's length once known.
    struct PlaybackTime {
        double position = 0.0;
        std::optional<double> duration;
        bool looped = false;
        bool ended = false;
    };
    // Any thread, without waiting: a movie's time; none for players that
    // have no time of their own (stills, generators).
    virtual std::optional<PlaybackTime> playbackTime() const { return std::nullopt; }

    // The output state this player was made for; none for a still of a mixed
    // frame. Main thread.
    const std::optional<MediaOutputState>& state() const { return state_; }
    void setState(MediaOutputState state) {
        fit_.store(state.fit, std::memory_order_relaxed);
        atMovieEnd_.store(state.atMovieEnd, std::memory_order_relaxed);
        state_ = std::move(state);
    }

    // Any thread: how the output places this player's pictures, its state's
    // fit (Stretch without a state). The output reads it at each mix, so a
    // state adopted in place changes the placement from the next frame on.
    PictureFit fit() const { return fit_.load(std::memory_order_relaxed); }
    // Any thread: what the output shows once this player's movie has ended,
    // its state's choice (Hold without a state); read at each mix as well.
    AtMovieEnd atMovieEnd() const { return atMovieEnd_.load(std::memory_order_relaxed); }

    // Main thread. Takes `state` in place when it differs from the player's
    // own state() only in what the player can change while it plays (a
    // movie's muted and looped flags, and for every player the fit and the
    // end-of-movie choice, which the output applies); true when it did, and state() is then
    // `state`. False when `state` needs another player. The default takes a state that differs in
    // the fit alone.
    virtual bool adoptState(const MediaOutputState& state) {
        if (!state_) return false;
        MediaOutputState refitted = *state_;
        refitted.fit = state.fit;
        refitted.atMovieEnd = state.atMovieEnd;
        if (!(refitted == state)) return false;
        setState(state);
        return true;
    }

private:
    std::optional<MediaOutputState> state_;
    std::atomic<PictureFit> fit_{PictureFit::Stretch};
    std::atomic<AtMovieEnd> atMovieEnd_{AtMovieEnd::Hold};
};

using MediaPlayerRef = std::shared_ptr<MediaPlayer>;

}  // namespace bw
