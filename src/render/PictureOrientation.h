#pragma once

#include <iterator>
#include <optional>
#include <string_view>

namespace bw {

// How a picture's stored rows and columns are turned to show it upright: a
// turn clockwise by 0, 90, 180 or 270 degrees, and for the Flip ones a mirror
// image (left for right) of the turned picture. These are the eight values of
// a movie's "image-orientation" tag ("rotate-90", "flip-rotate-180" ...),
// which is how GStreamer reads a file's rotation and mirroring.
enum class PictureOrientation : unsigned char {
    Rotate0,
    Rotate90,
    Rotate180,
    Rotate270,
    FlipRotate0,
    FlipRotate90,
    FlipRotate180,
    FlipRotate270,
};

// The orientation a tag value names; none for any other text.
inline std::optional<PictureOrientation> pictureOrientationFromTag(std::string_view tag) {
    constexpr std::string_view kNames[] = {"rotate-0",        "rotate-90",      "rotate-180",
                                           "rotate-270",      "flip-rotate-0",  "flip-rotate-90",
                                           "flip-rotate-180", "flip-rotate-270"};
    for (unsigned i = 0; i < std::size(kNames); ++i) {
        if (tag == kNames[i]) return static_cast<PictureOrientation>(i);
    }
    return std::nullopt;
}

// Whether the upright picture is the stored one on its side (width and
// height swap).
inline bool turnsSideways(PictureOrientation orientation) {
    switch (orientation) {
        case PictureOrientation::Rotate90:
        case PictureOrientation::Rotate270:
        case PictureOrientation::FlipRotate90:
        case PictureOrientation::FlipRotate270:
            return true;
        default:
            return false;
    }
}

}  // namespace bw
