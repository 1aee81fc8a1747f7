#pragma once

#include "render/AffineMap.h"
#include "render/GpuBuffer.h"
#include "render/PictureOrientation.h"
#include "render/PixelSize.h"
#include "show/Cue.h"

namespace bw {

// Where a picture lands on an output: the map the mixer samples each input
// through, from a point of the output (0..1 across and down, (0,0) top left)
// to the point of the picture as stored (0..1 across its stored columns and
// down its stored rows). It folds in the picture's orientation (turned
// upright), its displayed proportions (stored size times pixel aspect, after
// turning) against the output's, and the fit. Points the map takes outside
// 0..1 lie beside the picture: the bars.
//
// Pure arithmetic; any thread.
class PicturePlacement {
public:
    // `storedAspect`: the stored picture's displayed width over its height
    // (pixel aspect folded in, before turning). `outputAspect`: the output's
    // width over its height. An aspect that is not a positive number places
    // the picture as Stretch would.
    static AffineMap map(PictureOrientation orientation, double storedAspect, double outputAspect,
                         PictureFit fit);

    // The stored picture's displayed width over height: its valid region's
    // (or, without one, its texture's) size times its pixel aspect.
    static double storedAspect(const GpuBuffer& picture);

    // The map for `picture` on an output of `output` pixels.
    static AffineMap forPicture(const GpuBuffer& picture, PixelSize output, PictureFit fit);

    // The size, in pixels, of a picture of displayed proportions `aspect`
    // placed by `fit` on an output of `output` pixels: the output's own for
    // Stretch, the part of the output it covers for Fit, the size it covers
    // with its overhang for Fill. Each side at least 1, at most `maxSide`.
    static PixelSize placedSize(double aspect, PixelSize output, PictureFit fit, int maxSide);
};

}  // namespace bw
