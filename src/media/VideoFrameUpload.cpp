#include "media/VideoFrameUpload.h"

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>

#include "render/GpuBufferPool.h"

namespace bw {

namespace {

// How a format's planes go to the GPU.
struct Layout {
    GstVideoFormat format;
    PictureEncoding::Kind kind;
    // Packed RGB: the upload's format and type, and what the alpha bytes are.
    GLenum packedFormat = 0;
    int bytesPerPixel = 4;
    bool straightAlpha = false;
    bool opaque = false;
};

using Kind = PictureEncoding::Kind;

// In order of preference, for a converter that has the choice.
constexpr Layout kLayouts[] = {
    {GST_VIDEO_FORMAT_I420, Kind::Planar},
    {GST_VIDEO_FORMAT_YV12, Kind::Planar},
    {GST_VIDEO_FORMAT_NV12, Kind::Interleaved},
    {GST_VIDEO_FORMAT_Y42B, Kind::Planar},
    {GST_VIDEO_FORMAT_Y444, Kind::Planar},
    {GST_VIDEO_FORMAT_I420_10LE, Kind::Planar},
    {GST_VIDEO_FORMAT_I422_10LE, Kind::Planar},
    {GST_VIDEO_FORMAT_Y444_10LE, Kind::Planar},
    {GST_VIDEO_FORMAT_I420_12LE, Kind::Planar},
    {GST_VIDEO_FORMAT_I422_12LE, Kind::Planar},
    {GST_VIDEO_FORMAT_Y444_12LE, Kind::Planar},
    {GST_VIDEO_FORMAT_P010_10LE, Kind::Interleaved},
    {GST_VIDEO_FORMAT_A420, Kind::PlanarAlpha},
    {GST_VIDEO_FORMAT_A420_10LE, Kind::PlanarAlpha},
    {GST_VIDEO_FORMAT_A422_10LE, Kind::PlanarAlpha},
    {GST_VIDEO_FORMAT_A444_10LE, Kind::PlanarAlpha},
    {GST_VIDEO_FORMAT_RGBA, Kind::Rgba, GL_RGBA, 4, true, false},
    {GST_VIDEO_FORMAT_BGRA, Kind::Rgba, GL_BGRA, 4, true, false},
    {GST_VIDEO_FORMAT_RGBx, Kind::Rgba, GL_RGBA, 4, false, true},
    {GST_VIDEO_FORMAT_BGRx, Kind::Rgba, GL_BGRA, 4, false, true},
    {GST_VIDEO_FORMAT_RGB, Kind::Rgba, GL_RGB, 3, false, false},
    {GST_VIDEO_FORMAT_BGR, Kind::Rgba, GL_BGR, 3, false, false},
};

const Layout* layoutOf(GstVideoFormat format) {
    for (const Layout& layout : kLayouts) {
        if (layout.format == format) return &layout;
    }
    return nullptr;
}

// What a sample of component `component` is worth in code values: the
// texture gives stored / (2^bits - 1), and the code sits `shift` bits up.
double codeScale(const GstVideoFormatInfo* info, int component) {
    const unsigned bits = GST_VIDEO_FORMAT_INFO_BITS(info) > 8 ? 16U : 8U;
    const double stored = static_cast<double>((1U << bits) - 1U);
    return stored / static_cast<double>(1U << GST_VIDEO_FORMAT_INFO_SHIFT(info, component));
}

// One component's plane as the pool takes it.
GpuBufferPool::Plane componentPlane(const GstVideoFrame& frame, int component, int channels) {
    const bool wide = GST_VIDEO_FORMAT_INFO_BITS(frame.info.finfo) > 8;
    GpuBufferPool::Plane plane;
    plane.pixels = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, component));
    plane.size = PixelSize{GST_VIDEO_FRAME_COMP_WIDTH(&frame, component),
                           GST_VIDEO_FRAME_COMP_HEIGHT(&frame, component)};
    plane.stride = static_cast<std::size_t>(GST_VIDEO_FRAME_COMP_STRIDE(&frame, component));
    plane.format = channels == 2 ? GL_RG : GL_RED;
    plane.type = wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE;
    plane.bytesPerPixel = channels * (wide ? 2 : 1);
    plane.internalFormat = channels == 2 ? (wide ? GL_RG16 : GL_RG8) : (wide ? GL_R16 : GL_R8);
    return plane;
}

}  // namespace

GstCaps* VideoFrameUpload::decoderFormatCaps() {
    GValue formats = G_VALUE_INIT;
    gst_value_list_init(&formats, std::size(kLayouts));
    for (const Layout& layout : kLayouts) {
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        g_value_set_static_string(&name, gst_video_format_to_string(layout.format));
        gst_value_list_append_and_take_value(&formats, &name);
    }
    GstCaps* caps = gst_caps_new_empty_simple("video/x-raw");
    gst_caps_set_value(caps, "format", &formats);
    g_value_unset(&formats);
    return caps;
}

std::vector<int> VideoFrameUpload::ycbcrFormats() {
    std::vector<int> formats;
    for (const Layout& layout : kLayouts) {
        if (layout.kind != Kind::Rgba) formats.push_back(layout.format);
    }
    return formats;
}

GstCaps* VideoFrameUpload::rgbaCaps() {
    return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGBA", nullptr);
}

std::array<float, 16> VideoFrameUpload::colourMatrix(const GstVideoInfo& info) {
    const GstVideoFormatInfo* format = info.finfo;
    GstVideoColorimetry colorimetry = info.colorimetry;
    gdouble kr = 0.0;
    gdouble kb = 0.0;
    if (!gst_video_color_matrix_get_Kr_Kb(colorimetry.matrix, &kr, &kb)) {
        // Unknown: what such movies are made with, by their size.
        gst_video_color_matrix_get_Kr_Kb(GST_VIDEO_INFO_HEIGHT(&info) > 576
                                             ? GST_VIDEO_COLOR_MATRIX_BT709
                                             : GST_VIDEO_COLOR_MATRIX_BT601,
                                         &kr, &kb);
    }
    if (colorimetry.range == GST_VIDEO_COLOR_RANGE_UNKNOWN) {
        colorimetry.range = GST_VIDEO_COLOR_RANGE_16_235;
    }
    gint offset[GST_VIDEO_MAX_COMPONENTS] = {};
    gint scale[GST_VIDEO_MAX_COMPONENTS] = {};
    gst_video_color_range_offsets(colorimetry.range, format, offset, scale);

    // Y' in 0..1 and Cb, Cr in -0.5..0.5, each as gain * sample + bias.
    const double yGain = codeScale(format, 0) / scale[0];
    const double yBias = -static_cast<double>(offset[0]) / scale[0];
    const double cGain = codeScale(format, 1) / scale[1];
    const double cBias = -static_cast<double>(offset[1]) / scale[1];
    const double kg = 1.0 - kr - kb;
    const double rCr = 2.0 * (1.0 - kr);
    const double bCb = 2.0 * (1.0 - kb);
    const double gCb = -2.0 * kb * (1.0 - kb) / kg;
    const double gCr = -2.0 * kr * (1.0 - kr) / kg;
    double alpha = 1.0;
    if (GST_VIDEO_FORMAT_INFO_HAS_ALPHA(format)) {
        const int depth = static_cast<int>(GST_VIDEO_FORMAT_INFO_DEPTH(format, GST_VIDEO_COMP_A));
        alpha = codeScale(format, GST_VIDEO_COMP_A) / static_cast<double>((1 << depth) - 1);
    }
    // clang-format off
    const double rows[16] = {
        yGain, 0.0,         rCr * cGain, yBias + rCr * cBias,
        yGain, gCb * cGain, gCr * cGain, yBias + (gCb + gCr) * cBias,
        yGain, bCb * cGain, 0.0,         yBias + bCb * cBias,
        0.0,   0.0,         0.0,         alpha,
    };
    // clang-format on
    std::array<float, 16> matrix{};
    for (std::size_t i = 0; i < matrix.size(); ++i)
        matrix[i] = static_cast<float>(rows[i]);
    return matrix;
}

GpuBufferRef VideoFrameUpload::upload(GstBuffer* buffer, const GstVideoInfo& info,
                                      GpuBufferPool& pool, bool opaqueSource) {
    const Layout* layout = layoutOf(GST_VIDEO_INFO_FORMAT(&info));
    if (layout == nullptr) return nullptr;
    GstVideoInfo mapped = info;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &mapped, buffer, GST_MAP_READ)) return nullptr;

    PictureEncoding encoding;
    encoding.kind = layout->kind;
    GpuBufferRef picture;
    if (layout->kind == Kind::Rgba) {
        GpuBufferPool::Plane plane;
        plane.pixels = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        plane.size = PixelSize{GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame)};
        plane.stride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
        plane.format = layout->packedFormat;
        plane.bytesPerPixel = layout->bytesPerPixel;
        picture = pool.allocBufferWithPlane(plane);
        encoding.straightAlpha = layout->straightAlpha && !opaqueSource;
        encoding.opaque = layout->opaque;
    } else {
        picture = pool.allocBufferWithPlane(componentPlane(frame, GST_VIDEO_COMP_Y, 1));
        if (layout->kind == Kind::Interleaved) {
            encoding.planes[0] =
                pool.allocBufferWithPlane(componentPlane(frame, GST_VIDEO_COMP_U, 2));
        } else {
            encoding.planes[0] =
                pool.allocBufferWithPlane(componentPlane(frame, GST_VIDEO_COMP_U, 1));
            encoding.planes[1] =
                pool.allocBufferWithPlane(componentPlane(frame, GST_VIDEO_COMP_V, 1));
        }
        if (layout->kind == Kind::PlanarAlpha) {
            encoding.planes[2] =
                pool.allocBufferWithPlane(componentPlane(frame, GST_VIDEO_COMP_A, 1));
        }
        encoding.colour = colourMatrix(info);
        const bool complete = encoding.planes[0] &&
                              (layout->kind == Kind::Interleaved || encoding.planes[1]) &&
                              (layout->kind != Kind::PlanarAlpha || encoding.planes[2]);
        if (!complete) picture.reset();
    }
    gst_video_frame_unmap(&frame);
    if (picture) {
        picture->setEncoding(std::move(encoding));
        // Non-square pixels (anamorphic movies) are drawn in their shape
        // where the picture is placed on an output.
        if (GST_VIDEO_INFO_PAR_N(&info) > 0 && GST_VIDEO_INFO_PAR_D(&info) > 0) {
            picture->setPixelAspect(static_cast<double>(GST_VIDEO_INFO_PAR_N(&info)) /
                                    GST_VIDEO_INFO_PAR_D(&info));
        }
    }
    return picture;
}

}  // namespace bw
