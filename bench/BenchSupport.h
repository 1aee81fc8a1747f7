#pragma once

// Shared by the render benchmarks: the bare-GL floor a tick is measured
// against, outside consumers for published outputs, and small helpers.

#include <epoxy/gl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "render/PixelSize.h"
#include "sharing/support/PipeWireDaemon.h"

namespace bw::bench {

inline constexpr PixelSize kFullHd{1920, 1080};

double median(std::vector<double> values);
// The CPU time this process has used, every thread, in seconds.
double processCpuSeconds();
double percentile(std::vector<double> values, double fraction);

// A full-HD picture of a repeating pattern; `seed` makes two differ.
std::vector<std::uint8_t> pattern(int seed);

// The floor: per output, one two-texture blend pass (or, standing still,
// one plain textured draw) into a fixed framebuffer, then glReadPixels.
// Render thread, with the context current.
class BareGl {
public:
    BareGl(GLuint textureA, GLuint textureB, int outputs);
    ~BareGl();
    BareGl(const BareGl&) = delete;
    BareGl& operator=(const BareGl&) = delete;

    void tick(bool crossfading);

private:
    GLuint textureA_;
    GLuint textureB_;
    GLuint blend_ = 0;
    GLuint copy_ = 0;
    GLuint vertexArray_ = 0;
    std::vector<GLuint> targets_;
    std::vector<GLuint> framebuffers_;
    std::vector<std::uint8_t> pixels_;
};

// Makes the test media (and, with `withBenchMovie`, the 1080p benchmark
// movie) with tools/make-test-media, once per build folder; the folder, or
// none with a line on standard error when that fails.
std::optional<std::string> makeTestMedia(bool withBenchMovie);

// GStreamer's pipewiresrc into fakesink, linked to the published output
// `target` with pw-link (no session manager runs on the private daemon).
std::unique_ptr<test::ChildProcess> startConsumer(const std::string& target, PixelSize size);

}  // namespace bw::bench
