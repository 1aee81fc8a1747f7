#include "media/KenBurnsMotion.h"

#include <random>
#include <utility>

namespace bw {
namespace {

// 2^-32: turns an unsigned 32-bit number into a fraction in [0, 1].
constexpr float kFractionOfUInt32 = 2.3283064e-10f;

KenBurnsMotion::RandomSource seededTwister() {
    std::random_device device;
    return [engine = std::mt19937(device())]() mutable {
        return static_cast<std::uint32_t>(engine());
    };
}

}  // namespace

KenBurnsMotion::KenBurnsMotion(RandomSource random) : random_(std::move(random)) {
    chooseNewTarget();
}

KenBurnsMotion::KenBurnsMotion() : KenBurnsMotion(seededTwister()) {}

float KenBurnsMotion::nextFraction() {
    // float(r) may round up to 2^32, making the fraction exactly 1.0.
    return static_cast<float>(random_()) * kFractionOfUInt32;
}

void KenBurnsMotion::chooseNewTarget() {
    const float r1 = nextFraction();
    const float r2 = nextFraction();
    const float r3 = nextFraction();
    scale_ = kMinScale + (1.0f - kMinScale) * r1;
    target_.left = (1.0f - scale_) * r2;
    target_.right = target_.left + scale_;
    target_.top = (1.0f - scale_) * r3;
    target_.bottom = target_.top + scale_;
    step_.left = (target_.left - current_.left) / kFrames;
    step_.right = (target_.right - current_.right) / kFrames;
    step_.top = (target_.top - current_.top) / kFrames;
    step_.bottom = (target_.bottom - current_.bottom) / kFrames;
}

CropRect KenBurnsMotion::advance() {
    current_.left += step_.left;
    current_.right += step_.right;
    current_.top += step_.top;
    current_.bottom += step_.bottom;
    const CropRect shown = current_;
    frameCount_ += 1.0f;
    if (frameCount_ == kFrames) {
        frameCount_ = 0.0f;
        chooseNewTarget();
    }
    return shown;
}

}  // namespace bw
