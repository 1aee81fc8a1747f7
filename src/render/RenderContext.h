#pragma once

#include <epoxy/egl.h>

#include <memory>
#include <string>

namespace bw {

// The OpenGL context every frame is rendered with: desktop OpenGL 3.3 core on
// EGL without any window system. A hardware device is preferred (EGL device
// platform); otherwise Mesa's surfaceless platform, which on a machine without
// a GPU is the llvmpipe software renderer.
//
// A context is current on at most one thread at a time. The process's shared
// context is made current on the render thread, where every GL call happens;
// whoever makes it current elsewhere (a test, a benchmark) must release it
// first on the thread that holds it.
class RenderContext {
public:
    // The process's context, created on first use (thread-safe) and never
    // destroyed. A machine where none can be made has a broken installation:
    // the process ends with a message naming what is missing.
    static RenderContext& shared();

    // A new context, not current on any thread; null with `failure` saying
    // what is missing when none can be made.
    static std::unique_ptr<RenderContext> create(std::string& failure);

    ~RenderContext();
    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    // Makes the context current on the calling thread; false when EGL
    // refuses (for instance while another thread holds it).
    bool makeCurrent();
    // Releases the context from the calling thread, if it is current there.
    void releaseCurrent();
    bool isCurrent() const;

    // GL_RENDERER, GL_VERSION and the EGL platform the context came from
    // ("device" or "surfaceless"), read at creation.
    const std::string& renderer() const { return renderer_; }
    // Whether the renderer draws on the CPU (Mesa's llvmpipe, softpipe or
    // swrast): there every texture sample a shader takes costs CPU time.
    bool isSoftware() const;
    const std::string& version() const { return version_; }
    const std::string& platform() const { return platform_; }
    // GL_MAX_TEXTURE_SIZE.
    int maxTextureSize() const { return maxTextureSize_; }

private:
    RenderContext(EGLDisplay display, EGLContext context, std::string platform);
    bool readCapabilities(std::string& failure);

    EGLDisplay display_;
    EGLContext context_;
    std::string platform_;
    std::string renderer_;
    std::string version_;
    int maxTextureSize_ = 0;
};

}  // namespace bw
