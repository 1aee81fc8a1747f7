#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "media/KenBurnsMotion.h"

namespace bw {
namespace {

constexpr std::uint32_t kHalf = 0x80000000u;
constexpr std::uint32_t kAll = 0xFFFFFFFFu;

// Hands out `values` in order, then repeats the last one; counts the draws.
struct ScriptedRandom {
    std::vector<std::uint32_t> values;
    std::size_t draws = 0;

    KenBurnsMotion::RandomSource source() {
        return [this] {
            const std::uint32_t value = values[std::min(draws, values.size() - 1)];
            ++draws;
            return value;
        };
    }
};

void expectCropNear(const CropRect& actual, const CropRect& expected, float tolerance) {
    EXPECT_NEAR(actual.left, expected.left, tolerance);
    EXPECT_NEAR(actual.right, expected.right, tolerance);
    EXPECT_NEAR(actual.top, expected.top, tolerance);
    EXPECT_NEAR(actual.bottom, expected.bottom, tolerance);
}

void expectTargetInsideWithPictureProportions(const KenBurnsMotion& motion) {
    const CropRect& target = motion.target();
    EXPECT_GE(motion.scale(), 0.5f);
    EXPECT_LE(motion.scale(), 1.0f);
    EXPECT_GE(target.left, 0.0f);
    EXPECT_LE(target.right, 1.0f);
    EXPECT_GE(target.top, 0.0f);
    EXPECT_LE(target.bottom, 1.0f);
    EXPECT_FLOAT_EQ(target.right - target.left, motion.scale());
    EXPECT_FLOAT_EQ(target.bottom - target.top, motion.scale());
}

TEST(KenBurnsMotionTest, StartsAtTheWholePictureAndTheFirstFrameIsOneStepOff) {
    ScriptedRandom random{{0, kHalf, kAll}};
    KenBurnsMotion motion(random.source());
    EXPECT_EQ(random.draws, 3u);
    EXPECT_EQ(motion.current(), (CropRect{0.0f, 1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(motion.frameCount(), 0.0f);
    // r1 = 0: half the picture; r2 = 2^31: halfway across the room left; r3
    // near 2^32: as far down as it goes.
    EXPECT_EQ(motion.scale(), 0.5f);
    EXPECT_EQ(motion.target(), (CropRect{0.25f, 0.75f, 0.5f, 1.0f}));
    EXPECT_EQ(motion.step(), (CropRect{0.25f / 1500.0f, -0.25f / 1500.0f, 0.5f / 1500.0f, 0.0f}));

    const CropRect first = motion.advance();
    EXPECT_EQ(first, (CropRect{0.25f / 1500.0f, 1.0f - 0.25f / 1500.0f, 0.5f / 1500.0f, 1.0f}));
    EXPECT_EQ(motion.current(), first);
    EXPECT_EQ(motion.frameCount(), 1.0f);
}

TEST(KenBurnsMotionTest, TheFifteenHundredthFrameReachesTheTargetAndStartsTheNextMove) {
    ScriptedRandom random{{kHalf, 0x40000000u, 0xC0000000u, 0, 0, 0}};
    KenBurnsMotion motion(random.source());
    const CropRect firstTarget = motion.target();
    for (int frame = 1; frame < 1500; ++frame)
        motion.advance();
    EXPECT_EQ(motion.frameCount(), 1499.0f);
    EXPECT_EQ(random.draws, 3u);

    const CropRect last = motion.advance();
    expectCropNear(last, firstTarget, 1e-4f);
    EXPECT_EQ(motion.frameCount(), 0.0f);
    EXPECT_EQ(random.draws, 6u);
    // The next target (r = 0, 0, 0): the top-left half; its steps start from
    // where the crop actually stands, not from the old target.
    EXPECT_EQ(motion.target(), (CropRect{0.0f, 0.5f, 0.0f, 0.5f}));
    const CropRect& now = motion.current();
    EXPECT_EQ(motion.step(), (CropRect{(0.0f - now.left) / 1500.0f, (0.5f - now.right) / 1500.0f,
                                       (0.0f - now.top) / 1500.0f, (0.5f - now.bottom) / 1500.0f}));
    for (int frame = 0; frame < 1500; ++frame)
        motion.advance();
    expectCropNear(motion.current(), CropRect{0.0f, 0.5f, 0.0f, 0.5f}, 1e-4f);
}

TEST(KenBurnsMotionTest, AFractionThatRoundsToOneHeadsBackToTheWholePicture) {
    ScriptedRandom random{{0, 0, 0, kAll, kAll, kAll}};
    KenBurnsMotion motion(random.source());
    for (int frame = 0; frame < 1500; ++frame)
        motion.advance();
    EXPECT_EQ(motion.scale(), 1.0f);
    EXPECT_EQ(motion.target(), (CropRect{0.0f, 1.0f, 0.0f, 1.0f}));
    EXPECT_GT(motion.step().right, 0.0f);
    EXPECT_GT(motion.step().bottom, 0.0f);
    for (int frame = 0; frame < 1499; ++frame)
        motion.advance();
    expectCropNear(motion.advance(), CropRect{0.0f, 1.0f, 0.0f, 1.0f}, 1e-4f);
}

TEST(KenBurnsMotionTest, EveryTargetLiesInsideThePictureWithItsProportions) {
    std::mt19937 engine(12345);
    KenBurnsMotion motion([&engine] { return static_cast<std::uint32_t>(engine()); });
    float smallest = 1.0f;
    for (int move = 0; move < 200; ++move) {
        SCOPED_TRACE(move);
        expectTargetInsideWithPictureProportions(motion);
        smallest = std::min(smallest, motion.scale());
        for (int frame = 0; frame < 1500; ++frame) {
            const CropRect crop = motion.advance();
            ASSERT_GE(crop.left, -1e-4f);
            ASSERT_LE(crop.right, 1.0f + 1e-4f);
            ASSERT_LT(crop.left, crop.right);
            ASSERT_LT(crop.top, crop.bottom);
        }
    }
    // Uniform sizes: 200 draws come near the smallest allowed.
    EXPECT_LT(smallest, 0.55f);
}

}  // namespace
}  // namespace bw
