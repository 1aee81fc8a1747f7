#pragma once

#include <cstdint>
#include <functional>

namespace bw {

// A crop of a picture as fractions of its width and height: left 0.0 and
// right 1.0 are its left and right sides, top 0.0 its upper edge and bottom
// 1.0 its lower edge.
struct CropRect {
    float left = 0.0f;
    float right = 1.0f;
    float top = 0.0f;
    float bottom = 1.0f;

    friend bool operator==(const CropRect&, const CropRect&) = default;
};

// The slow pan and zoom over a still picture: a crop with the picture's own
// proportions, between half and all of its size, that glides in a straight
// line to a randomly placed target over kFrames frames, then heads for the
// next target, for ever. The motion moves one step per frame, not per unit of
// time. All arithmetic is 32-bit float.
//
// Pure arithmetic, no GL. Not thread-safe: one owner at a time (an image
// player builds it on the main thread and steps it on the render thread).
class KenBurnsMotion {
public:
    // Uniform unsigned 32-bit random numbers; three per target.
    using RandomSource = std::function<std::uint32_t()>;

    static constexpr float kFrames = 1500.0f;
    static constexpr float kMinScale = 0.5f;

    // Starts at the whole picture and chooses the first target.
    explicit KenBurnsMotion(RandomSource random);
    // The same with a Mersenne Twister seeded from std::random_device.
    KenBurnsMotion();

    // Moves the crop one step and returns where it now stands. The frame is
    // counted; after the kFrames-th frame of a move a new target is chosen,
    // with steps computed from where the crop stands.
    CropRect advance();

    const CropRect& current() const { return current_; }
    const CropRect& target() const { return target_; }
    // Per-frame change of each edge.
    const CropRect& step() const { return step_; }
    // Size of the target crop, as a fraction of the picture.
    float scale() const { return scale_; }
    // Frames since the current move began.
    float frameCount() const { return frameCount_; }

private:
    void chooseNewTarget();
    float nextFraction();

    RandomSource random_;
    float scale_ = 1.0f;
    CropRect target_;
    CropRect current_;
    CropRect step_{0.0f, 0.0f, 0.0f, 0.0f};
    float frameCount_ = 0.0f;
};

}  // namespace bw
