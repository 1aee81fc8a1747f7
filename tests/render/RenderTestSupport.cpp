#include "render/RenderTestSupport.h"

#include <epoxy/gl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"

namespace bw::test {

void RenderTest::SetUp() {
    RenderContext& context = RenderContext::shared();
    ASSERT_TRUE(context.makeCurrent());
    GpuBufferPool::createGlobal(context);
}

void RenderTest::TearDown() {
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    RenderContext::shared().releaseCurrent();
}

Image readPixels(GpuBuffer& buffer) {
    const PictureEncoding& encoding = buffer.encoding();
    if (encoding.kind != PictureEncoding::Kind::Rgba || encoding.straightAlpha || encoding.opaque) {
        // A movie's picture: what a scene makes of it.
        ShaderScene& crop = ShaderScene::cropScene();
        crop.setValue("left", 0.0);
        crop.setValue("right", 1.0);
        crop.setValue("top", 0.0);
        crop.setValue("bottom", 1.0);
        GpuBufferRef planes(&buffer, [](GpuBuffer*) {});
        crop.setValue("inputImage", planes);
        GpuBufferRef drawn = crop.allocAndRenderToBufferSized(buffer.size());
        crop.setValue("inputImage", GpuBufferRef());
        return readPixels(*drawn);
    }
    Image image;
    image.size = buffer.size();
    image.rgba.resize(static_cast<std::size_t>(image.size.width) *
                      static_cast<std::size_t>(image.size.height) * 4);
    glBindFramebuffer(GL_FRAMEBUFFER, buffer.framebuffer());
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, image.size.width, image.size.height, GL_RGBA, GL_UNSIGNED_BYTE,
                 image.rgba.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return image;
}

Image testPattern(PixelSize size, std::uint8_t alpha) {
    Image image;
    image.size = size;
    image.rgba.resize(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) *
                      4);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            std::uint8_t* pixel = image.at(x, y);
            const auto scale = [alpha](int value) {
                return static_cast<std::uint8_t>((value % 256) * alpha / 255);
            };
            pixel[0] = scale(x * 29 + y * 3 + 7);
            pixel[1] = scale(y * 31 + x * 5 + 100);
            pixel[2] = scale((x + 1) * (y + 2) * 11);
            pixel[3] = alpha;
        }
    }
    return image;
}

GpuBufferRef upload(const Image& image) {
    return GpuBufferPool::global().allocBufferWithPixels(
        image.rgba.data(), image.size, static_cast<std::size_t>(image.size.width) * 4);
}

bool savePng(const Image& image, const std::filesystem::path& path) {
    GdkPixbuf* pixbuf =
        gdk_pixbuf_new_from_data(image.rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, image.size.width,
                                 image.size.height, image.size.width * 4, nullptr, nullptr);
    if (pixbuf == nullptr) {
        return false;
    }
    const gboolean saved = gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
    return saved == TRUE;
}

bool loadPng(const std::filesystem::path& path, Image& image) {
    GdkPixbuf* loaded = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (loaded == nullptr) {
        return false;
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_add_alpha(loaded, FALSE, 0, 0, 0);
    g_object_unref(loaded);
    image.size = PixelSize{gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)};
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    const std::size_t rowBytes = static_cast<std::size_t>(image.size.width) * 4;
    image.rgba.resize(rowBytes * static_cast<std::size_t>(image.size.height));
    for (int y = 0; y < image.size.height; ++y) {
        std::memcpy(image.rgba.data() + rowBytes * static_cast<std::size_t>(y),
                    pixels + static_cast<std::size_t>(stride) * static_cast<std::size_t>(y),
                    rowBytes);
    }
    g_object_unref(pixbuf);
    return true;
}

ImageDifference compare(const Image& actual, const Image& expected, int tolerance) {
    ImageDifference difference;
    difference.sameSize =
        actual.size == expected.size && actual.rgba.size() == expected.rgba.size();
    if (!difference.sameSize) {
        return difference;
    }
    for (std::size_t i = 0; i < actual.rgba.size(); i += 4) {
        int largest = 0;
        for (std::size_t c = 0; c < 4; ++c) {
            largest = std::max(largest, std::abs(actual.rgba[i + c] - expected.rgba[i + c]));
        }
        difference.largestChannelDifference =
            std::max(difference.largestChannelDifference, largest);
        if (largest > tolerance) {
            ++difference.pixelsBeyondTolerance;
        }
    }
    return difference;
}

::testing::AssertionResult matchesGolden(const Image& actual, const std::string& name,
                                         int tolerance, std::size_t allowedPixels) {
    const std::filesystem::path path =
        std::filesystem::path(BW_SOURCE_DIR) / "tests" / "render" / "golden" / (name + ".png");
    const char* update = std::getenv("BW_UPDATE_GOLDENS");
    if (update != nullptr && std::strcmp(update, "1") == 0) {
        if (!savePng(actual, path)) {
            return ::testing::AssertionFailure() << "cannot write " << path;
        }
        return ::testing::AssertionSuccess() << "wrote " << path;
    }
    Image expected;
    if (!loadPng(path, expected)) {
        return ::testing::AssertionFailure()
               << "no golden image " << path << " (BW_UPDATE_GOLDENS=1 writes it)";
    }
    const ImageDifference difference = compare(actual, expected, tolerance);
    if (!difference.sameSize) {
        return ::testing::AssertionFailure()
               << name << ": size " << actual.size.width << "x" << actual.size.height << ", golden "
               << expected.size.width << "x" << expected.size.height;
    }
    if (difference.pixelsBeyondTolerance > allowedPixels) {
        const std::filesystem::path saved =
            std::filesystem::temp_directory_path() / (name + "-actual.png");
        savePng(actual, saved);
        return ::testing::AssertionFailure()
               << name << ": " << difference.pixelsBeyondTolerance << " pixels differ by more than "
               << tolerance << " (largest difference " << difference.largestChannelDifference
               << "); the rendered picture is at " << saved;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace bw::test
