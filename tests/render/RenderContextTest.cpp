#include <epoxy/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "platform/Fatal.h"
#include "render/RenderContext.h"

namespace bw {
namespace {

TEST(RenderContextTest, OffersDesktopOpenGl33CoreWithoutAWindowSystem) {
    RenderContext& context = RenderContext::shared();
    EXPECT_FALSE(context.renderer().empty());
    EXPECT_TRUE(context.platform() == "device" || context.platform() == "surfaceless");
    EXPECT_GE(context.maxTextureSize(), 4096);
    ASSERT_TRUE(context.makeCurrent());
    EXPECT_GE(epoxy_gl_version(), 33);
    GLint profile = 0;
    glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
    EXPECT_TRUE((profile & GL_CONTEXT_CORE_PROFILE_BIT) != 0);
    context.releaseCurrent();
    EXPECT_FALSE(context.isCurrent());
}

// The render thread owns the context: another thread cannot take it while it
// is current there, and can once it has been released.
TEST(RenderContextTest, IsCurrentOnOneThreadAtATime) {
    RenderContext& context = RenderContext::shared();
    ASSERT_TRUE(context.makeCurrent());
    bool tookItWhileHeld = true;
    std::thread([&] { tookItWhileHeld = context.makeCurrent(); }).join();
    EXPECT_FALSE(tookItWhileHeld);
    EXPECT_TRUE(context.isCurrent());

    context.releaseCurrent();
    bool tookItAfterRelease = false;
    bool currentThere = false;
    std::thread([&] {
        tookItAfterRelease = context.makeCurrent();
        currentThere = context.isCurrent();
        context.releaseCurrent();
    }).join();
    EXPECT_TRUE(tookItAfterRelease);
    EXPECT_TRUE(currentThere);
    EXPECT_FALSE(context.isCurrent());
}

TEST(RenderContextTest, SharedIsOneContext) {
    EXPECT_EQ(&RenderContext::shared(), &RenderContext::shared());
}

// A machine without any EGL driver is a broken installation: one message
// saying what to install, then the process ends.
TEST(RenderContextDeathTest, NoDriverIsFatalAndSaysWhatIsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent/egl-vendor.json", 1);
            RenderContext::shared();
        },
        ::testing::ExitedWithCode(kFatalExitStatus),
        "beamwright: fatal: cannot create the OpenGL rendering context: no EGL driver found "
        "\\(install libegl-mesa0");
}

}  // namespace
}  // namespace bw
