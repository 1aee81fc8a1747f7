#pragma once

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
    void setState(MediaOutputState state) { state_ = std::move(state); }

    // Main thread. Takes `state` in place when it differs from the player's
    // own state() only in what the player can change while it plays (a
    // movie's muted and looped flags); true when it did, and state() is then
    // `state`. False when `state` needs another player. The default takes
    // only an equal state.
    virtual bool adoptState(const MediaOutputState& state) { return state_ == state; }

private:
    std::optional<MediaOutputState> state_;
};

using MediaPlayerRef = std::shared_ptr<MediaPlayer>;

}  // namespace bw
