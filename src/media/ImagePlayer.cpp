#include "media/ImagePlayer.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/GLibHandle.h"
#include "platform/OperationQueue.h"
#include "platform/SystemLog.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"

namespace bw {

struct ImagePlayer::Decode {
    mutable std::mutex mutex;
    mutable std::condition_variable finishedChanged;
    // Guarded by mutex.
    bool finished = false;
    PixelSize size;
    // Premultiplied RGBA, top row first, rows packed; empty when decoding failed.
    std::vector<std::uint8_t> rgba;
};

namespace {

// Decodes run here, two at a time, so that a show's images do not queue
// behind one large file.
OperationQueue& decodeQueue() {
    static OperationQueue queue(2);
    return queue;
}

// A picture within `limit` pixels each way, keeping its proportions.
PixelSize fittedSize(PixelSize size, int limit) {
    if (size.width <= limit && size.height <= limit) return size;
    const double factor =
        std::min(static_cast<double>(limit) / size.width, static_cast<double>(limit) / size.height);
    return {std::clamp(static_cast<int>(size.width * factor + 0.5), 1, limit),
            std::clamp(static_cast<int>(size.height * factor + 0.5), 1, limit)};
}

// Reads `path` upright, within `maxSize` pixels each way, as premultiplied
// RGBA. False with `failure` set when it cannot be decoded.
bool decodeImage(const std::string& path, int maxSize, const Operation& operation, PixelSize& size,
                 std::vector<std::uint8_t>& rgba, std::string& failure) {
    GError* rawError = nullptr;
    GObjectPtr<GdkPixbuf> loaded(gdk_pixbuf_new_from_file(path.c_str(), &rawError));
    GErrorPtr error(rawError);
    if (!loaded) {
        failure = error ? error->message : "the image cannot be decoded";
        return false;
    }
    GObjectPtr<GdkPixbuf> picture(gdk_pixbuf_apply_embedded_orientation(loaded.get()));
    loaded.reset();
    if (!picture || operation.isCancelled()) {
        failure = "the image cannot be turned upright";
        return false;
    }
    const PixelSize decoded{gdk_pixbuf_get_width(picture.get()),
                            gdk_pixbuf_get_height(picture.get())};
    const PixelSize fitted = fittedSize(decoded, std::max(maxSize, 1));
    if (fitted != decoded) {
        picture.reset(
            gdk_pixbuf_scale_simple(picture.get(), fitted.width, fitted.height, GDK_INTERP_HYPER));
    }
    if (!picture || gdk_pixbuf_get_bits_per_sample(picture.get()) != 8 ||
        gdk_pixbuf_get_n_channels(picture.get()) < 3) {
        failure = "the image has an unsupported pixel layout or is too large";
        return false;
    }
    size = fitted;
    const auto width = static_cast<std::size_t>(size.width);
    const auto height = static_cast<std::size_t>(size.height);
    const auto stride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(picture.get()));
    const bool hasAlpha = gdk_pixbuf_get_has_alpha(picture.get()) == TRUE;
    const auto channels = static_cast<std::size_t>(gdk_pixbuf_get_n_channels(picture.get()));
    const guint8* pixels = gdk_pixbuf_read_pixels(picture.get());
    rgba.resize(width * height * 4);
    for (std::size_t y = 0; y < height; ++y) {
        const guint8* source = pixels + y * stride;
        std::uint8_t* target = rgba.data() + y * width * 4;
        if (!hasAlpha) {
            for (std::size_t x = 0; x < width; ++x, source += channels, target += 4) {
                target[0] = source[0];
                target[1] = source[1];
                target[2] = source[2];
                target[3] = 255;
            }
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, source += channels, target += 4) {
            const unsigned alpha = source[3];
            target[0] = static_cast<std::uint8_t>((source[0] * alpha + 127) / 255);
            target[1] = static_cast<std::uint8_t>((source[1] * alpha + 127) / 255);
            target[2] = static_cast<std::uint8_t>((source[2] * alpha + 127) / 255);
            target[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return true;
}

}  // namespace

ImagePlayer::ImagePlayer(const MediaURL& url, bool kenBurns)
    : ImagePlayer(url, kenBurns, nullptr) {}

ImagePlayer::ImagePlayer(const MediaURL& url, bool kenBurns, KenBurnsMotion::RandomSource random)
    : url_(url), cropScene_(ShaderScene::cropScene()), decode_(std::make_shared<Decode>()) {
    if (kenBurns) {
        if (random) {
            motion_.emplace(std::move(random));
        } else {
            motion_.emplace();
        }
    }
    // The worker holds the outcome, not the player, so that a player dropped
    // mid-decode is freed at once and the late result goes nowhere.
    operation_ =
        decodeQueue().addOperation([decode = decode_, path = url_.path()](Operation& operation) {
            PixelSize size;
            std::vector<std::uint8_t> rgba;
            std::string failure;
            if (operation.isCancelled()) return;
            const bool decoded = decodeImage(path, RenderContext::shared().maxTextureSize(),
                                             operation, size, rgba, failure);
            if (!decoded && !operation.isCancelled()) {
                std::string line = "Warning: cannot show ";
                line.append(path).append(": ").append(failure);
                SystemLog::shared().log(line);
            }
            {
                std::lock_guard lock(decode->mutex);
                decode->finished = true;
                if (decoded) {
                    decode->size = size;
                    decode->rgba = std::move(rgba);
                }
            }
            decode->finishedChanged.notify_all();
        });
}

ImagePlayer::~ImagePlayer() {
    operation_->cancel();
}

bool ImagePlayer::waitUntilDecoded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(decode_->mutex);
    return decode_->finishedChanged.wait_for(lock, timeout, [this] { return decode_->finished; });
}

void ImagePlayer::uploadIfDecoded() {
    if (uploadDone_) return;
    PixelSize size;
    std::vector<std::uint8_t> rgba;
    {
        std::lock_guard lock(decode_->mutex);
        if (!decode_->finished) return;
        size = decode_->size;
        rgba = std::move(decode_->rgba);
    }
    uploadDone_ = true;
    if (!rgba.empty()) {
        buffer_ = GpuBufferPool::global().allocBufferWithPixels(
            rgba.data(), size, static_cast<std::size_t>(size.width) * 4);
    }
}

void ImagePlayer::warmUp() {
    uploadIfDecoded();
}

GpuBufferRef ImagePlayer::frameForTime(const DisplayTimeStamp& /*timeStamp*/) {
    uploadIfDecoded();
    if (!buffer_ || !motion_) return buffer_;
    const CropRect crop = motion_->advance();
    cropScene_.setValue("inputImage", buffer_);
    cropScene_.setValue("left", static_cast<double>(crop.left));
    cropScene_.setValue("right", static_cast<double>(crop.right));
    cropScene_.setValue("top", static_cast<double>(crop.top));
    cropScene_.setValue("bottom", static_cast<double>(crop.bottom));
    GpuBufferRef rendered = cropScene_.allocAndRenderToBufferSized(buffer_->size());
    // The shared scene must not keep this player's picture alive.
    cropScene_.setValue("inputImage", GpuBufferRef());
    if (rendered) rendered->setFlipped(buffer_->flipped());
    return rendered;
}

}  // namespace bw
