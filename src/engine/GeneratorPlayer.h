#pragma once

#include "media/MediaPlayer.h"

namespace bw {

class ShaderScene;

// A player whose picture comes from a shader scene with no inputs, rendered
// once at the output's size on the first frame request and shown unchanged
// from then on. Volume and play change nothing.
class GeneratorPlayer : public MediaPlayer {
public:
    GpuBufferRef frameForTime(const DisplayTimeStamp& timeStamp) override;
    // Renders the picture ahead of the first request.
    void warmUp() override;

    PixelSize size() const { return size_; }
    // The rendered frame; none before the first request.
    const GpuBufferRef& buffer() const { return buffer_; }

protected:
    explicit GeneratorPlayer(PixelSize size) : size_(size) {}
    virtual ShaderScene& scene() const = 0;

private:
    PixelSize size_;
    GpuBufferRef buffer_;
};

// Opaque black: "black://", and every URL that names no movie or image.
class BlackPlayer final : public GeneratorPlayer {
public:
    explicit BlackPlayer(PixelSize size) : GeneratorPlayer(size) {}
    MediaPlayerRef resized(PixelSize size) const override;

private:
    ShaderScene& scene() const override;
};

// Fully transparent: "clear://".
class ClearPlayer final : public GeneratorPlayer {
public:
    explicit ClearPlayer(PixelSize size) : GeneratorPlayer(size) {}
    MediaPlayerRef resized(PixelSize size) const override;

private:
    ShaderScene& scene() const override;
};

// The alignment grid: "grid://", and every new output.
class GridPlayer final : public GeneratorPlayer {
public:
    explicit GridPlayer(PixelSize size) : GeneratorPlayer(size) {}
    MediaPlayerRef resized(PixelSize size) const override;

private:
    ShaderScene& scene() const override;
};

}  // namespace bw
