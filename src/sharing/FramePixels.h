#pragma once

#include <cstdint>
#include <vector>

#include "render/PixelSize.h"

namespace bw {

// One output frame as it was published: RGBA, premultiplied alpha, top row
// first, rows packed.
struct FramePixels {
    PixelSize size;
    std::vector<std::uint8_t> rgba;
};

}  // namespace bw
