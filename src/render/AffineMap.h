#pragma once

namespace bw {

// An affine map of the plane: (x, y) goes to (xx x + xy y + x0, yx x + yy y + y0).
// A value; the identity unless set.
struct AffineMap {
    double xx = 1.0;
    double xy = 0.0;
    double x0 = 0.0;
    double yx = 0.0;
    double yy = 1.0;
    double y0 = 0.0;

    struct Point {
        double x = 0.0;
        double y = 0.0;
        bool operator==(const Point&) const = default;
    };

    Point apply(Point p) const { return {xx * p.x + xy * p.y + x0, yx * p.x + yy * p.y + y0}; }
    // This map applied to what `first` gives: first, then this.
    AffineMap after(const AffineMap& first) const {
        return {xx * first.xx + xy * first.yx,      xx * first.xy + xy * first.yy,
                xx * first.x0 + xy * first.y0 + x0, yx * first.xx + yy * first.yx,
                yx * first.xy + yy * first.yy,      yx * first.x0 + yy * first.y0 + y0};
    }

    bool operator==(const AffineMap&) const = default;
};

}  // namespace bw
