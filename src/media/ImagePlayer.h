#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "media/KenBurnsMotion.h"
#include "media/MediaPlayer.h"
#include "platform/MediaURL.h"

namespace bw {

class Operation;
class ShaderScene;

// The player of a still image on one output. The file is decoded in the
// background (upright as its orientation tag says, scaled down to fit the
// largest texture the GPU takes) and uploaded once, at the first frame request
// or warm-up after decoding finished; until then the player has no frame.
// Without Ken Burns every frame request returns that one buffer. With it,
// every frame request moves a KenBurnsMotion one step and renders the crop
// through the shared "Crop" scene into a new buffer of the image's size.
// A file that cannot be decoded logs one warning and never has a frame.
// Volume and play change nothing.
//
// Threads: construction on the main thread (it returns at once: decoding
// happens on a background worker); frameForTime and warmUp on the render
// thread. The player may be released on either thread while its file is
// still being decoded; the decode is then dropped.
class ImagePlayer final : public MediaPlayer {
public:
    ImagePlayer(const MediaURL& url, bool kenBurns);
    // With Ken Burns motion drawing its random numbers from `random`.
    ImagePlayer(const MediaURL& url, bool kenBurns, KenBurnsMotion::RandomSource random);
    ~ImagePlayer() override;
    ImagePlayer(const ImagePlayer&) = delete;
    ImagePlayer& operator=(const ImagePlayer&) = delete;

    GpuBufferRef frameForTime(const DisplayTimeStamp& timeStamp) override;
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

    void uploadIfDecoded();

    MediaURL url_;
    ShaderScene& cropScene_;
    std::optional<KenBurnsMotion> motion_;
    std::shared_ptr<Decode> decode_;
    std::shared_ptr<Operation> operation_;
    // Render thread only.
    GpuBufferRef buffer_;
    bool uploadDone_ = false;
};

}  // namespace bw
