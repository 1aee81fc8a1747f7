#pragma once

// Owning, move-only handles for OpenGL object names. Creating one is a GL
// call and happens on the render thread, where the shared context is current.
// A handle may die on any thread: without a current context there, its name
// is queued and deleted by the render thread (GlGarbage).

#include <epoxy/gl.h>

#include <utility>

#include "render/GlGarbage.h"

namespace bw {

template <typename Traits>
class GlObject {
public:
    GlObject() = default;
    ~GlObject() { reset(); }
    GlObject(GlObject&& other) noexcept : name_(std::exchange(other.name_, 0)) {}
    GlObject& operator=(GlObject&& other) noexcept {
        if (this != &other) {
            reset();
            name_ = std::exchange(other.name_, 0);
        }
        return *this;
    }
    GlObject(const GlObject&) = delete;
    GlObject& operator=(const GlObject&) = delete;

    // A new object of this kind.
    static GlObject create() {
        GlObject object;
        object.name_ = Traits::create();
        return object;
    }

    GLuint get() const { return name_; }
    explicit operator bool() const { return name_ != 0; }

    void reset() {
        if (name_ == 0) {
            return;
        }
        if (GlGarbage::canDeleteHere()) {
            Traits::destroy(name_);
        } else {
            GlGarbage::defer([name = name_] { Traits::destroy(name); });
        }
        name_ = 0;
    }

private:
    GLuint name_ = 0;
};

struct GlTextureTraits {
    static GLuint create() {
        GLuint name = 0;
        glGenTextures(1, &name);
        return name;
    }
    static void destroy(GLuint name) { glDeleteTextures(1, &name); }
};
struct GlFramebufferTraits {
    static GLuint create() {
        GLuint name = 0;
        glGenFramebuffers(1, &name);
        return name;
    }
    static void destroy(GLuint name) { glDeleteFramebuffers(1, &name); }
};
struct GlBufferTraits {
    static GLuint create() {
        GLuint name = 0;
        glGenBuffers(1, &name);
        return name;
    }
    static void destroy(GLuint name) { glDeleteBuffers(1, &name); }
};
struct GlVertexArrayTraits {
    static GLuint create() {
        GLuint name = 0;
        glGenVertexArrays(1, &name);
        return name;
    }
    static void destroy(GLuint name) { glDeleteVertexArrays(1, &name); }
};
struct GlProgramTraits {
    static GLuint create() { return glCreateProgram(); }
    static void destroy(GLuint name) { glDeleteProgram(name); }
};
struct GlVertexShaderTraits {
    static GLuint create() { return glCreateShader(GL_VERTEX_SHADER); }
    static void destroy(GLuint name) { glDeleteShader(name); }
};
struct GlFragmentShaderTraits {
    static GLuint create() { return glCreateShader(GL_FRAGMENT_SHADER); }
    static void destroy(GLuint name) { glDeleteShader(name); }
};

using GlTexture = GlObject<GlTextureTraits>;
using GlFramebuffer = GlObject<GlFramebufferTraits>;
using GlBuffer = GlObject<GlBufferTraits>;
using GlVertexArray = GlObject<GlVertexArrayTraits>;
using GlProgram = GlObject<GlProgramTraits>;
using GlVertexShader = GlObject<GlVertexShaderTraits>;
using GlFragmentShader = GlObject<GlFragmentShaderTraits>;

}  // namespace bw
