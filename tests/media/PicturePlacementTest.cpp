#include <gtest/gtest.h>

#include <string>

#include "media/PicturePlacement.h"

namespace bw {
namespace {

using Point = AffineMap::Point;
using O = PictureOrientation;

// Where the stored picture's top-left and top-right corners show on the
// upright picture (0..1 across and down), for each orientation: a turn
// clockwise, then for the flipped ones a mirror image of the turned picture.
const struct {
    O orientation;
    const char* tag;
    Point topLeft;
    Point topRight;
} kOrientations[] = {
    {O::Rotate0, "rotate-0", {0, 0}, {1, 0}},
    {O::Rotate90, "rotate-90", {1, 0}, {1, 1}},
    {O::Rotate180, "rotate-180", {1, 1}, {0, 1}},
    {O::Rotate270, "rotate-270", {0, 1}, {0, 0}},
    {O::FlipRotate0, "flip-rotate-0", {1, 0}, {0, 0}},
    {O::FlipRotate90, "flip-rotate-90", {0, 0}, {0, 1}},
    {O::FlipRotate180, "flip-rotate-180", {0, 1}, {1, 1}},
    {O::FlipRotate270, "flip-rotate-270", {1, 1}, {1, 0}},
};

// Where the upright picture lies on the output (left, top, right, bottom as
// fractions of the output), for a stored aspect on an output aspect, with the
// picture upright as stored and turned on its side.
struct Area {
    double left, top, right, bottom;
};
const struct {
    double storedAspect;
    double outputAspect;
    PictureFit fit;
    Area upright;
    Area sideways;
} kPlacements[] = {
    {2.0, 1.0, PictureFit::Stretch, {0, 0, 1, 1}, {0, 0, 1, 1}},
    {2.0, 1.0, PictureFit::Fit, {0, 0.25, 1, 0.75}, {0.25, 0, 0.75, 1}},
    {2.0, 1.0, PictureFit::Fill, {-0.5, 0, 1.5, 1}, {0, -0.5, 1, 1.5}},
    {16.0 / 9.0,
     16.0 / 9.0,
     PictureFit::Fit,
     {0, 0, 1, 1},
     {0.5 - 81.0 / 512, 0, 0.5 + 81.0 / 512, 1}},
    {16.0 / 9.0,
     16.0 / 9.0,
     PictureFit::Fill,
     {0, 0, 1, 1},
     {0, 0.5 - 128.0 / 81, 1, 0.5 + 128.0 / 81}},
    {0.5, 2.0, PictureFit::Fit, {0.375, 0, 0.625, 1}, {0, 0, 1, 1}},
    {0.5, 2.0, PictureFit::Fill, {0, -1.5, 1, 2.5}, {0, 0, 1, 1}},
    // Aspects that are not numbers stretch.
    {0.0, 1.0, PictureFit::Fit, {0, 0, 1, 1}, {0, 0, 1, 1}},
    {2.0, -1.0, PictureFit::Fill, {0, 0, 1, 1}, {0, 0, 1, 1}},
};

Point onOutput(const Area& area, Point upright) {
    return {area.left + upright.x * (area.right - area.left),
            area.top + upright.y * (area.bottom - area.top)};
}

// Verifies that each corner of the stored picture is sampled where it shows
// on the output, for every orientation, fit and a few aspects.
TEST(PicturePlacementTest, StoredCornersLandWhereTheUprightPictureShowsThem) {
    for (const auto& o : kOrientations) {
        for (const auto& p : kPlacements) {
            SCOPED_TRACE(std::string(o.tag) + " stored " + std::to_string(p.storedAspect) + " on " +
                         std::to_string(p.outputAspect) + " fit " +
                         std::to_string(static_cast<int>(p.fit)));
            const AffineMap map =
                PicturePlacement::map(o.orientation, p.storedAspect, p.outputAspect, p.fit);
            const Area& area = turnsSideways(o.orientation) ? p.sideways : p.upright;
            // The stored bottom corners are the top ones' opposites.
            const Point bottomRight{1 - o.topLeft.x, 1 - o.topLeft.y};
            const Point bottomLeft{1 - o.topRight.x, 1 - o.topRight.y};
            const struct {
                Point upright;
                Point stored;
            } corners[] = {{o.topLeft, {0, 0}},
                           {o.topRight, {1, 0}},
                           {bottomRight, {1, 1}},
                           {bottomLeft, {0, 1}}};
            for (const auto& corner : corners) {
                const Point sampled = map.apply(onOutput(area, corner.upright));
                EXPECT_NEAR(sampled.x, corner.stored.x, 1e-9);
                EXPECT_NEAR(sampled.y, corner.stored.y, 1e-9);
            }
        }
    }
}

TEST(PicturePlacementTest, OrientationTagsReadAsTheirTurn) {
    for (const auto& o : kOrientations) {
        EXPECT_EQ(pictureOrientationFromTag(o.tag), o.orientation) << o.tag;
    }
    for (const char* other : {"", "rotate-45", "Rotate-90", "flip-rotate-90 "}) {
        EXPECT_FALSE(pictureOrientationFromTag(other).has_value()) << other;
    }
}

TEST(PicturePlacementTest, PlacedSizeIsThePartOfTheOutputThePictureCovers) {
    const struct {
        double aspect;
        PictureFit fit;
        PixelSize expected;
    } cases[] = {
        {0.5, PictureFit::Stretch, {64, 36}}, {0.5, PictureFit::Fit, {18, 36}},
        {0.5, PictureFit::Fill, {64, 128}},   {4.0, PictureFit::Fit, {64, 16}},
        {4.0, PictureFit::Fill, {144, 36}},   {4.0, PictureFit::Fill, {100, 36}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        // The last case is held to a largest side of 100.
        const int maxSide = i + 1 == std::size(cases) ? 100 : 4096;
        EXPECT_EQ(PicturePlacement::placedSize(c.aspect, {64, 36}, c.fit, maxSide), c.expected)
            << i;
    }
}

}  // namespace
}  // namespace bw
