#include "render/RenderContext.h"

#include <epoxy/gl.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Fatal.h"
#include "render/SoftwareRenderer.h"

namespace bw {

namespace {

bool hasExtension(const char* extensions, const char* name) {
    if (extensions == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(name);
    for (const char* p = extensions; (p = std::strstr(p, name)) != nullptr; p += length) {
        const bool startsWord = p == extensions || p[-1] == ' ';
        const bool endsWord = p[length] == ' ' || p[length] == '\0';
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

std::string eglErrorText(const char* call) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04x", eglGetError());
    return std::string(call) + " failed (EGL error " + code + ")";
}

// An initialised display with a desktop OpenGL 3.3 core context on it, or
// none with the reason in `failure`.
struct Candidate {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
};

Candidate makeContext(EGLDisplay display, std::string& failure) {
    Candidate candidate;
    if (display == EGL_NO_DISPLAY) {
        failure = eglErrorText("eglGetPlatformDisplayEXT");
        return candidate;
    }
    EGLint major = 0;
    EGLint minor = 0;
    if (eglInitialize(display, &major, &minor) == EGL_FALSE) {
        failure = eglErrorText("eglInitialize");
        return candidate;
    }
    const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
    if (!hasExtension(extensions, "EGL_KHR_surfaceless_context")) {
        failure = "the EGL display lacks EGL_KHR_surfaceless_context";
        eglTerminate(display);
        return candidate;
    }
    if (eglBindAPI(EGL_OPENGL_API) == EGL_FALSE) {
        failure = std::string("the EGL display offers no desktop OpenGL (") +
                  eglErrorText("eglBindAPI") + ")";
        eglTerminate(display);
        return candidate;
    }
    EGLConfig config = nullptr;  // EGL_NO_CONFIG_KHR
    if (!hasExtension(extensions, "EGL_KHR_no_config_context")) {
        const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
        EGLint count = 0;
        if (eglChooseConfig(display, wanted, &config, 1, &count) == EGL_FALSE || count < 1) {
            failure = "no EGL configuration renders desktop OpenGL";
            eglTerminate(display);
            return candidate;
        }
    }
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                 3,
                                 EGL_CONTEXT_MINOR_VERSION,
                                 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                 EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                 EGL_NONE};
    EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT) {
        failure =
            std::string("no OpenGL 3.3 core context (") + eglErrorText("eglCreateContext") + ")";
        eglTerminate(display);
        return candidate;
    }
    candidate.display = display;
    candidate.context = context;
    return candidate;
}

// Hardware devices first: on a machine with both a vendor driver and Mesa,
// Mesa's surfaceless platform would pick its software renderer.
std::vector<EGLDeviceEXT> hardwareDevices() {
    std::vector<EGLDeviceEXT> found;
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!hasExtension(clientExtensions, "EGL_EXT_device_enumeration") ||
        !hasExtension(clientExtensions, "EGL_EXT_platform_device")) {
        return found;
    }
    EGLint count = 0;
    if (eglQueryDevicesEXT(0, nullptr, &count) == EGL_FALSE || count <= 0) {
        return found;
    }
    std::vector<EGLDeviceEXT> devices(static_cast<std::size_t>(count));
    if (eglQueryDevicesEXT(count, devices.data(), &count) == EGL_FALSE) {
        return found;
    }
    devices.resize(static_cast<std::size_t>(count));
    for (EGLDeviceEXT device : devices) {
        const char* deviceExtensions = eglQueryDeviceStringEXT(device, EGL_EXTENSIONS);
        if (!hasExtension(deviceExtensions, "EGL_MESA_device_software")) {
            found.push_back(device);
        }
    }
    return found;
}

}  // namespace

RenderContext::RenderContext(EGLDisplay display, EGLContext context, std::string platform)
    : display_(display), context_(context), platform_(std::move(platform)) {}

RenderContext::~RenderContext() {
    if (isCurrent()) {
        releaseCurrent();
    }
    eglDestroyContext(display_, context_);
    // Displays are shared per process and platform: terminating one here would
    // pull it from under any other context made on it.
}

RenderContext& RenderContext::shared() {
    static std::once_flag once;
    static RenderContext* context = nullptr;
    std::call_once(once, [] {
        std::string failure;
        context = create(failure).release();
        if (context == nullptr) {
            fatalError(std::string("cannot create the OpenGL rendering context: ") + failure);
        }
    });
    return *context;
}

std::unique_ptr<RenderContext> RenderContext::create(std::string& failure) {
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!hasExtension(clientExtensions, "EGL_EXT_platform_base")) {
        failure =
            "no EGL driver found (install libegl-mesa0 and libgl1-mesa-dri, or the GPU vendor's "
            "driver)";
        return nullptr;
    }
    std::vector<std::string> reasons;
    auto attempt = [&](EGLDisplay display, const char* platform) -> std::unique_ptr<RenderContext> {
        std::string reason;
        Candidate candidate = makeContext(display, reason);
        if (candidate.context == EGL_NO_CONTEXT) {
            reasons.push_back(std::string(platform) + ": " + reason);
            return nullptr;
        }
        std::unique_ptr<RenderContext> context(
            new RenderContext(candidate.display, candidate.context, platform));
        if (!context->readCapabilities(reason)) {
            reasons.push_back(std::string(platform) + ": " + reason);
            return nullptr;
        }
        return context;
    };

    for (EGLDeviceEXT device : hardwareDevices()) {
        if (auto context = attempt(
                eglGetPlatformDisplayEXT(EGL_PLATFORM_DEVICE_EXT, device, nullptr), "device")) {
            return context;
        }
    }
    if (hasExtension(clientExtensions, "EGL_MESA_platform_surfaceless")) {
        if (auto context = attempt(eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA,
                                                            EGL_DEFAULT_DISPLAY, nullptr),
                                   "surfaceless")) {
            return context;
        }
        reasons.back() += " (is libgl1-mesa-dri installed?)";
    } else {
        reasons.push_back(
            "surfaceless: EGL lacks EGL_MESA_platform_surfaceless (install "
            "libegl-mesa0 and libgl1-mesa-dri)");
    }
    failure.clear();
    for (const std::string& reason : reasons) {
        failure += failure.empty() ? "" : "; ";
        failure += reason;
    }
    if (failure.empty()) {
        failure = "no EGL device or surfaceless platform found";
    }
    return nullptr;
}

bool RenderContext::readCapabilities(std::string& failure) {
    if (!makeCurrent()) {
        failure = eglErrorText("eglMakeCurrent");
        return false;
    }
    const int glVersion = epoxy_gl_version();
    const auto text = [](GLenum name) {
        const GLubyte* value = glGetString(name);
        return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    };
    renderer_ = text(GL_RENDERER);
    version_ = text(GL_VERSION);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSize_);
    releaseCurrent();
    if (glVersion < 33) {
        failure = std::string("OpenGL ") + version_ + " on " + renderer_ + " is older than 3.3";
        return false;
    }
    return true;
}

bool RenderContext::makeCurrent() {
    if (eglBindAPI(EGL_OPENGL_API) == EGL_FALSE) {
        return false;
    }
    return eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_) == EGL_TRUE;
}

void RenderContext::releaseCurrent() {
    if (isCurrent()) {
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
}

bool RenderContext::isSoftware() const {
    return isSoftwareRenderer(renderer_);
}

bool RenderContext::isCurrent() const {
    return eglGetCurrentContext() == context_;
}

}  // namespace bw
