#include "media/PicturePlacement.h"

#include <algorithm>
#include <cmath>

namespace bw {

namespace {

bool usable(double aspect) {
    return std::isfinite(aspect) && aspect > 0.0;
}

// The picture's extent on the output, as fractions of the output's width and
// height: 1 where it spans the output, below 1 beside bars, above 1 where it
// overhangs.
AffineMap::Point extent(double pictureAspect, double outputAspect, PictureFit fit) {
    if (fit == PictureFit::Stretch || !usable(pictureAspect) || !usable(outputAspect)) {
        return {1.0, 1.0};
    }
    const bool wider = pictureAspect > outputAspect;
    const bool spansWidth = fit == PictureFit::Fit ? wider : !wider;
    return spansWidth ? AffineMap::Point{1.0, outputAspect / pictureAspect}
                      : AffineMap::Point{pictureAspect / outputAspect, 1.0};
}

// From a point of the upright picture back to the stored one.
AffineMap unturned(PictureOrientation orientation) {
    AffineMap turn;
    switch (orientation) {
        case PictureOrientation::Rotate0:
        case PictureOrientation::FlipRotate0:
            break;
        case PictureOrientation::Rotate90:
        case PictureOrientation::FlipRotate90:
            turn = {0.0, 1.0, 0.0, -1.0, 0.0, 1.0};
            break;
        case PictureOrientation::Rotate180:
        case PictureOrientation::FlipRotate180:
            turn = {-1.0, 0.0, 1.0, 0.0, -1.0, 1.0};
            break;
        case PictureOrientation::Rotate270:
        case PictureOrientation::FlipRotate270:
            turn = {0.0, -1.0, 1.0, 1.0, 0.0, 0.0};
            break;
    }
    // The mirror image is taken of the turned picture, so it is undone first.
    const bool mirrored = orientation >= PictureOrientation::FlipRotate0;
    return mirrored ? turn.after(AffineMap{-1.0, 0.0, 1.0, 0.0, 1.0, 0.0}) : turn;
}

}  // namespace

AffineMap PicturePlacement::map(PictureOrientation orientation, double storedAspect,
                                double outputAspect, PictureFit fit) {
    const double upright = turnsSideways(orientation) ? 1.0 / storedAspect : storedAspect;
    const AffineMap::Point size = extent(upright, outputAspect, fit);
    // Centred: the output's middle is the picture's.
    const AffineMap placed{1.0 / size.x, 0.0,          0.5 - 0.5 / size.x,
                           0.0,          1.0 / size.y, 0.5 - 0.5 / size.y};
    return unturned(orientation).after(placed);
}

double PicturePlacement::storedAspect(const GpuBuffer& picture) {
    const PixelRect rect = picture.srcRect();
    const PixelSize size =
        rect.width > 0 && rect.height > 0 ? PixelSize{rect.width, rect.height} : picture.size();
    if (size.isEmpty()) return 1.0;
    const double pixelAspect = usable(picture.pixelAspect()) ? picture.pixelAspect() : 1.0;
    return static_cast<double>(size.width) * pixelAspect / size.height;
}

AffineMap PicturePlacement::forPicture(const GpuBuffer& picture, PixelSize output, PictureFit fit) {
    if (fit == PictureFit::Stretch && picture.orientation() == PictureOrientation::Rotate0) {
        return AffineMap{};
    }
    const double outputAspect =
        output.isEmpty() ? 0.0 : static_cast<double>(output.width) / output.height;
    return map(picture.orientation(), storedAspect(picture), outputAspect, fit);
}

PixelSize PicturePlacement::placedSize(double aspect, PixelSize output, PictureFit fit,
                                       int maxSide) {
    const double outputAspect =
        output.isEmpty() ? 0.0 : static_cast<double>(output.width) / output.height;
    const AffineMap::Point size = extent(aspect, outputAspect, fit);
    const auto side = [maxSide](double length) {
        return static_cast<int>(
            std::clamp(std::lround(length), 1L, static_cast<long>(std::max(maxSide, 1))));
    };
    return {side(output.width * size.x), side(output.height * size.y)};
}

}  // namespace bw
