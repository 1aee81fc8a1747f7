#include "BenchSupport.h"

#include <glib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace bw::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::optional<std::string> makeTestMedia(bool withBenchMovie) {
    const std::string folder = BW_TEST_MEDIA_DIR;
    std::vector<std::string> arguments = {BW_MAKE_TEST_MEDIA, folder};
    if (withBenchMovie) {
        arguments.emplace_back("--bench");
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    gint status = 0;
    GError* error = nullptr;
    const gboolean ran = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr,
                                      nullptr, nullptr, nullptr, &status, &error);
    if (!ran || !g_spawn_check_wait_status(status, nullptr)) {
        std::fprintf(stderr, "could not make the test media in %s%s%s\n", folder.c_str(),
                     error != nullptr ? ": " : "", error != nullptr ? error->message : "");
        g_clear_error(&error);
        return std::nullopt;
    }
    return folder;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

std::vector<std::uint8_t> pattern(int seed) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kFullHd.width) * kFullHd.height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(seed) * 13) % 251);
    }
    return rgba;
}

namespace {

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

}  // namespace

BareGl::BareGl(GLuint textureA, GLuint textureB, int outputs)
    : textureA_(textureA), textureB_(textureB), pixels_(kFullHd.width * kFullHd.height * 4) {
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
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kFullHd.width, kFullHd.height, 0, GL_RGBA,
                     GL_UNSIGNED_BYTE, nullptr);
        glGenFramebuffers(1, &framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
        targets_.push_back(texture);
        framebuffers_.push_back(framebuffer);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

BareGl::~BareGl() {
    glDeleteFramebuffers(static_cast<GLsizei>(framebuffers_.size()), framebuffers_.data());
    glDeleteTextures(static_cast<GLsizei>(targets_.size()), targets_.data());
    glDeleteVertexArrays(1, &vertexArray_);
    glDeleteProgram(blend_);
    glDeleteProgram(copy_);
}

void BareGl::tick(bool crossfading) {
    for (GLuint framebuffer : framebuffers_) {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glViewport(0, 0, kFullHd.width, kFullHd.height);
        glUseProgram(crossfading ? blend_ : copy_);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textureA_);
        if (crossfading) {
            glActiveTexture(GL_TEXTURE1);
            glBindTexture(GL_TEXTURE_2D, textureB_);
        }
        glBindVertexArray(vertexArray_);
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glReadPixels(0, 0, kFullHd.width, kFullHd.height, GL_RGBA, GL_UNSIGNED_BYTE,
                     pixels_.data());
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

// pipewiresrc into fakesink, linked to one output by pw-link.
std::unique_ptr<test::ChildProcess> startConsumer(const std::string& target, PixelSize size) {
    const std::string consumerName = target + "-consumer";
    auto consumer = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"gst-launch-1.0", "-q", "pipewiresrc", "target-object=" + target,
                                 "stream-properties=props,node.name=" + consumerName, "!",
                                 "video/x-raw,format=BGRA,width=" + std::to_string(size.width) +
                                     ",height=" + std::to_string(size.height),
                                 "!", "fakesink", "sync=false"},
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

}  // namespace bw::bench
