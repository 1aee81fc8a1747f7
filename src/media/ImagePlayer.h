#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "media/KenBurnsMotion.h"
#include "media/MediaPlayer.h"
#include "platform/MediaURL.h"
#include "render/PixelSize.h"

namespace bw {

class Operation;
class ShaderScene;

// The player of a still image on one output. The file is decoded in the
// background (upright as its orientation tag says) at the size the output
// needs: no larger than the output's width and height, each way, or twice that
// with Ken Burns, whose closest crop is half the picture; never enlarged, and
// within the largest texture the GPU takes. A JPEG decodes straight at a
// power-of-two reduction, which is several times faster than decoding it
// whole. The picture is uploaded once, at the first frame request or warm-up
// after decoding finished; until then the player has no frame (the output
// keeps showing what it showed). Without Ken Burns every frame request returns
// that one buffer. With it, every frame request moves a KenBurnsMotion one
// step and renders the crop through the shared "Crop" scene into a new buffer
// of the output's size, so the cost of a frame does not depend on the
// picture's. The crop keeps the still's proportions and the output places
// it by the player's fit like any picture: with Fit it is drawn at the size
// it covers inside the output, with Fill it is narrowed to the output's
// proportions first. A file that cannot be decoded logs one warning and never has a
// frame. Volume and play change nothing.
//
// A moving GIF or WebP plays its frames: its time starts at the first frame
// request and follows the frame requests' display times (never the wall
// clock). It loops as the file says, or for ever while the Loop box is on
// (setLooped; looping turned on after the last frame starts it again), and
// otherwise stops on its last frame. Frames are decoded and converted on the
// background workers a few ahead of the one shown (at most six frames at the
// decoded size exist at once, however long the animation); the render thread
// only uploads the frame that is due into a pooled buffer. A frame due while
// its decode is late keeps the one shown; a refill that falls behind skips
// ahead. With Ken Burns the motion crops the moving picture like a still one.
//
// The output size is the one given at construction: an output resized later
// keeps this player (see MediaOutput::setSize), which then shows the same
// picture placed on the new size, a little soft on a larger output, until
// the next cue makes a new player. An empty size means "unknown": the picture
// decodes whole and the crop renders at the picture's size.
//
// Threads: construction on the main thread (it returns at once: decoding
// happens on a background worker); frameForTime and warmUp on the render
// thread. The player may be released on either thread while its file is
// still being decoded; the decode is then dropped.
class ImagePlayer final : public MediaPlayer {
public:
    ImagePlayer(const MediaURL& url, bool kenBurns, PixelSize outputSize);
    // With Ken Burns motion drawing its random numbers from `random`.
    ImagePlayer(const MediaURL& url, bool kenBurns, PixelSize outputSize,
                KenBurnsMotion::RandomSource random);
    ~ImagePlayer() override;
    ImagePlayer(const ImagePlayer&) = delete;
    ImagePlayer& operator=(const ImagePlayer&) = delete;

    GpuBufferRef frameForTime(const DisplayTimeStamp& timeStamp) override;
    // Main thread: takes a change of the Loop box (or of the sound, which a
    // still has none of) in place.
    bool adoptState(const MediaOutputState& state) override;
    // Any thread: the Loop box, for a moving picture.
    void setLooped(bool looped);
    // Any thread: whether the decoded file is a moving picture.
    bool animated() const;
    // Uploads the decoded picture, if it is ready; does not move the motion.
    void warmUp() override;

    const MediaURL& url() const { return url_; }
    bool kenBurns() const { return motion_.has_value(); }
    // The motion, when Ken Burns is on. Render thread once the player plays.
    const KenBurnsMotion* motion() const { return motion_ ? &*motion_ : nullptr; }
    // The uploaded picture; none before the upload or when decoding failed.
    const GpuBufferRef& buffer() const { return buffer_; }

    // Any thread: waits up to `timeout` for the background decode to end,
    // successfully or not; true when it has.
    bool waitUntilDecoded(std::chrono::milliseconds timeout) const;

private:
    // The decode's outcome, shared with the background worker.
    struct Decode;
    // A moving picture's frames, decoded ahead on the background workers.
    struct Animation;

    void uploadIfDecoded();
    // Render thread: uploads the frame due at `time` (microseconds of the
    // animation) if it is another, and asks for more frames when few are left.
    void showAnimationFrame(std::int64_t time);

    MediaURL url_;
    PixelSize outputSize_;
    ShaderScene& cropScene_;
    int maxTextureSize_;
    std::optional<KenBurnsMotion> motion_;
    std::shared_ptr<Decode> decode_;
    std::shared_ptr<Operation> operation_;
    // Render thread only.
    GpuBufferRef buffer_;
    bool uploadDone_ = false;
    std::shared_ptr<Animation> animation_;
    std::shared_ptr<Operation> refill_;
    std::optional<std::uint64_t> animationStart_;
};

}  // namespace bw
