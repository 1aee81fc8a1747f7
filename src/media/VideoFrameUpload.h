#pragma once

#include <array>
#include <vector>

#include "render/GpuBuffer.h"

typedef struct _GstBuffer GstBuffer;
typedef struct _GstCaps GstCaps;
typedef struct _GstVideoInfo GstVideoInfo;

namespace bw {

class GpuBufferPool;

// A decoded movie picture into the GPU, in the decoder's own format: each
// plane is uploaded as it is (8 or 16 bits a sample) and the buffer's
// PictureEncoding tells the scenes that sample it how to make RGB of it.
// Planar and interleaved 4:2:0, 4:2:2 and 4:4:4 YUV (8, 10 and 12 bits),
// YUV with an alpha plane, and packed RGB(A) are taken; anything else is
// converted by the pipeline to one of them first.
class VideoFrameUpload {
public:
    // The raw formats taken as they are, in system memory: caps for the
    // picture sink (the caller owns them).
    static GstCaps* decoderFormatCaps();
    // RGBA only, converted on the CPU by the pipeline: the fallback, and the
    // baseline the direct path is measured against.
    static GstCaps* rgbaCaps();
    // The YCbCr formats taken (GstVideoFormat values), in order of preference.
    static std::vector<int> ycbcrFormats();

    // Rows of the matrix that takes a YUV picture of `info` from its samples
    // as the plane textures give them (Y, Cb, Cr, 1) to (R, G, B, s), s
    // scaling the alpha plane's sample to 0..1: the colour matrix (BT.601,
    // BT.709, BT.2020 as the caps say, by picture height when they do not),
    // the range (limited or full) and the bit depth folded in.
    static std::array<float, 16> colourMatrix(const GstVideoInfo& info);

    // Render thread: the picture in `buffer`, described by `info`, in
    // buffers of `pool`; none when its format is not one of those taken or
    // it cannot be mapped or uploaded. The buffer carries the picture's pixel
    // aspect ratio (GpuBuffer::pixelAspect). `opaqueSource`: the RGBA
    // picture was converted from one without alpha, so every alpha sample is
    // full and its colours are premultiplied as they are (the mixer may then
    // hand the picture on as it is).
    static GpuBufferRef upload(GstBuffer* buffer, const GstVideoInfo& info, GpuBufferPool& pool,
                               bool opaqueSource = false);
};

}  // namespace bw
