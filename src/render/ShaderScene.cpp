#include "render/ShaderScene.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

#include "platform/Fatal.h"
#include "platform/Resources.h"
#include "render/GpuBufferPool.h"

namespace bw {

namespace {

// One triangle that covers the whole target; uv runs 0..1 across it, with
// v = 0 on the first stored row, which is the picture's top row.
constexpr const char* kVertexShader = R"(#version 330 core
out vec2 uv;
void main() {
    vec2 corner = vec2(float((gl_VertexID << 1) & 2), float(gl_VertexID & 2));
    uv = corner;
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

std::string shaderLog(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::string log(static_cast<std::size_t>(std::max(length, 1)), '\0');
    glGetShaderInfoLog(shader, length, nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

std::string programLog(GLuint program) {
    GLint length = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    std::string log(static_cast<std::size_t>(std::max(length, 1)), '\0');
    glGetProgramInfoLog(program, length, nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

template <typename Shader>
bool compile(Shader& shader, const std::string& source, std::string& log) {
    shader = Shader::create();
    const char* text = source.c_str();
    glShaderSource(shader.get(), 1, &text, nullptr);
    glCompileShader(shader.get());
    GLint ok = GL_FALSE;
    glGetShaderiv(shader.get(), GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        log = shaderLog(shader.get());
        return false;
    }
    return true;
}

bool isSampler(GLenum type) {
    return type == GL_SAMPLER_2D;
}

// Each constant input triples the programs a scene keeps, each picture input
// quadruples them.
constexpr std::size_t kMaxConstantInputs = 3;
constexpr std::size_t kMaxPictureInputs = 2;

constexpr PictureEncoding::Kind kPictureKinds[] = {
    PictureEncoding::Kind::Rgba, PictureEncoding::Kind::Planar,
    PictureEncoding::Kind::Interleaved, PictureEncoding::Kind::PlanarAlpha};

// The number a shader sees for a kind (PICTURE_X).
int pictureKindNumber(char kind) {
    for (std::size_t i = 0; i < std::size(kPictureKinds); ++i) {
        if (static_cast<char>(kPictureKinds[i]) == kind) return static_cast<int>(i);
    }
    return 0;
}

// The distinct identifiers that follow `marker` in `source`, in order, at
// most `limit` of them.
std::vector<std::string> namesAfter(const std::string& source, const std::string& marker,
                                    std::size_t limit) {
    std::vector<std::string> names;
    for (std::size_t at = source.find(marker); at != std::string::npos;
         at = source.find(marker, at + marker.size())) {
        std::size_t end = at + marker.size();
        while (end < source.size() &&
               (std::isalnum(static_cast<unsigned char>(source[end])) || source[end] == '_')) {
            ++end;
        }
        std::string name = source.substr(at + marker.size(), end - at - marker.size());
        if (!name.empty() && names.size() < limit &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

bool readFile(const std::filesystem::path& file, std::string& text) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream contents;
    if (!stream || !(contents << stream.rdbuf())) return false;
    text = contents.str();
    return true;
}

// Replaces each line `#include "NAME"` with the file NAME in `folder`; false
// with `missing` set to the first that cannot be read.
bool resolveIncludes(std::string& source, const std::filesystem::path& folder,
                     std::filesystem::path& missing) {
    static const std::string directive = "#include \"";
    for (std::size_t at = source.find(directive); at != std::string::npos;
         at = source.find(directive, at)) {
        const std::size_t nameStart = at + directive.size();
        const std::size_t nameEnd = source.find('"', nameStart);
        const std::size_t lineEnd = source.find('\n', at);
        if (nameEnd == std::string::npos || (lineEnd != std::string::npos && nameEnd > lineEnd)) {
            missing = folder / source.substr(nameStart, lineEnd - nameStart);
            return false;
        }
        std::string included;
        const std::filesystem::path file = folder / source.substr(nameStart, nameEnd - nameStart);
        if (!readFile(file, included)) {
            missing = file;
            return false;
        }
        const std::size_t replaced = (lineEnd == std::string::npos ? source.size() : lineEnd) - at;
        source.replace(at, replaced, included);
        at += included.size();
    }
    return true;
}

}  // namespace

ShaderScene& ShaderScene::named(const std::string& name) {
    // Scenes live until the process ends: their GL objects belong to the
    // render thread's context, which static destructors cannot reach.
    static std::mutex mutex;
    static auto& scenes = *new std::map<std::string, std::unique_ptr<ShaderScene>, std::less<>>;
    std::lock_guard lock(mutex);
    auto found = scenes.find(name);
    if (found != scenes.end()) {
        return *found->second;
    }
    const std::filesystem::path file = Resources::path("shaders", name, "fs");
    std::string failure;
    std::unique_ptr<ShaderScene> scene = fromFile(file, failure);
    if (scene == nullptr) {
        fatalError(failure);
    }
    return *scenes.emplace(name, std::move(scene)).first->second;
}

void ShaderScene::loadAll() {
    for (const char* name : {"Mix", "Crop", "Black", "Clear", "Grid"}) {
        named(name);
    }
}

std::unique_ptr<ShaderScene> ShaderScene::fromFile(const std::filesystem::path& file,
                                                   std::string& failure) {
    std::string source;
    std::filesystem::path missing = file;
    if (!readFile(file, source) || !resolveIncludes(source, file.parent_path(), missing)) {
        failure = std::string("the shader resource ") + missing.string() +
                  " is missing or unreadable (broken installation?)";
        return nullptr;
    }
    return std::make_unique<ShaderScene>(file, std::move(source));
}

ShaderScene::ShaderScene(std::filesystem::path file, std::string source)
    : file_(std::move(file)),
      source_(std::move(source)),
      constantInputs_(namesAfter(source_, "#ifdef CONSTANT_", kMaxConstantInputs)),
      pictureInputs_(namesAfter(source_, "PICTURE_", kMaxPictureInputs)) {}

ShaderScene::~ShaderScene() = default;

void ShaderScene::setValue(const std::string& key, Value value) {
    auto found = values_.find(key);
    if (found != values_.end()) {
        found->second = std::move(value);
    } else {
        values_.emplace(key, std::move(value));
    }
}

bool ShaderScene::prepare(std::string& failure) {
    if (compileFailure_) {
        failure = *compileFailure_;
        return false;
    }
    if (!programs_.empty()) {
        return true;
    }
    // Every variant is built now, so no render waits for a compiler later.
    std::vector<std::string> keys = {""};
    for (std::size_t i = 0; i < constantInputs_.size(); ++i) {
        std::vector<std::string> longer;
        for (const std::string& key : keys) {
            for (char value : {'u', '0', '1'}) {
                longer.push_back(key + value);
            }
        }
        keys = std::move(longer);
    }
    for (std::size_t i = 0; i < pictureInputs_.size(); ++i) {
        std::vector<std::string> longer;
        for (const std::string& key : keys) {
            for (PictureEncoding::Kind kind : kPictureKinds) {
                longer.push_back(key + static_cast<char>(kind));
            }
        }
        keys = std::move(longer);
    }
    for (const std::string& key : keys) {
        if (!build(key, failure)) {
            programs_.clear();
            compileFailure_ = failure;
            return false;
        }
    }
    vertexArray_ = GlVertexArray::create();
    return true;
}

bool ShaderScene::build(const std::string& key, std::string& failure) {
    const auto fail = [&](const std::string& what, const std::string& log) {
        failure = std::string("the shader ") + file_.string() + " " + what + ": " + log;
        return false;
    };
    // Constants are defined right after the #version line.
    std::string source = source_;
    std::string defines;
    for (std::size_t i = 0; i < constantInputs_.size(); ++i) {
        if (key[i] != 'u') {
            defines += std::string("#define CONSTANT_") + constantInputs_[i] +
                       (key[i] == '0' ? " 0.0\n" : " 1.0\n");
        }
    }
    for (std::size_t i = 0; i < pictureInputs_.size(); ++i) {
        defines += "#define PICTURE_" + pictureInputs_[i] + " " +
                   std::to_string(pictureKindNumber(key[constantInputs_.size() + i])) + "\n";
    }
    if (!defines.empty()) {
        const std::size_t lineEnd = source.find('\n');
        source.insert(lineEnd == std::string::npos ? source.size() : lineEnd + 1, defines);
    }

    std::string log;
    GlVertexShader vertex;
    if (!compile(vertex, kVertexShader, log)) {
        return fail("cannot be used, the built-in vertex stage does not compile", log);
    }
    GlFragmentShader fragment;
    if (!compile(fragment, source, log)) {
        return fail("does not compile", log);
    }
    Program built;
    built.program = GlProgram::create();
    const GLuint program = built.program.get();
    glAttachShader(program, vertex.get());
    glAttachShader(program, fragment.get());
    glBindFragDataLocation(program, 0, "fragColor");
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        return fail("does not link", programLog(program));
    }

    GLint count = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count);
    glUseProgram(program);
    GLint nextUnit = 0;
    for (GLint i = 0; i < count; ++i) {
        char name[256];
        GLsizei length = 0;
        GLint arraySize = 0;
        GLenum type = 0;
        glGetActiveUniform(program, static_cast<GLuint>(i), sizeof name, &length, &arraySize, &type,
                           name);
        Uniform uniform;
        uniform.name.assign(name, static_cast<std::size_t>(length));
        uniform.location = glGetUniformLocation(program, name);
        uniform.type = type;
        if (isSampler(type)) {
            uniform.textureUnit = nextUnit++;
            glUniform1i(uniform.location, uniform.textureUnit);
            uniform.rectLocation = glGetUniformLocation(program, (uniform.name + "_rect").c_str());
            uniform.colourLocation =
                glGetUniformLocation(program, (uniform.name + "_colour").c_str());
            uniform.alphaLocation = glGetUniformLocation(program, (uniform.name + "_alpha").c_str());
            for (const std::string& picture : pictureInputs_) {
                for (int plane = 0; plane < 3; ++plane) {
                    if (uniform.name == picture + "_plane" + std::to_string(plane + 1)) {
                        uniform.pictureOf = picture;
                        uniform.plane = plane;
                    }
                }
            }
        }
        built.uniforms.push_back(std::move(uniform));
    }
    built.outputSizeLocation = glGetUniformLocation(program, "outputSize");
    glUseProgram(0);
    programs_.emplace(key, std::move(built));
    return true;
}

std::string ShaderScene::variantKey() const {
    std::string key;
    for (const std::string& name : constantInputs_) {
        auto found = values_.find(name);
        const double* number =
            found == values_.end() ? nullptr : std::get_if<double>(&found->second);
        // An input never set reads as 0.0, as a uniform would.
        const double value = number ? *number : 0.0;
        key += value == 0.0 ? '0' : value == 1.0 ? '1' : 'u';
    }
    for (const std::string& name : pictureInputs_) {
        auto found = values_.find(name);
        const GpuBufferRef* buffer =
            found == values_.end() ? nullptr : std::get_if<GpuBufferRef>(&found->second);
        key += static_cast<char>(buffer && *buffer ? (*buffer)->encoding().kind
                                                   : PictureEncoding::Kind::Rgba);
    }
    return key;
}

void ShaderScene::bindInputs(const Program& program, PixelSize targetSize) {
    for (const Uniform& uniform : program.uniforms) {
        auto found = values_.find(uniform.name);
        const Value* value = found == values_.end() ? nullptr : &found->second;
        if (uniform.textureUnit >= 0) {
            glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(uniform.textureUnit));
            if (uniform.plane >= 0) {
                // One of a picture's other planes: none for an RGBA picture.
                auto picture = values_.find(uniform.pictureOf);
                const GpuBufferRef* owner =
                    picture == values_.end() ? nullptr : std::get_if<GpuBufferRef>(&picture->second);
                const GpuBufferRef plane =
                    owner && *owner ? (*owner)->encoding().planes[static_cast<std::size_t>(uniform.plane)]
                                    : nullptr;
                glBindTexture(GL_TEXTURE_2D, plane ? plane->name() : 0);
                continue;
            }
            const GpuBufferRef* buffer = value ? std::get_if<GpuBufferRef>(value) : nullptr;
            if (buffer == nullptr || *buffer == nullptr) {
                glBindTexture(GL_TEXTURE_2D, 0);
                continue;
            }
            GpuBuffer& input = **buffer;
            glBindTexture(GL_TEXTURE_2D, input.name());
            const PictureEncoding& encoding = input.encoding();
            if (uniform.colourLocation >= 0) {
                // Rows as stored: GL takes them transposed into its columns.
                glUniformMatrix4fv(uniform.colourLocation, 1, GL_TRUE, encoding.colour.data());
            }
            if (uniform.alphaLocation >= 0) {
                glUniform2f(uniform.alphaLocation, encoding.straightAlpha ? 1.0f : 0.0f,
                            encoding.opaque ? 1.0f : 0.0f);
            }
            if (uniform.rectLocation >= 0) {
                const PixelSize size = input.size();
                const PixelRect rect = input.srcRect();
                const float width = static_cast<float>(size.width);
                const float height = static_cast<float>(size.height);
                float originY = static_cast<float>(rect.y) / height;
                float extentY = static_cast<float>(rect.height) / height;
                if (input.flipped()) {
                    originY = static_cast<float>(rect.y + rect.height) / height;
                    extentY = -extentY;
                }
                glUniform4f(uniform.rectLocation, static_cast<float>(rect.x) / width, originY,
                            static_cast<float>(rect.width) / width, extentY);
            }
            continue;
        }
        if (uniform.type == GL_FLOAT_MAT3) {
            const AffineMap* given = value ? std::get_if<AffineMap>(value) : nullptr;
            const AffineMap map = given ? *given : AffineMap{};
            // Rows of the matrix taking (x, y, 1); GL takes them transposed.
            const float rows[9] = {static_cast<float>(map.xx),
                                   static_cast<float>(map.xy),
                                   static_cast<float>(map.x0),
                                   static_cast<float>(map.yx),
                                   static_cast<float>(map.yy),
                                   static_cast<float>(map.y0),
                                   0.0f,
                                   0.0f,
                                   1.0f};
            glUniformMatrix3fv(uniform.location, 1, GL_TRUE, rows);
            continue;
        }
        const double* number = value ? std::get_if<double>(value) : nullptr;
        if (uniform.type == GL_FLOAT) {
            glUniform1f(uniform.location, number ? static_cast<float>(*number) : 0.0f);
        } else if (uniform.type == GL_INT || uniform.type == GL_BOOL) {
            glUniform1i(uniform.location, number ? static_cast<GLint>(*number) : 0);
        }
    }
    if (program.outputSizeLocation >= 0) {
        glUniform2f(program.outputSizeLocation, static_cast<float>(targetSize.width),
                    static_cast<float>(targetSize.height));
    }
}

void ShaderScene::renderInto(GpuBuffer& target) {
    std::string failure;
    if (!prepare(failure)) {
        fatalError(failure);
    }
    const PixelSize size = target.size();
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer());
    glViewport(0, 0, size.width, size.height);
    glDisable(GL_BLEND);
    const Program& program = programs_.at(variantKey());
    glUseProgram(program.program.get());
    bindInputs(program, size);
    glBindVertexArray(vertexArray_.get());
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glBindVertexArray(0);
    glUseProgram(0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

GpuBufferRef ShaderScene::allocAndRenderToBufferSized(PixelSize size) {
    return allocAndRenderToBufferSized(size, GpuBufferPool::global());
}

GpuBufferRef ShaderScene::allocAndRenderToBufferSized(PixelSize size, GpuBufferPool& pool) {
    GpuBufferRef target = pool.allocForOverwrite(size);
    renderInto(*target);
    return target;
}

}  // namespace bw
