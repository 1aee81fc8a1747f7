#pragma once

#include <array>
#include <cstdint>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstVideoFrame GstVideoFrame;
typedef struct _GstVideoInfo GstVideoInfo;

namespace bw {

// Makes 8-bit RGBA (straight alpha) of a decoded YCbCr picture on the CPU, to
// the nearest of 255 steps of its exact colours: the picture's colour matrix,
// range and bit depth are those VideoFrameUpload::colourMatrix gives the
// renderer, worked in single precision and rounded once, and subsampled
// chroma is filtered as the renderer's linear sampling does (each chroma
// sample centred on the luma samples it covers), so both paths make the same
// picture. Takes the YCbCr formats VideoFrameUpload takes: 4:2:0, 4:2:2 and
// 4:4:4 YUV, planar or with interleaved chroma, 8 to 12 bits, with or without
// an alpha plane.
//
// GStreamer's own converter takes 8-bit shortcuts that leave limited-range
// pictures several steps dark (188 for 191), black and white included; this
// one is what the pipeline converts with where pictures reach the renderer
// as RGBA.
class RgbaConverter {
public:
    // Whether pictures in `format` (a GstVideoFormat) are converted.
    static bool converts(int format);

    // Whether pictures described by `info` can be made RGBA at half their
    // width and height: an even size, in a format converts() takes, with
    // chroma subsampled by at most two each way.
    static bool halves(const GstVideoInfo& info);

    // For pictures described by `info`, whose format converts() takes;
    // `halved`: made at half their width and height (halves() must hold),
    // each pixel as the renderer samples the picture at that scale: the
    // mean of the 2x2 luma (and alpha) samples it covers, and the chroma
    // there (the mean of those it covers where chroma is not subsampled).
    explicit RgbaConverter(const GstVideoInfo& info, bool halved = false);

    // The picture in `in` into `out`, an RGBA frame of the same size (half
    // of it, halved).
    void convert(const GstVideoFrame& in, GstVideoFrame& out);

    // A GStreamer element converting with it: YCbCr in the formats above to
    // RGBA, and RGBA passed through as it is. A picture of more than
    // `largest` pixels (0: no limit) is made RGBA at half its size where that
    // still has `largest` pixels and halves() holds, and otherwise passes
    // through in its YCbCr format where downstream takes that. A floating
    // reference; null where the element cannot be made.
    static GstElement* makeElement(std::uint64_t largest = 0);

private:
    // Reads row `row` of component `component`, scaled to the 8-bit
    // matrix's units, into `line`.
    void readRow(const GstVideoFrame& frame, int component, int row, float* line) const;
    // The chroma of output row `row` for `component`, filtered to full width.
    void chromaRow(const GstVideoFrame& frame, int component, int row, float* line);
    // Halved: the luma (or alpha) and the chroma of output row `row`.
    void halvedRow(const GstVideoFrame& frame, int component, int row, float* line);
    void halvedChromaRow(const GstVideoFrame& frame, int component, int row, float* line);

    // Rows (R, G, B, A) of the matrix taking (Y, Cb, Cr, 1) samples as read
    // to 0..255, and the alpha sample's gain.
    std::array<float, 12> matrix_{};
    float alphaGain_ = 0.0F;
    bool hasAlpha_ = false;
    int width_ = 0;
    int height_ = 0;
    int chromaWidth_ = 0;
    int chromaHeight_ = 0;
    int horizontalShift_ = 0;  // log2 of the chroma's horizontal subsampling
    int verticalShift_ = 0;
    bool wide_ = false;  // 16-bit samples
    bool halved_ = false;
    int outWidth_ = 0;  // the RGBA picture's size
    int outHeight_ = 0;
    // One row each: luma, the two chroma rows being blended, the blended
    // chroma at chroma width, and each chroma component and alpha at the
    // output's width. Halved, also the two full-width rows read for each
    // row made.
    std::vector<float> luma_, chromaAbove_, chromaBelow_, chromaBlended_, cb_, cr_, alpha_;
    std::vector<float> upper_, lower_;
};

}  // namespace bw
