#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "media/RgbaConverter.h"
#include "media/VideoFrameUpload.h"
#include "media/VideoPlayer.h"
#include "platform/SystemLog.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/RenderTestSupport.h"
#include "render/ShaderScene.h"
#include "support/TempDir.h"

namespace bw {
namespace {

// The largest difference, in any channel, between the centre of each of the
// eight bars in `drawn` and the premultiplied colour of the same bar in
// `reference` (straight alpha, as PNGs store it).
int barError(const test::Image& drawn, const test::Image& reference, std::string& where) {
    int worst = 0;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = bar * 16 + 8;
        const int y = reference.size.height / 2;
        const std::uint8_t* expected = reference.at(x, y);
        const std::uint8_t* actual = drawn.at(x * drawn.size.width / reference.size.width,
                                              y * drawn.size.height / reference.size.height);
        for (int channel = 0; channel < 4; ++channel) {
            const int want =
                channel == 3 ? expected[3] : (expected[channel] * expected[3] + 127) / 255;
            const int error = std::abs(actual[channel] - want);
            if (error > worst) {
                worst = error;
                where = "bar " + std::to_string(bar) + " channel " + std::to_string(channel) +
                        ": " + std::to_string(actual[channel]) + " for " + std::to_string(want);
            }
        }
    }
    return worst;
}

class VideoFrameUploadTest : public test::RenderTest {
protected:
    void SetUp() override {
        ::setenv("GST_REGISTRY", BW_TEST_MEDIA_DIR "/../gst-registry.bin", 0);
        gst_init(nullptr, nullptr);
        test::RenderTest::SetUp();
    }
    void TearDown() override {
        VideoPlayer::waitForStoppedPipelines();
        test::RenderTest::TearDown();
    }

    // `picture` converted by GStreamer's own converter to `caps`; null, with
    // a failure added, when the pipeline does not run.
    static GstSample* convertedSample(const std::string& picture, const std::string& caps) {
        const std::string description = "filesrc location=\"" + test::testMediaPath(picture) +
                                        "\" ! pngdec ! videoscale ! videoconvert ! " + caps +
                                        " ! appsink name=sink";
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
        if (pipeline == nullptr) {
            ADD_FAILURE() << (error != nullptr ? error->message : "no pipeline");
            g_clear_error(&error);
            return nullptr;
        }
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
        if (sample == nullptr) ADD_FAILURE() << "no picture from " << description;
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(sink);
        gst_object_unref(pipeline);
        return sample;
    }

    // The same, uploaded.
    static GpuBufferRef converted(const std::string& picture, const std::string& caps) {
        GstSample* sample = convertedSample(picture, caps);
        GpuBufferRef uploaded;
        GstVideoInfo info;
        if (sample != nullptr && gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
            uploaded = VideoFrameUpload::upload(gst_sample_get_buffer(sample), info,
                                                GpuBufferPool::global());
        }
        if (sample != nullptr) gst_sample_unref(sample);
        return uploaded;
    }
};

// Every format taken as it is, in each colour matrix and range, comes out as
// the colours it was made from: the planes, the matrix, the range, the bit
// depth and the alpha are each right.
TEST_F(VideoFrameUploadTest, EachFormatDrawsItsBarsInTheirColours) {
    struct Case {
        const char* caps;
        const char* picture;
        PictureEncoding::Kind kind;
    };
    using Kind = PictureEncoding::Kind;
    const Case cases[] = {
        {"video/x-raw,format=I420,colorimetry=bt601", "bars.png", Kind::Planar},
        {"video/x-raw,format=I420,colorimetry=bt709", "bars.png", Kind::Planar},
        {"video/x-raw,format=I420,colorimetry=bt2020", "bars.png", Kind::Planar},
        {"video/x-raw,format=I420,colorimetry=1:4:5:4", "bars.png", Kind::Planar},
        {"video/x-raw,format=I420,colorimetry=1:3:5:1", "bars.png", Kind::Planar},
        {"video/x-raw,format=YV12,colorimetry=bt709", "bars.png", Kind::Planar},
        {"video/x-raw,format=Y42B,colorimetry=bt709", "bars.png", Kind::Planar},
        {"video/x-raw,format=Y444,colorimetry=1:3:5:1", "bars.png", Kind::Planar},
        {"video/x-raw,format=NV12,colorimetry=bt709", "bars.png", Kind::Interleaved},
        {"video/x-raw,format=I420_10LE,colorimetry=bt2020", "bars.png", Kind::Planar},
        {"video/x-raw,format=I422_12LE,colorimetry=bt709", "bars.png", Kind::Planar},
        // Odd sizes: chroma planes of half a pixel more, rows padded.
        {"video/x-raw,format=I420,width=127,height=33,colorimetry=bt709", "bars.png", Kind::Planar},
        {"video/x-raw,format=NV12,width=125,height=31,colorimetry=bt709", "bars.png",
         Kind::Interleaved},
        {"video/x-raw,format=P010_10LE,colorimetry=bt2020", "bars.png", Kind::Interleaved},
        {"video/x-raw,format=A420,colorimetry=bt601", "bars-alpha.png", Kind::PlanarAlpha},
        {"video/x-raw,format=A444_10LE,colorimetry=bt709", "bars-alpha.png", Kind::PlanarAlpha},
        {"video/x-raw,format=RGBA", "bars-alpha.png", Kind::Rgba},
        {"video/x-raw,format=BGRx", "bars.png", Kind::Rgba},
        {"video/x-raw,format=RGB", "bars.png", Kind::Rgba},
        {"video/x-raw,format=RGB,width=127,height=33", "bars.png", Kind::Rgba},
    };
    for (const Case& c : cases) {
        test::Image reference;
        ASSERT_TRUE(test::loadPng(test::testMediaPath(c.picture), reference)) << c.picture;
        const GpuBufferRef picture = converted(c.picture, c.caps);
        ASSERT_TRUE(picture) << c.caps;
        EXPECT_EQ(picture->encoding().kind, c.kind) << c.caps;
        std::string where;
        EXPECT_LE(barError(test::readPixels(*picture), reference, where), 3)
            << c.caps << ", " << where;
    }
}

// The exact colour of a YCbCr picture's pixel, worked out in double
// precision from its codes, its colour matrix and its range: what a
// converter should make of it, to the nearest of 255 steps; its alpha, where
// it has one, likewise (255 without).
std::array<int, 4> exactColour(GstSample* sample, int x, int y) {
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
    GstVideoFrame frame;
    gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ);
    const bool hasAlpha = GST_VIDEO_FORMAT_INFO_HAS_ALPHA(info.finfo);
    double code[4] = {0, 0, 0, 1};
    for (int c = 0; c < (hasAlpha ? 4 : 3); ++c) {
        const int cx = GST_VIDEO_FORMAT_INFO_SCALE_WIDTH(info.finfo, c, x);
        const int cy = GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info.finfo, c, y);
        const bool wide = GST_VIDEO_FORMAT_INFO_BITS(info.finfo) > 8;
        // Cr interleaved with Cb follows it (GStreamer 1.22 puts 16-bit Cr
        // one byte on).
        const bool interleaved = c == 2 && GST_VIDEO_FORMAT_INFO_PLANE(info.finfo, 1) ==
                                               GST_VIDEO_FORMAT_INFO_PLANE(info.finfo, 2);
        const auto* data =
            interleaved ? static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 1)) +
                              (wide ? 2 : 1)
                        : static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, c));
        const auto* sample8 = data + cy * GST_VIDEO_FRAME_COMP_STRIDE(&frame, c) +
                              cx * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, c);
        std::uint16_t value = sample8[0];
        if (wide) std::memcpy(&value, sample8, 2);
        code[c] = value >> GST_VIDEO_FORMAT_INFO_SHIFT(info.finfo, c);
    }
    gst_video_frame_unmap(&frame);
    gint offset[4];
    gint scale[4];
    gst_video_color_range_offsets(info.colorimetry.range, info.finfo, offset, scale);
    gdouble kr = 0;
    gdouble kb = 0;
    gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb);
    const double luma = (code[0] - offset[0]) / scale[0];
    const double pb = (code[1] - offset[1]) / scale[1];
    const double pr = (code[2] - offset[2]) / scale[2];
    const double r = luma + 2 * (1 - kr) * pr;
    const double b = luma + 2 * (1 - kb) * pb;
    const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
    const double alphaMax = hasAlpha ? (1 << GST_VIDEO_FORMAT_INFO_DEPTH(info.finfo, 3)) - 1 : 1;
    std::array<int, 4> rgba{};
    const double values[] = {r, g, b, code[3] / alphaMax};
    for (int c = 0; c < 4; ++c) {
        rgba[c] = static_cast<int>(std::lround(std::clamp(values[c], 0.0, 1.0) * 255));
    }
    return rgba;
}

// `planes` made RGBA by RgbaConverter (at half its size, `halved`).
test::Image convertedOnCpu(GstSample* planes, bool halved = false) {
    GstVideoInfo in;
    gst_video_info_from_caps(&in, gst_sample_get_caps(planes));
    const int divisor = halved ? 2 : 1;
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_RGBA, GST_VIDEO_INFO_WIDTH(&in) / divisor,
                              GST_VIDEO_INFO_HEIGHT(&in) / divisor);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&out), nullptr);
    GstVideoFrame inFrame;
    GstVideoFrame outFrame;
    gst_video_frame_map(&inFrame, &in, gst_sample_get_buffer(planes), GST_MAP_READ);
    gst_video_frame_map(&outFrame, &out, buffer, GST_MAP_WRITE);
    RgbaConverter(in, halved).convert(inFrame, outFrame);
    test::Image image;
    image.size = PixelSize{GST_VIDEO_INFO_WIDTH(&out), GST_VIDEO_INFO_HEIGHT(&out)};
    image.rgba.resize(static_cast<std::size_t>(image.size.width) * image.size.height * 4);
    for (int y = 0; y < image.size.height; ++y) {
        std::memcpy(image.rgba.data() + static_cast<std::size_t>(y) * image.size.width * 4,
                    static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&outFrame, 0)) +
                        y * GST_VIDEO_FRAME_PLANE_STRIDE(&outFrame, 0),
                    static_cast<std::size_t>(image.size.width) * 4);
    }
    gst_video_frame_unmap(&outFrame);
    gst_video_frame_unmap(&inFrame);
    gst_buffer_unref(buffer);
    return image;
}

// Limited and full range pictures in each matrix, depth and layout come out
// within one step of their exact colours, white and black included, both
// drawn from their planes and converted to RGBA on the CPU. (The renderer
// premultiplies alpha as it draws: pictures with alpha are compared as
// converted, in straight alpha.)
TEST_F(VideoFrameUploadTest, BothPathsReachTheExactColours) {
    const char* const formats[] = {
        "video/x-raw,format=I420,colorimetry=bt709",
        "video/x-raw,format=I420,colorimetry=bt601",
        "video/x-raw,format=NV12,colorimetry=bt2020",
        "video/x-raw,format=I420,colorimetry=1:3:5:1",
        "video/x-raw,format=I420_10LE,colorimetry=bt2020",
        "video/x-raw,format=Y444,colorimetry=bt709",
        "video/x-raw,format=Y42B,colorimetry=bt601",
        "video/x-raw,format=P010_10LE,colorimetry=bt709",
        "video/x-raw,format=I422_12LE,colorimetry=1:4:5:4",
        "video/x-raw,format=NV12,width=125,height=31,colorimetry=bt709",
        "video/x-raw,format=A420,colorimetry=bt601",
        "video/x-raw,format=A444_10LE,colorimetry=bt709",
    };
    for (const char* caps : formats) {
        const bool alpha = std::strstr(caps, "format=A") != nullptr;
        GstSample* planes = convertedSample(alpha ? "bars-alpha.png" : "bars.png", caps);
        ASSERT_NE(planes, nullptr) << caps;
        GstVideoInfo info;
        gst_video_info_from_caps(&info, gst_sample_get_caps(planes));
        ASSERT_TRUE(RgbaConverter::converts(GST_VIDEO_INFO_FORMAT(&info))) << caps;
        test::Image drawn;
        if (!alpha) {
            const GpuBufferRef picture = VideoFrameUpload::upload(gst_sample_get_buffer(planes),
                                                                  info, GpuBufferPool::global());
            ASSERT_TRUE(picture) << caps;
            drawn = test::readPixels(*picture);
        }
        const test::Image onCpu = convertedOnCpu(planes);
        const int width = GST_VIDEO_INFO_WIDTH(&info);
        for (const test::Image* image : {static_cast<const test::Image*>(&drawn), &onCpu}) {
            if (image->rgba.empty()) continue;
            int worst = 0;
            std::string where;
            for (int bar = 0; bar < 8; ++bar) {
                const int x = (bar * 16 + 8) * width / 128;
                const std::array<int, 4> want = exactColour(planes, x, 16);
                for (int c = 0; c < 4; ++c) {
                    const int error = std::abs(image->at(x, 16)[c] - want[c]);
                    if (error > worst) {
                        worst = error;
                        where = "bar " + std::to_string(bar) + " channel " + std::to_string(c) +
                                ": " + std::to_string(image->at(x, 16)[c]) + " for " +
                                std::to_string(want[c]);
                    }
                }
            }
            EXPECT_LE(worst, 1) << caps << (image == &onCpu ? ", on the CPU, " : ", planes, ")
                                << where;
        }
        gst_sample_unref(planes);
    }
}

// A picture made RGBA at half its size is, edges and all, the one the mixer
// draws from its planes at that size, in each layout of chroma, to within two
// steps: llvmpipe filters 8-bit planes in 8 bits, half a code from the mean
// before the matrix. Odd sizes and chroma subsampled four times are not
// halved.
TEST_F(VideoFrameUploadTest, HalvedPicturesAreWhatTheMixerDrawsAtHalfTheSize) {
    const char* const formats[] = {
        "video/x-raw,format=I420,colorimetry=bt709",
        "video/x-raw,format=NV12,colorimetry=bt2020",
        "video/x-raw,format=Y42B,colorimetry=bt601",
        "video/x-raw,format=Y444,colorimetry=1:3:5:1",
        "video/x-raw,format=I420_10LE,colorimetry=bt2020",
        "video/x-raw,format=P010_10LE,colorimetry=bt709",
    };
    // Chroma edges across (the bars) and down (red over blue), and a ball's
    // round edges in luma.
    for (const char* picture : {"bars.png", "image-portrait.png", "image.png"}) {
        for (const char* caps : formats) {
            GstSample* planes = convertedSample(picture, caps);
            ASSERT_NE(planes, nullptr) << caps;
            GstVideoInfo info;
            gst_video_info_from_caps(&info, gst_sample_get_caps(planes));
            ASSERT_TRUE(RgbaConverter::halves(info)) << caps;
            const test::Image halved = convertedOnCpu(planes, true);
            const GpuBufferRef uploaded = VideoFrameUpload::upload(gst_sample_get_buffer(planes),
                                                                   info, GpuBufferPool::global());
            ASSERT_TRUE(uploaded) << caps;
            ShaderScene& mix = ShaderScene::mixScene();
            mix.setValue("crossfade", 0.0);
            mix.setValue("inputImage", uploaded);
            mix.setValue("input2Image", uploaded);
            const GpuBufferRef drawn = mix.allocAndRenderToBufferSized(halved.size);
            mix.setValue("inputImage", GpuBufferRef());
            mix.setValue("input2Image", GpuBufferRef());
            const test::ImageDifference difference =
                test::compare(halved, test::readPixels(*drawn), 2);
            EXPECT_TRUE(difference.sameSize) << picture << " " << caps;
            EXPECT_EQ(difference.pixelsBeyondTolerance, 0u)
                << picture << " " << caps << ": off by up to "
                << difference.largestChannelDifference;
            gst_sample_unref(planes);
        }
    }
    for (const char* caps : {"video/x-raw,format=I420,width=127,height=32",
                             "video/x-raw,format=I420,width=128,height=33",
                             "video/x-raw,format=Y41B,width=128,height=32"}) {
        GstVideoInfo info;
        GstCaps* parsed = gst_caps_from_string(caps);
        ASSERT_TRUE(gst_video_info_from_caps(&info, parsed)) << caps;
        EXPECT_FALSE(RgbaConverter::halves(info)) << caps;
        gst_caps_unref(parsed);
    }
}

// Every YCbCr format the renderer takes is one the CPU converts too, so no
// movie reaches the CPU path in a format its converter would approximate.
TEST_F(VideoFrameUploadTest, TheCpuConvertsEveryYcbcrFormatTheRendererTakes) {
    GstCaps* caps = VideoFrameUpload::decoderFormatCaps();
    const GValue* formats = gst_structure_get_value(gst_caps_get_structure(caps, 0), "format");
    for (guint i = 0; i < gst_value_list_get_size(formats); ++i) {
        const char* name = g_value_get_string(gst_value_list_get_value(formats, i));
        const GstVideoFormat format = gst_video_format_from_string(name);
        const bool yuv = GST_VIDEO_FORMAT_INFO_IS_YUV(gst_video_format_get_info(format));
        EXPECT_EQ(RgbaConverter::converts(format), yuv) << name;
    }
    gst_caps_unref(caps);
}

// A movie's picture as an output shows it in the middle of a crossfade from
// itself to itself: both of the mixer's inputs convert it.
// The first picture of `movie`, from a player; none, with what the player
// logged, when none came.
GpuBufferRef firstPicture(const std::string& movie, PixelSize output = {}) {
    SystemLog::ScopedCapture capture;
    VideoPlayer player(MediaURL::fileURL(test::testMediaPath(movie)), true, false, nullptr, output);
    GpuBufferRef picture;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(picture = player.frameForTime(DisplayTimeStamp{})) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!picture) {
        ADD_FAILURE() << "no picture from " << movie << "; failed " << player.failed();
        for (const std::string& line : capture.lines())
            ADD_FAILURE() << line;
    }
    return picture;
}

test::Image mixedWithItself(const GpuBufferRef& picture) {
    ShaderScene& mix = ShaderScene::mixScene();
    mix.setValue("crossfade", 0.5);
    mix.setValue("inputImage", picture);
    mix.setValue("input2Image", picture);
    const GpuBufferRef mixed = mix.allocAndRenderToBufferSized({256, 64});
    mix.setValue("inputImage", GpuBufferRef());
    mix.setValue("input2Image", GpuBufferRef());
    return test::readPixels(*mixed);
}

// Movies made from the bars in each colour matrix, range and bit depth, and
// with alpha, decoded by the player and drawn by the mixer, keep the bars'
// colours, within 3/255 (the movies' own YCbCr codes are a step from the
// bars), from the planes and from the pipeline's RGBA alike.
TEST_F(VideoFrameUploadTest, DecodedMoviesKeepTheirColoursThroughTheMixer) {
    struct Case {
        const char* movie;
        const char* picture;
    };
    const Case cases[] = {
        {"colour-bt601.mkv", "bars.png"},       {"colour-bt709.mkv", "bars.png"},
        {"colour-bt2020.mkv", "bars.png"},      {"colour-bt601-full.mkv", "bars.png"},
        {"colour-bt709-full.mkv", "bars.png"},  {"colour-bt2020-10bit.mkv", "bars.png"},
        {"colour-alpha.mov", "bars-alpha.png"},
    };
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    for (const char* onCpu : {"0", "1"}) {
        ::setenv("BEAMWRIGHT_CONVERT_ON_CPU", onCpu, 1);
        for (const Case& c : cases) {
            if (!std::filesystem::exists(test::testMediaPath(c.movie))) {
                std::printf("%s was not made on this machine\n", c.movie);
                continue;
            }
            test::Image reference;
            ASSERT_TRUE(test::loadPng(test::testMediaPath(c.picture), reference)) << c.picture;
            const GpuBufferRef picture = firstPicture(c.movie);
            ASSERT_TRUE(picture) << c.movie;
            EXPECT_EQ(picture->encoding().kind == PictureEncoding::Kind::Rgba, *onCpu == '1')
                << c.movie;
            std::string where;
            EXPECT_LE(barError(mixedWithItself(picture), reference, where), 3)
                << c.movie << ", converted on the CPU: " << onCpu << ", " << where;
        }
    }
    ::unsetenv("BEAMWRIGHT_CONVERT_ON_CPU");
}

// Unless told, only a software renderer has the pipeline convert pictures,
// and only those with no more pixels than their output (any where the output
// is not known), or whose half has as many (made at that half). A picture converted from one
// without alpha is premultiplied as it is, so that an output it covers can publish it unmixed; one
// with alpha keeps its straight alpha.
TEST_F(VideoFrameUploadTest, TheRendererChoosesWhereMoviesAreConverted) {
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    ::unsetenv("BEAMWRIGHT_CONVERT_ON_CPU");
    struct Case {
        const char* movie;
        PixelSize output;
        bool converted;  // on a software renderer
        bool straightAlpha;
        PixelSize size;  // converted at this size; empty: the movie's own
    };
    const Case cases[] = {
        {"movie-h264.mp4", {}, true, false, {}},        // 66x38
        {"movie-h264.mp4", {66, 38}, true, false, {}},  // as many pixels
        {"movie-h264.mp4", {1920, 1080}, true, false, {}},
        {"movie-h264.mp4", {65, 38}, false, false, {}},  // one column fewer
        // A half with as many pixels as the output, and one with fewer.
        {"movie-h264.mp4", {33, 19}, true, false, {33, 19}},
        {"movie-h264.mp4", {34, 19}, false, false, {}},
        {"colour-alpha.mov", {1920, 1080}, true, true, {}},
    };
    for (const Case& c : cases) {
        if (!std::filesystem::exists(test::testMediaPath(c.movie))) {
            std::printf("%s was not made on this machine\n", c.movie);
            continue;
        }
        const GpuBufferRef picture = firstPicture(c.movie, c.output);
        ASSERT_TRUE(picture) << c.movie;
        const PictureEncoding& encoding = picture->encoding();
        const bool converted = RenderContext::shared().isSoftware() && c.converted;
        EXPECT_EQ(encoding.kind == PictureEncoding::Kind::Rgba, converted)
            << c.movie << " on " << c.output.width << "x" << c.output.height << ", "
            << RenderContext::shared().renderer();
        if (converted) {
            EXPECT_EQ(encoding.straightAlpha, c.straightAlpha) << c.movie;
            EXPECT_FALSE(encoding.opaque) << c.movie;
            if (!c.size.isEmpty()) {
                EXPECT_EQ(picture->size(), c.size) << c.movie;
            }
        }
    }
}

// Formats the scenes do not take are left to the pipeline's converter.
TEST_F(VideoFrameUploadTest, FormatsNotTakenAreRefused) {
    const GpuBufferRef picture = converted("bars.png", "video/x-raw,format=AYUV64");
    EXPECT_FALSE(picture);
}

}  // namespace
}  // namespace bw
