#pragma once

namespace bw {

// A picture's size in pixels.
struct PixelSize {
    int width = 0;
    int height = 0;

    bool operator==(const PixelSize&) const = default;
    bool isEmpty() const { return width <= 0 || height <= 0; }
};

// A rectangle of pixels; x and y count from the first stored row and column.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const PixelRect&) const = default;
};

}  // namespace bw
