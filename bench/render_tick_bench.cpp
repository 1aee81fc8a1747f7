// The cost of one render tick for N outputs of 1920x1080 (N = 1, 2, 4, 8),
// against the floor measured in the same run with bare GL calls:
//
// - crossfading: per output, the "Mix" scene blending two pictures into a
//   pooled buffer, then publishing it (pixel-buffer readback, BGRA copy into
//   the PipeWire node) and the pool's housekeeping; the floor is one
//   two-texture blend pass into a fixed framebuffer plus one glReadPixels;
// - standing still (crossfade 0, one picture): the same calls; the floor is
//   one plain textured draw plus one glReadPixels.
//
// Publishing runs against a private PipeWire daemon with a consumer linked to
// every output (pipewiresrc into fakesink), so frames really are copied into
// the consumers' buffers. Ticks of the two sides alternate; figures are
// medians. The GL renderer is printed: on llvmpipe (no GPU) every pass and
// readback is CPU work.
//
// bench_render_tick [--ticks N] [--outputs 1,2,4,8] [--no-consumers]

#include <epoxy/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/FrameServer.h"
#include "engine/GlObject.h"
#include "engine/GpuBufferPool.h"
#include "engine/PipeWireConnection.h"
#include "engine/RenderContext.h"
#include "engine/ShaderScene.h"
#include "engine/support/PipeWireDaemon.h"

namespace {

using namespace bw;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr PixelSize kSize{1920, 1080};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

std::vector<std::uint8_t> pattern(int seed) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kSize.width) * kSize.height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(seed) * 13) % 251);
    }
    return rgba;
}

GLuint compileProgram(const char* fragmentSource) {
    static const char* vertexSource = R"(#version 330 core
out vec2 uv;
void main() {
    vec2 corner = vec2(float((gl_VertexID << 1) & 2), float(gl_VertexID & 2));
    uv = corner;
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
})";
    const GLuint program = glCreateProgram();
    for (auto [type, source] : {std::pair{GL_VERTEX_SHADER, vertexSource},
                                std::pair{GL_FRAGMENT_SHADER, fragmentSource}}) {
        const GLuint shader = glCreateShader(type);
        glShaderSource(shader, 1, &source, nullptr);
        glCompileShader(shader);
        glAttachShader(program, shader);
        glDeleteShader(shader);
    }
    glLinkProgram(program);
    return program;
}

// The floor: bare GL with nothing around it.
class BareGl {
public:
    BareGl(GLuint textureA, GLuint textureB, int outputs)
        : textureA_(textureA), textureB_(textureB), pixels_(kSize.width * kSize.height * 4) {
        blend_ = compileProgram(R"(#version 330 core
in vec2 uv; out vec4 fragColor;
uniform sampler2D a; uniform sampler2D b; uniform float t;
void main() { fragColor = mix(texture(a, uv), texture(b, uv), t); })");
        copy_ = compileProgram(R"(#version 330 core
in vec2 uv; out vec4 fragColor;
uniform sampler2D a;
void main() { fragColor = texture(a, uv); })");
        glUseProgram(blend_);
        glUniform1i(glGetUniformLocation(blend_, "a"), 0);
        glUniform1i(glGetUniformLocation(blend_, "b"), 1);
        glUniform1f(glGetUniformLocation(blend_, "t"), 0.37f);
        glUseProgram(copy_);
        glUniform1i(glGetUniformLocation(copy_, "a"), 0);
        glUseProgram(0);
        glGenVertexArrays(1, &vertexArray_);
        for (int i = 0; i < outputs; ++i) {
            GLuint texture = 0;
            GLuint framebuffer = 0;
            glGenTextures(1, &texture);
            glBindTexture(GL_TEXTURE_2D, texture);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kSize.width, kSize.height, 0, GL_RGBA,
                         GL_UNSIGNED_BYTE, nullptr);
            glGenFramebuffers(1, &framebuffer);
            glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
            glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
            targets_.push_back(texture);
            framebuffers_.push_back(framebuffer);
        }
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }

    void tick(bool crossfading) {
        for (GLuint framebuffer : framebuffers_) {
            glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
            glViewport(0, 0, kSize.width, kSize.height);
            glUseProgram(crossfading ? blend_ : copy_);
            glActiveTexture(GL_TEXTURE0);
            glBindTexture(GL_TEXTURE_2D, textureA_);
            if (crossfading) {
                glActiveTexture(GL_TEXTURE1);
                glBindTexture(GL_TEXTURE_2D, textureB_);
            }
            glBindVertexArray(vertexArray_);
            glDrawArrays(GL_TRIANGLES, 0, 3);
            glReadPixels(0, 0, kSize.width, kSize.height, GL_RGBA, GL_UNSIGNED_BYTE,
                         pixels_.data());
        }
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }

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

// What the engine's outputs do each tick.
class Outputs {
public:
    Outputs(GpuBufferRef a, GpuBufferRef b, int count) : a_(std::move(a)), b_(std::move(b)) {
        for (int i = 0; i < count; ++i) {
            servers_.push_back(
                std::make_unique<FrameServer>("bench-output-" + std::to_string(i + 1), kSize));
        }
        outputBuffers_.resize(static_cast<std::size_t>(count));
    }

    void tick(bool crossfading) {
        ShaderScene& mix = ShaderScene::mixScene();
        for (std::size_t i = 0; i < servers_.size(); ++i) {
            mix.setValue("crossfade", crossfading ? 0.37 : 0.0);
            mix.setValue("inputImage", a_);
            mix.setValue("input2Image", crossfading ? b_ : a_);
            outputBuffers_[i] = mix.allocAndRenderToBufferSized(kSize);
            const auto start = Clock::now();
            servers_[i]->publishFrame(*outputBuffers_[i]);
            publishMs_.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            GpuBufferPool::global().housekeeping();
        }
    }

    // Time spent in publishFrame (readback, copy to the node) since the last call.
    double takePublishMedianMs() {
        const double value = median(publishMs_);
        publishMs_.clear();
        return value;
    }

    std::uint64_t published() const {
        std::uint64_t total = 0;
        for (const auto& server : servers_) {
            total += server->framesPublished();
        }
        return total;
    }
    std::uint64_t dropped() const {
        std::uint64_t total = 0;
        for (const auto& server : servers_) {
            total += server->framesDropped();
        }
        return total;
    }

private:
    GpuBufferRef a_;
    GpuBufferRef b_;
    std::vector<std::unique_ptr<FrameServer>> servers_;
    std::vector<GpuBufferRef> outputBuffers_;
    std::vector<double> publishMs_;
};

// pipewiresrc into fakesink, linked to one output by pw-link.
std::unique_ptr<test::ChildProcess> startConsumer(const std::string& target) {
    const std::string consumerName = target + "-consumer";
    auto consumer = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"gst-launch-1.0", "-q", "pipewiresrc", "target-object=" + target,
                                 "stream-properties=props,node.name=" + consumerName, "!",
                                 "video/x-raw,format=BGRA,width=1920,height=1080", "!", "fakesink",
                                 "sync=false"},
        -1, "");
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        const auto source = test::findNode(target);
        const auto sink = test::findNode(consumerName);
        if (source && sink && !source->outputPorts.empty() && !sink->inputPorts.empty()) {
            for (std::size_t p = 0; p < source->outputPorts.size() && p < sink->inputPorts.size();
                 ++p) {
                test::runAndCapture({"pw-link", std::to_string(source->outputPorts[p]),
                                     std::to_string(sink->inputPorts[p])},
                                    5s);
            }
            return consumer;
        }
        std::this_thread::sleep_for(50ms);
    }
    std::fprintf(stderr, "warning: could not link a consumer to %s\n", target.c_str());
    return consumer;
}

}  // namespace

int main(int argc, char** argv) {
    int ticks = 12;
    std::vector<int> outputCounts = {1, 2, 4, 8};
    bool wantConsumers = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-consumers") == 0) {
            wantConsumers = false;
        }
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ticks") == 0) {
            ticks = std::max(3, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--outputs") == 0) {
            outputCounts.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string item; std::getline(list, item, ',');) {
                outputCounts.push_back(std::max(1, std::atoi(item.c_str())));
            }
        }
    }

    test::PipeWireDaemon daemon;
    const bool haveDaemon = test::programOnPath("pipewire") && daemon.start();
    const bool haveConsumers = wantConsumers && haveDaemon && test::havePipeWireSource();

    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    GpuBufferPool::createGlobal(context);
    std::printf("GL_RENDERER: %s (%s, %s)\n", context.renderer().c_str(), context.version().c_str(),
                context.platform().c_str());
    std::printf("publishing: %s\n", haveConsumers
                                        ? "private PipeWire daemon, one consumer per output"
                                        : "no consumers (frames are dropped)");
    std::printf("%d ticks per case, medians in ms\n\n", ticks);
    std::printf("%8s %-12s %10s %10s %7s %10s %10s\n", "outputs", "case", "floor", "engine",
                "ratio", "publish/1", "published");

    const std::vector<std::uint8_t> pixelsA = pattern(1);
    const std::vector<std::uint8_t> pixelsB = pattern(2);
    GpuBufferPool& pool = GpuBufferPool::global();
    GpuBufferRef a = pool.allocBufferWithPixels(pixelsA.data(), kSize, kSize.width * 4u);
    GpuBufferRef b = pool.allocBufferWithPixels(pixelsB.data(), kSize, kSize.width * 4u);

    for (int count : outputCounts) {
        BareGl floor(a->name(), b->name(), count);
        Outputs outputs(a, b, count);
        std::vector<std::unique_ptr<test::ChildProcess>> consumers;
        if (haveConsumers) {
            for (int i = 0; i < count; ++i) {
                consumers.push_back(startConsumer("bench-output-" + std::to_string(i + 1)));
            }
        }
        for (bool crossfading : {true, false}) {
            for (int warmUp = 0; warmUp < 5; ++warmUp) {
                floor.tick(crossfading);
                outputs.tick(crossfading);
            }
            outputs.takePublishMedianMs();
            const std::uint64_t publishedBefore = outputs.published();
            const std::uint64_t droppedBefore = outputs.dropped();
            std::vector<double> floorMs;
            std::vector<double> engineMs;
            for (int t = 0; t < ticks; ++t) {
                auto start = Clock::now();
                floor.tick(crossfading);
                floorMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                start = Clock::now();
                outputs.tick(crossfading);
                engineMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            const double floorMedian = median(floorMs);
            const double engineMedian = median(engineMs);
            const std::uint64_t published = outputs.published() - publishedBefore;
            const std::uint64_t dropped = outputs.dropped() - droppedBefore;
            std::printf("%8d %-12s %10.2f %10.2f %6.2fx %10.2f %5llu/%llu\n", count,
                        crossfading ? "crossfading" : "still", floorMedian, engineMedian,
                        engineMedian / floorMedian, outputs.takePublishMedianMs(),
                        static_cast<unsigned long long>(published),
                        static_cast<unsigned long long>(published + dropped));
        }
    }
    std::printf("\naim: engine/floor at most 1.20x in both cases\n");
    return 0;
}
