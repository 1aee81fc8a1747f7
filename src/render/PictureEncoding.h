#pragma once

#include <array>
#include <memory>

namespace bw {

class GpuBuffer;

// How a buffer's samples become a picture. Most buffers hold premultiplied
// RGBA as they stand. A movie's picture stays in its decoder's encoding (a
// luma plane in the buffer's own texture, chroma and alpha planes beside it)
// and the scenes that sample it convert it to RGB there, at the size they
// draw at, so no pass of its own and no CPU time goes to the conversion.
struct PictureEncoding {
    enum class Kind : char {
        Rgba = 'r',         // RGBA in the buffer's texture
        Planar = 'y',       // Y, Cb and Cr planes
        Interleaved = 'n',  // a Y plane, and one plane with Cb in red and Cr in green
        PlanarAlpha = 'a',  // Y, Cb, Cr and alpha planes (straight alpha)
    };

    Kind kind = Kind::Rgba;

    // Rgba only: the colour is not yet multiplied by alpha, or the alpha
    // channel holds padding and the picture is opaque.
    bool straightAlpha = false;
    bool opaque = false;

    // The planes that are not the buffer's own texture: Cb (or CbCr), Cr,
    // alpha. Empty for Rgba.
    std::array<std::shared_ptr<GpuBuffer>, 3> planes;

    // The others: rows of a matrix taking (Y, Cb, Cr, 1), as the textures
    // give them, to (R, G, B, s), where the picture's alpha is the alpha
    // plane's sample times s. It folds in the range, the bit depth and the
    // colour matrix.
    std::array<float, 16> colour = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

}  // namespace bw
