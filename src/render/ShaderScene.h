#pragma once

#include <epoxy/gl.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "render/AffineMap.h"
#include "render/GlObject.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"

namespace bw {

class GpuBufferPool;

// A picture effect: a GLSL fragment shader drawn over a whole buffer.
//
// The shader (GLSL 3.30 core) receives `in vec2 uv`, (0,0) at the picture's
// top-left corner and (1,1) at its bottom-right, and writes `out vec4
// fragColor` (RGBA, premultiplied alpha). Its uniforms are the scene's inputs,
// set by name: a float uniform takes a number, a sampler2D a buffer, a mat3 an
// affine map (AffineMap, as the matrix taking (x, y, 1); the identity while
// none is set). For a
// sampler `X` the scene also fills `vec4 X_rect`, if declared, with the
// buffer's valid region in texture coordinates (xy origin, zw extent, the row
// order folded in), so that `texture(X, X_rect.xy + uv * X_rect.zw)` samples
// the picture upright; and `vec2 outputSize` with the target's size in pixels.
//
// A sampler `X` whose name the shader uses as `PICTURE_X` takes movie
// pictures in their decoder's encoding too (PictureEncoding): the scene
// compiles a program for each kind of picture, with `PICTURE_X` defined as
// the kind's number (0 RGBA, 1 planar, 2 interleaved chroma, 3 planar with
// alpha), binds the other planes to the samplers `X_plane1` .. `X_plane3`
// and fills `mat4 X_colour` (the encoding's matrix) and `vec2 X_alpha`
// (straight alpha, opaque), if declared. Picture.glsl's samplePicture()
// does the conversion. Each such input multiplies the programs by four.
//
// A line `#include "NAME"` in a shader file is replaced by the file NAME
// beside it.
//
// A float input the shader declares inside `#ifdef CONSTANT_<name>` (with a
// `const float <name> = CONSTANT_<name>;` there and the uniform in the
// `#else`) is compiled in as a constant whenever its value is exactly 0.0 or
// 1.0: the scene keeps a program for each case, so that the compiler drops
// what cannot be reached (the mixer standing still samples one picture, not
// two). At most three inputs of a shader are treated so.
//
// The process has one scene per shader resource (resources/shaders/NAME.fs),
// shared by everyone who renders that effect; renders happen one after another
// on the render thread, each user setting its inputs first.
class ShaderScene {
public:
    using Value = std::variant<double, GpuBufferRef, AffineMap>;

    // The process's scene for resource `name`, created on first use under a
    // thread-safe one-time initialisation. A missing resource is a broken
    // installation and ends the process with a message naming the file.
    static ShaderScene& named(const std::string& name);
    static ShaderScene& mixScene() { return named("Mix"); }
    static ShaderScene& cropScene() { return named("Crop"); }
    static ShaderScene& blackScene() { return named("Black"); }
    static ShaderScene& clearScene() { return named("Clear"); }
    static ShaderScene& gridScene() { return named("Grid"); }
    // Reads every scene the player uses (Mix, Crop, Black, Clear, Grid) now,
    // so that none is read from disk during a show, when the process may be
    // short of file descriptors or the disk may be busy. Any thread; the
    // shaders still compile on the render thread at their first render.
    static void loadAll();

    // A scene with the shader source read from `file`; compiled on the render
    // thread at the first render.
    ShaderScene(std::filesystem::path file, std::string source);
    // A scene for `file` (its #include lines resolved); null with `failure`
    // set when it or a file it includes cannot be read.
    static std::unique_ptr<ShaderScene> fromFile(const std::filesystem::path& file,
                                                 std::string& failure);
    ~ShaderScene();
    ShaderScene(const ShaderScene&) = delete;
    ShaderScene& operator=(const ShaderScene&) = delete;

    const std::filesystem::path& file() const { return file_; }

    // Sets input `key` to a number or a buffer; inputs keep their values
    // until set again. A key the shader does not use is ignored.
    void setValue(const std::string& key, Value value);

    // Render thread: compiles and links the shader if that has not happened
    // yet. False with `failure` naming the file and holding the compiler's
    // log when the source is broken.
    bool prepare(std::string& failure);

    // Render thread: draws the scene with its present inputs into a new
    // buffer of `size` from `pool` (the global pool when none is given). A
    // shader that does not compile ends the process with the compiler's log.
    // A size beyond what a texture can be is clamped, as the pool does.
    GpuBufferRef allocAndRenderToBufferSized(PixelSize size);
    GpuBufferRef allocAndRenderToBufferSized(PixelSize size, GpuBufferPool& pool);

    // Render thread: draws the scene into `target`, which must be a buffer the
    // caller may overwrite entirely.
    void renderInto(GpuBuffer& target);

private:
    struct Uniform {
        std::string name;
        GLint location = -1;
        GLenum type = 0;
        GLint textureUnit = -1;    // samplers only
        GLint rectLocation = -1;   // samplers only: X_rect
        GLint colourLocation = -1; // samplers only: X_colour
        GLint alphaLocation = -1;  // samplers only: X_alpha
        // Samplers X_plane1 .. X_plane3 only: the picture input X, and which
        // of its extra planes (0 .. 2) this one shows.
        std::string pictureOf;
        int plane = -1;
    };
    // One compiled variant: which inputs are constants, and its uniforms.
    struct Program {
        GlProgram program;
        std::vector<Uniform> uniforms;
        GLint outputSizeLocation = -1;
    };
    // Compiles the variant for `key`: one character per constant input
    // ('0', '1', or 'u' for a uniform), then one per picture input (the
    // kind's character, PictureEncoding::Kind).
    bool build(const std::string& key, std::string& failure);
    std::string variantKey() const;
    void bindInputs(const Program& program, PixelSize targetSize);

    std::filesystem::path file_;
    std::string source_;
    // Inputs that may be compiled in as constants, in source order.
    std::vector<std::string> constantInputs_;
    // Sampler inputs that take pictures of any encoding, in source order.
    std::vector<std::string> pictureInputs_;
    std::map<std::string, Value, std::less<>> values_;
    // Render thread only, from prepare() on.
    std::map<std::string, Program> programs_;
    GlVertexArray vertexArray_;
    std::optional<std::string> compileFailure_;
};

}  // namespace bw
