#include "media/RgbaConverter.h"

#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "media/VideoFrameUpload.h"

namespace bw {

namespace {

// The YCbCr formats converted: those the renderer takes as planes.
const std::vector<int>& formatsConverted() {
    // Never destroyed: streaming threads of pipelines still running as the
    // process ends may ask for it after static destructors have run.
    static const std::vector<int>& formats =
        *new std::vector<int>(VideoFrameUpload::ycbcrFormats());
    return formats;
}

// Each subsampled chroma sample sits centred on the two luma samples it
// covers: the luma sample on its side of the centre takes 3/4 of it and 1/4
// of its neighbour beyond, as linear sampling of the chroma plane gives.
constexpr float kNear = 0.75F;
constexpr float kFar = 0.25F;

// Where the samples of `component` start. With Cb and Cr interleaved in one
// plane, Cr follows each Cb sample: GStreamer 1.22 gives a Cr offset of one
// byte for 16-bit samples too (P010), where it is two.
const std::uint8_t* componentData(const GstVideoFrame& frame, int component) {
    const GstVideoFormatInfo* info = frame.info.finfo;
    if (component == GST_VIDEO_COMP_V && GST_VIDEO_FORMAT_INFO_PLANE(info, GST_VIDEO_COMP_U) ==
                                             GST_VIDEO_FORMAT_INFO_PLANE(info, GST_VIDEO_COMP_V)) {
        const int sampleBytes = GST_VIDEO_FORMAT_INFO_BITS(info) > 8 ? 2 : 1;
        return componentData(frame, GST_VIDEO_COMP_U) + sampleBytes;
    }
    return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, component));
}

}  // namespace

bool RgbaConverter::converts(int format) {
    const std::vector<int>& formats = formatsConverted();
    return std::find(formats.begin(), formats.end(), format) != formats.end();
}

bool RgbaConverter::halves(const GstVideoInfo& info) {
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    return info.finfo != nullptr && converts(GST_VIDEO_INFO_FORMAT(&info)) && width >= 2 &&
           height >= 2 && width % 2 == 0 && height % 2 == 0 &&
           GST_VIDEO_FORMAT_INFO_W_SUB(info.finfo, 1) <= 1 &&
           GST_VIDEO_FORMAT_INFO_H_SUB(info.finfo, 1) <= 1;
}

RgbaConverter::RgbaConverter(const GstVideoInfo& info, bool halved)
    : width_(GST_VIDEO_INFO_WIDTH(&info)),
      height_(GST_VIDEO_INFO_HEIGHT(&info)),
      chromaWidth_(GST_VIDEO_INFO_COMP_WIDTH(&info, 1)),
      chromaHeight_(GST_VIDEO_INFO_COMP_HEIGHT(&info, 1)),
      horizontalShift_(GST_VIDEO_FORMAT_INFO_W_SUB(info.finfo, 1)),
      verticalShift_(GST_VIDEO_FORMAT_INFO_H_SUB(info.finfo, 1)),
      wide_(GST_VIDEO_FORMAT_INFO_BITS(info.finfo) > 8),
      halved_(halved),
      outWidth_(halved ? width_ / 2 : width_),
      outHeight_(halved ? height_ / 2 : height_) {
    // The renderer's matrix takes samples as textures give them, stored
    // value / (2^container bits - 1); these rows take the stored values and
    // give 0..255, with the half step for rounding in the bias.
    const std::array<float, 16> rows = VideoFrameUpload::colourMatrix(info);
    const float perStored = 255.0F / (wide_ ? 65535.0F : 255.0F);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            matrix_[row * 4 + column] = rows[row * 4 + column] * perStored;
        }
        matrix_[row * 4 + 3] = rows[row * 4 + 3] * 255.0F + 0.5F;
    }
    hasAlpha_ = GST_VIDEO_FORMAT_INFO_HAS_ALPHA(info.finfo);
    alphaGain_ = rows[15] * perStored;
    const auto width = static_cast<std::size_t>(outWidth_);
    const auto chromaWidth = static_cast<std::size_t>(chromaWidth_);
    luma_.resize(width);
    cb_.resize(width);
    cr_.resize(width);
    alpha_.resize(hasAlpha_ ? width : 0);
    if (halved_) {
        upper_.resize(static_cast<std::size_t>(width_));
        lower_.resize(static_cast<std::size_t>(width_));
    }
    chromaAbove_.resize(chromaWidth);
    chromaBelow_.resize(chromaWidth);
    chromaBlended_.resize(chromaWidth);
}

void RgbaConverter::readRow(const GstVideoFrame& frame, int component, int row, float* line) const {
    const int count = GST_VIDEO_FRAME_COMP_WIDTH(&frame, component);
    const int step = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, component);
    const std::uint8_t* samples =
        componentData(frame, component) +
        static_cast<std::ptrdiff_t>(row) * GST_VIDEO_FRAME_COMP_STRIDE(&frame, component);
    if (wide_) {
        for (int x = 0; x < count; ++x) {
            std::uint16_t value = 0;
            std::memcpy(&value, samples + static_cast<std::ptrdiff_t>(x) * step, sizeof value);
            line[x] = static_cast<float>(GUINT16_FROM_LE(value));
        }
    } else if (step == 1) {
        for (int x = 0; x < count; ++x)
            line[x] = static_cast<float>(samples[x]);
    } else {
        for (int x = 0; x < count; ++x)
            line[x] = static_cast<float>(samples[static_cast<std::ptrdiff_t>(x) * step]);
    }
}

void RgbaConverter::chromaRow(const GstVideoFrame& frame, int component, int row, float* line) {
    float* const chroma = horizontalShift_ == 0 ? line : chromaBlended_.data();
    if (verticalShift_ == 0) {
        readRow(frame, component, row, chroma);
    } else {
        const int near = row >> 1;
        const int far = std::clamp((row & 1) != 0 ? near + 1 : near - 1, 0, chromaHeight_ - 1);
        readRow(frame, component, near, chromaAbove_.data());
        readRow(frame, component, far, chromaBelow_.data());
        for (int x = 0; x < chromaWidth_; ++x)
            chroma[x] = kNear * chromaAbove_[x] + kFar * chromaBelow_[x];
    }
    if (horizontalShift_ == 0) return;
    // Written out edge apart, so that the row between vectorises.
    const int last = chromaWidth_ - 1;
    const float* const c = chroma;
    line[0] = kNear * c[0] + kFar * c[0];
    if (width_ > 1) line[1] = kNear * c[0] + kFar * c[std::min(1, last)];
    for (int x = 1; x < last; ++x) {
        line[2 * x] = kNear * c[x] + kFar * c[x - 1];
        line[2 * x + 1] = kNear * c[x] + kFar * c[x + 1];
    }
    if (last > 0) {
        line[2 * last] = kNear * c[last] + kFar * c[last - 1];
        if (2 * last + 1 < width_) line[2 * last + 1] = kNear * c[last] + kFar * c[last];
    }
}

void RgbaConverter::halvedRow(const GstVideoFrame& frame, int component, int row, float* line) {
    readRow(frame, component, 2 * row, upper_.data());
    readRow(frame, component, 2 * row + 1, lower_.data());
    const float* const upper = upper_.data();
    const float* const lower = lower_.data();
    for (int x = 0; x < outWidth_; ++x) {
        line[x] = 0.25F * ((upper[2 * x] + upper[2 * x + 1]) + (lower[2 * x] + lower[2 * x + 1]));
    }
}

void RgbaConverter::halvedChromaRow(const GstVideoFrame& frame, int component, int row,
                                    float* line) {
    // Subsampled chroma has a sample for each pixel made; full chroma has
    // two each way, averaged.
    float* const chroma = chromaAbove_.data();
    if (verticalShift_ == 1) {
        readRow(frame, component, row, chroma);
    } else {
        readRow(frame, component, 2 * row, chroma);
        readRow(frame, component, 2 * row + 1, chromaBelow_.data());
        const float* const below = chromaBelow_.data();
        for (int x = 0; x < chromaWidth_; ++x)
            chroma[x] = 0.5F * (chroma[x] + below[x]);
    }
    if (horizontalShift_ == 1) {
        std::copy(chroma, chroma + outWidth_, line);
    } else {
        for (int x = 0; x < outWidth_; ++x)
            line[x] = 0.5F * (chroma[2 * x] + chroma[2 * x + 1]);
    }
}

namespace {

// On x86-64, a hot loop compiled twice, for AVX2 and for the baseline, the
// one to run picked when the program loads: eight pixels a step where the
// processor has it, four where not. Not under the sanitizers: those builds
// check the code, not its speed.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BW_SANITIZED
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BW_SANITIZED
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(BW_SANITIZED)
#define BW_WIDEST_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define BW_WIDEST_VECTORS
#endif

// One row of RGBA from rows of samples as read: the matrix `m`, each channel
// clamped to 0..255 and truncated (the bias holds the half step), stored as
// the four bytes R, G, B, A. Without branches, so that it vectorises; inlined
// into each of the two entries below, and so built for each of their targets.
template <bool kAlpha>
[[gnu::always_inline]] inline void storeRow(const float* __restrict luma,
                                            const float* __restrict cb, const float* __restrict cr,
                                            const float* __restrict alpha,
                                            const std::array<float, 12>& m, float alphaGain,
                                            int width, std::uint8_t* __restrict rgba) {
    static_assert(std::endian::native == std::endian::little);
    const auto channel = [](float value) {
        const float low = value > 0.0F ? value : 0.0F;
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(low < 255.0F ? low : 255.0F));
    };
    const std::array<float, 12> k = m;
    for (int x = 0; x < width; ++x) {
        const float l = luma[x];
        const float b = cb[x];
        const float r = cr[x];
        const std::uint32_t red = channel(k[0] * l + k[1] * b + k[2] * r + k[3]);
        const std::uint32_t green = channel(k[4] * l + k[5] * b + k[6] * r + k[7]);
        const std::uint32_t blue = channel(k[8] * l + k[9] * b + k[10] * r + k[11]);
        const std::uint32_t opacity = kAlpha ? channel(alpha[x] * alphaGain + 0.5F) : 255U;
        const std::uint32_t pixel = red | (green << 8) | (blue << 16) | (opacity << 24);
        std::memcpy(rgba + static_cast<std::ptrdiff_t>(x) * 4, &pixel, sizeof pixel);
    }
}

BW_WIDEST_VECTORS void storeOpaqueRow(const float* luma, const float* cb, const float* cr,
                                      const std::array<float, 12>& m, int width,
                                      std::uint8_t* rgba) {
    storeRow<false>(luma, cb, cr, nullptr, m, 0.0F, width, rgba);
}

BW_WIDEST_VECTORS void storeRowWithAlpha(const float* luma, const float* cb, const float* cr,
                                         const float* alpha, const std::array<float, 12>& m,
                                         float alphaGain, int width, std::uint8_t* rgba) {
    storeRow<true>(luma, cb, cr, alpha, m, alphaGain, width, rgba);
}

}  // namespace

void RgbaConverter::convert(const GstVideoFrame& in, GstVideoFrame& out) {
    auto* const rgba = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0);
    const std::array<float, 12>& m = matrix_;
    for (int y = 0; y < outHeight_; ++y) {
        if (halved_) {
            halvedRow(in, GST_VIDEO_COMP_Y, y, luma_.data());
            halvedChromaRow(in, GST_VIDEO_COMP_U, y, cb_.data());
            halvedChromaRow(in, GST_VIDEO_COMP_V, y, cr_.data());
            if (hasAlpha_) halvedRow(in, GST_VIDEO_COMP_A, y, alpha_.data());
        } else {
            readRow(in, GST_VIDEO_COMP_Y, y, luma_.data());
            chromaRow(in, GST_VIDEO_COMP_U, y, cb_.data());
            chromaRow(in, GST_VIDEO_COMP_V, y, cr_.data());
            if (hasAlpha_) readRow(in, GST_VIDEO_COMP_A, y, alpha_.data());
        }
        std::uint8_t* row = rgba + static_cast<std::ptrdiff_t>(y) * stride;
        if (hasAlpha_) {
            storeRowWithAlpha(luma_.data(), cb_.data(), cr_.data(), alpha_.data(), m, alphaGain_,
                              outWidth_, row);
        } else {
            storeOpaqueRow(luma_.data(), cb_.data(), cr_.data(), m, outWidth_, row);
        }
    }
}

// The element: a video filter whose sink takes the formats converted and
// RGBA, and whose source gives RGBA; RGBA in passes through untouched. A
// picture larger than `largest` pixels (when not 0) is made RGBA at half its
// size where the half still has as many, and passes through otherwise: the
// renderer converts it for less where the output has fewer pixels than it.
struct BwRgbaConvert {
    GstVideoFilter parent;
    RgbaConverter* converter;  // for the negotiated YCbCr format; null for RGBA
    guint64 largest;           // set before the element first negotiates
};

struct BwRgbaConvertClass {
    GstVideoFilterClass parent;
};

namespace {

GObjectClass* parentClass = nullptr;  // set as the class is made

// The formats the sink takes, as a caps field value.
std::string sinkFormats() {
    std::string formats = "{ ";
    for (int format : formatsConverted()) {
        formats += gst_video_format_to_string(static_cast<GstVideoFormat>(format));
        formats += ", ";
    }
    return formats + "RGBA }";
}

// Whether a picture described by `structure` is larger than `largest`
// pixels allows.
bool tooLargeToConvert(const GstStructure* structure, guint64 largest) {
    gint width = 0;
    gint height = 0;
    return largest > 0 && gst_structure_get_int(structure, "width", &width) &&
           gst_structure_get_int(structure, "height", &height) &&
           static_cast<guint64>(width) * static_cast<guint64>(height) > largest;
}

// Whether a picture described by `structure`, too large to convert, is made
// RGBA at half its size: its format and size are fixed, RgbaConverter halves
// it, and the half still has `largest` pixels.
bool halvedToConvert(const GstStructure* structure, guint64 largest) {
    const char* format = gst_structure_get_string(structure, "format");
    gint width = 0;
    gint height = 0;
    if (format == nullptr || !gst_structure_get_int(structure, "width", &width) ||
        !gst_structure_get_int(structure, "height", &height)) {
        return false;
    }
    const GstVideoFormat videoFormat = gst_video_format_from_string(format);
    GstVideoInfo info;
    gst_video_info_init(&info);
    if (videoFormat == GST_VIDEO_FORMAT_UNKNOWN || width < 2 || height < 2 ||
        !gst_video_info_set_format(&info, videoFormat, static_cast<guint>(width),
                                   static_cast<guint>(height))) {
        return false;
    }
    return RgbaConverter::halves(info) &&
           static_cast<guint64>(width / 2) * static_cast<guint64>(height / 2) >= largest;
}

// `structure` with its fixed width and height multiplied by `numerator` and
// divided by `denominator`; a copy as it is where they are not fixed.
GstStructure* scaledCopy(const GstStructure* structure, int numerator, int denominator) {
    GstStructure* copy = gst_structure_copy(structure);
    gint width = 0;
    gint height = 0;
    if (gst_structure_get_int(structure, "width", &width) &&
        gst_structure_get_int(structure, "height", &height)) {
        gst_structure_set(copy, "width", G_TYPE_INT, width * numerator / denominator, "height",
                          G_TYPE_INT, height * numerator / denominator, nullptr);
    }
    return copy;
}

GstCaps* transformCaps(GstBaseTransform* element, GstPadDirection direction, GstCaps* caps,
                       GstCaps* filter) {
    static const std::string& formats = *new std::string(sinkFormats());  // as formatsConverted()
    const guint64 largest = reinterpret_cast<BwRgbaConvert*>(element)->largest;
    GstCaps* result = gst_caps_new_empty();
    const auto asRgba = [](GstStructure* structure) {
        gst_structure_remove_fields(structure, "format", "colorimetry", "chroma-site", nullptr);
        gst_structure_set(structure, "format", G_TYPE_STRING, "RGBA", nullptr);
        return structure;
    };
    const auto asConverted = [](GstStructure* structure) {
        gst_structure_remove_fields(structure, "format", "colorimetry", "chroma-site", nullptr);
        GValue list = G_VALUE_INIT;
        g_value_init(&list, GST_TYPE_LIST);
        gst_value_deserialize(&list, formats.c_str());
        gst_structure_take_value(structure, "format", &list);
        return structure;
    };
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* given = gst_caps_get_structure(caps, i);
        if (direction == GST_PAD_SINK) {
            // Large: RGBA at half its size, else passed through as it is, in
            // preference to RGBA at its own.
            if (tooLargeToConvert(given, largest)) {
                if (halvedToConvert(given, largest))
                    result = gst_caps_merge_structure(result, asRgba(scaledCopy(given, 1, 2)));
                result = gst_caps_merge_structure(result, gst_structure_copy(given));
            }
            result = gst_caps_merge_structure(result, asRgba(gst_structure_copy(given)));
        } else {
            result = gst_caps_merge_structure(result, asConverted(gst_structure_copy(given)));
            // RGBA of a size may be the half of a picture twice that size.
            if (largest > 0)
                result = gst_caps_merge_structure(result, asConverted(scaledCopy(given, 2, 1)));
        }
    }
    if (filter != nullptr) {
        GstCaps* filtered = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = filtered;
    }
    return result;
}

gboolean setInfo(GstVideoFilter* filter, GstCaps*, GstVideoInfo* inInfo, GstCaps*,
                 GstVideoInfo* outInfo) {
    auto* self = reinterpret_cast<BwRgbaConvert*>(filter);
    delete self->converter;
    self->converter = nullptr;
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(inInfo);
    const bool asItIs = format == GST_VIDEO_INFO_FORMAT(outInfo);
    const int width = GST_VIDEO_INFO_WIDTH(inInfo);
    const int height = GST_VIDEO_INFO_HEIGHT(inInfo);
    const bool sameSize =
        width == GST_VIDEO_INFO_WIDTH(outInfo) && height == GST_VIDEO_INFO_HEIGHT(outInfo);
    const bool halved = !asItIs && RgbaConverter::halves(*inInfo) &&
                        width / 2 == GST_VIDEO_INFO_WIDTH(outInfo) &&
                        height / 2 == GST_VIDEO_INFO_HEIGHT(outInfo);
    if ((!sameSize && !halved) ||
        (!asItIs && GST_VIDEO_INFO_FORMAT(outInfo) != GST_VIDEO_FORMAT_RGBA)) {
        return FALSE;
    }
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), asItIs);
    if (asItIs) return TRUE;
    if (!RgbaConverter::converts(format)) return FALSE;
    self->converter = new RgbaConverter(*inInfo, halved);
    return TRUE;
}

GstFlowReturn transformFrame(GstVideoFilter* filter, GstVideoFrame* in, GstVideoFrame* out) {
    auto* self = reinterpret_cast<BwRgbaConvert*>(filter);
    if (self->converter == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    self->converter->convert(*in, *out);
    return GST_FLOW_OK;
}

void finalize(GObject* object) {
    auto* self = reinterpret_cast<BwRgbaConvert*>(object);
    delete self->converter;
    self->converter = nullptr;
    parentClass->finalize(object);
}

void classInit(gpointer klass, gpointer) {
    parentClass = static_cast<GObjectClass*>(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = finalize;
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    const std::string sink = "video/x-raw, format=(string)" + sinkFormats();
    gst_element_class_add_pad_template(element,
                                       gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                                                            gst_caps_from_string(sink.c_str())));
    gst_element_class_add_pad_template(element,
                                       gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                                                            gst_caps_from_string(sink.c_str())));
    gst_element_class_set_static_metadata(element, "Exact RGBA converter", "Filter/Converter/Video",
                                          "Makes RGBA of YCbCr pictures to their exact colours",
                                          "Beamwright");
    GstBaseTransformClass* transform = GST_BASE_TRANSFORM_CLASS(klass);
    transform->transform_caps = transformCaps;
    transform->passthrough_on_same_caps = TRUE;
    GstVideoFilterClass* video = GST_VIDEO_FILTER_CLASS(klass);
    video->set_info = setInfo;
    video->transform_frame = transformFrame;
}

void instanceInit(GTypeInstance* instance, gpointer) {
    reinterpret_cast<BwRgbaConvert*>(instance)->converter = nullptr;
    reinterpret_cast<BwRgbaConvert*>(instance)->largest = 0;
}

GType elementType() {
    static const GType type = g_type_register_static_simple(
        GST_TYPE_VIDEO_FILTER, "BwRgbaConvert", sizeof(BwRgbaConvertClass), classInit,
        sizeof(BwRgbaConvert), instanceInit, GTypeFlags{});
    return type;
}

}  // namespace

GstElement* RgbaConverter::makeElement(std::uint64_t largest) {
    static std::once_flag once;
    std::call_once(
        once, [] { gst_element_register(nullptr, "bwrgbaconvert", GST_RANK_NONE, elementType()); });
    GstElement* element = gst_element_factory_make("bwrgbaconvert", nullptr);
    if (element != nullptr) reinterpret_cast<BwRgbaConvert*>(element)->largest = largest;
    return element;
}

}  // namespace bw
