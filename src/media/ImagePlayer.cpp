#include "media/ImagePlayer.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "media/PicturePlacement.h"
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
    // The Loop box as the player was made; read once by the decode.
    std::atomic<bool> loopedAtStart{false};
    PixelSize size;
    // Premultiplied RGBA, top row first, rows packed; empty when decoding
    // failed or the picture moves.
    std::vector<std::uint8_t> rgba;
    // A moving picture, its first frames decoded.
    std::shared_ptr<Animation> animation;
};

namespace {

// The largest zoom the motion reaches: its smallest crop is this many times
// smaller than the picture, each way.
constexpr double kZoom = 1.0 / KenBurnsMotion::kMinScale;

struct DecodeRequest {
    PixelSize outputSize;
    double zoom = 1.0;
    int maxTextureSize = 1;
};

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

// The factor (at most 1) that brings a picture shown `picture` pixels large
// down to what `request` needs: the output's width and height times the
// zoom, each way, since an output stretches its picture over its whole frame.
double neededScale(PixelSize picture, const DecodeRequest& request) {
    if (request.outputSize.isEmpty() || picture.isEmpty()) return 1.0;
    return std::min(
        1.0,
        request.zoom * std::max(static_cast<double>(request.outputSize.width) / picture.width,
                                static_cast<double>(request.outputSize.height) / picture.height));
}

// Rounded up, so that the output's own side is never a pixel short; the
// allowance keeps a product that lands a hair above a whole number from
// gaining a pixel.
PixelSize scaledSize(PixelSize size, double factor) {
    if (factor >= 1.0) return size;
    const auto side = [factor](int length) {
        return std::max(1, static_cast<int>(std::ceil(length * factor - 1e-6)));
    };
    return {side(size.width), side(size.height)};
}

// Called once the loader knows the stored size, before any pixel is decoded.
// The orientation tag is not known yet, so the request must hold whichever way
// the picture turns. It asks for a whole power-of-two reduction: the JPEG
// decoder then decodes at exactly that size, skipping most of the work (other
// formats decode whole and the loader scales them once); the exact size
// follows once the picture is upright.
void onSizePrepared(GdkPixbufLoader* loader, gint width, gint height, gpointer data) {
    const auto& request = *static_cast<const DecodeRequest*>(data);
    const PixelSize stored{width, height};
    const double needed =
        std::max(neededScale(stored, request), neededScale(PixelSize{height, width}, request));
    int reduction = 1;
    while (reduction < 8 && 1.0 / (reduction * 2) >= needed) {
        reduction *= 2;
    }
    if (reduction > 1) {
        gdk_pixbuf_loader_set_size(loader, (width + reduction - 1) / reduction,
                                   (height + reduction - 1) / reduction);
    }
}

// Feeds the file to a loader in pieces, checking for cancellation between
// them. The picture as stored (possibly reduced), or none with `failure` set.
GObjectPtr<GdkPixbuf> loadReduced(const std::string& path, const DecodeRequest& request,
                                  const Operation& operation, std::string& failure) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        failure = std::string("the file cannot be opened (").append(g_strerror(errno)).append(")");
        return nullptr;
    }
    GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
    g_signal_connect_data(loader.get(), "size-prepared",
                          reinterpret_cast<GCallback>(&onSizePrepared),
                          const_cast<DecodeRequest*>(&request), nullptr, GConnectFlags{});
    std::vector<guchar> chunk(256 * 1024);
    GError* rawError = nullptr;
    bool written = true;
    while (!operation.isCancelled()) {
        const std::size_t count = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (count == 0) break;
        if (!gdk_pixbuf_loader_write(loader.get(), chunk.data(), count, &rawError)) {
            // A failed write has closed the loader already.
            written = false;
            break;
        }
    }
    // The loader must be closed before it goes, also when the load is dropped.
    if (written && !gdk_pixbuf_loader_close(loader.get(), &rawError)) {
        written = false;
    }
    GErrorPtr error(rawError);
    if (operation.isCancelled()) {
        failure = "cancelled";
        return nullptr;
    }
    GdkPixbuf* picture = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (!written || !picture) {
        failure = error ? error->message : "the image cannot be decoded";
        return nullptr;
    }
    return GObjectPtr<GdkPixbuf>(static_cast<GdkPixbuf*>(g_object_ref(picture)));
}

// Packed RGBA of `to` pixels from `from` pixels of `channels` bytes each (RGB,
// or premultiplied RGBA), one bilinear sample a pixel, as a GPU samples; alpha
// is 255 without an alpha channel. Fair down to half the size each way: below
// that it would skip source pixels.
void resample(const guint8* pixels, PixelSize from, std::size_t stride, std::size_t channels,
              PixelSize to, std::uint8_t* target) {
    // Where each target row or column samples: two source indices and the
    // weight of the second, in 1/256.
    struct Tap {
        std::size_t first;
        std::size_t second;
        std::uint32_t weight;
    };
    const auto taps = [](int fromLength, int toLength) {
        std::vector<Tap> result(static_cast<std::size_t>(toLength));
        const double step = static_cast<double>(fromLength) / toLength;
        for (int i = 0; i < toLength; ++i) {
            const double position =
                std::clamp((i + 0.5) * step - 0.5, 0.0, static_cast<double>(fromLength - 1));
            const auto first = static_cast<int>(position);
            const int second = std::min(first + 1, fromLength - 1);
            result[static_cast<std::size_t>(i)] = {
                static_cast<std::size_t>(first), static_cast<std::size_t>(second),
                static_cast<std::uint32_t>(std::lround((position - first) * 256.0))};
        }
        return result;
    };
    const std::vector<Tap> columns = taps(from.width, to.width);
    const std::vector<Tap> rows = taps(from.height, to.height);
    for (const Tap& row : rows) {
        const guint8* upper = pixels + row.first * stride;
        const guint8* lower = pixels + row.second * stride;
        for (const Tap& column : columns) {
            const std::size_t left = column.first * channels;
            const std::size_t right = column.second * channels;
            for (std::size_t c = 0; c < 4; ++c) {
                if (c == 3 && channels < 4) {
                    target[3] = 255;
                    break;
                }
                const std::uint32_t top =
                    upper[left + c] * (256 - column.weight) + upper[right + c] * column.weight;
                const std::uint32_t bottom =
                    lower[left + c] * (256 - column.weight) + lower[right + c] * column.weight;
                target[c] = static_cast<std::uint8_t>(
                    (top * (256 - row.weight) + bottom * row.weight + 32768) >> 16);
            }
            target += 4;
        }
    }
}

// `upright` at the size `request` needs, as premultiplied RGBA into `rgba`
// (whose storage is reused). False with `failure` set when it cannot be.
bool convertPicture(GdkPixbuf* upright, const DecodeRequest& request, PixelSize& size,
                    std::vector<std::uint8_t>& rgba, std::string& failure) {
    GObjectPtr<GdkPixbuf> picture(static_cast<GdkPixbuf*>(g_object_ref(upright)));
    const PixelSize decoded{gdk_pixbuf_get_width(picture.get()),
                            gdk_pixbuf_get_height(picture.get())};
    const PixelSize fitted = fittedSize(scaledSize(decoded, neededScale(decoded, request)),
                                        std::max(request.maxTextureSize, 1));
    if (fitted.width * 2 < decoded.width || fitted.height * 2 < decoded.height) {
        // Too far down for one bilinear sample a pixel: a filter that sees
        // every source pixel.
        picture.reset(gdk_pixbuf_scale_simple(picture.get(), fitted.width, fitted.height,
                                              GDK_INTERP_BILINEAR));
    }
    if (!picture || gdk_pixbuf_get_bits_per_sample(picture.get()) != 8 ||
        gdk_pixbuf_get_n_channels(picture.get()) < 3) {
        failure = "the image has an unsupported pixel layout or is too large";
        return false;
    }
    const PixelSize source{gdk_pixbuf_get_width(picture.get()),
                           gdk_pixbuf_get_height(picture.get())};
    const auto sourceWidth = static_cast<std::size_t>(source.width);
    const auto sourceHeight = static_cast<std::size_t>(source.height);
    auto stride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(picture.get()));
    const bool hasAlpha = gdk_pixbuf_get_has_alpha(picture.get()) == TRUE;
    auto channels = static_cast<std::size_t>(gdk_pixbuf_get_n_channels(picture.get()));
    const guint8* pixels = gdk_pixbuf_read_pixels(picture.get());
    const bool resampled = source != fitted;
    // Premultiplied before any resampling, so that transparent pixels lend
    // no colour to their neighbours.
    std::vector<std::uint8_t> premultiplied(resampled && hasAlpha ? sourceWidth * sourceHeight * 4
                                                                  : 0);
    std::vector<std::uint8_t>& converted = resampled ? premultiplied : rgba;
    if (!resampled) rgba.resize(sourceWidth * sourceHeight * 4);
    if (!resampled || hasAlpha) {
        for (std::size_t y = 0; y < sourceHeight; ++y) {
            const guint8* from = pixels + y * stride;
            std::uint8_t* to = converted.data() + y * sourceWidth * 4;
            for (std::size_t x = 0; x < sourceWidth; ++x, from += channels, to += 4) {
                const unsigned alpha = hasAlpha ? from[3] : 255;
                for (std::size_t c = 0; c < 3; ++c) {
                    to[c] = static_cast<std::uint8_t>((from[c] * alpha + 127) / 255);
                }
                to[3] = static_cast<std::uint8_t>(alpha);
            }
        }
        if (hasAlpha && resampled) {
            pixels = premultiplied.data();
            stride = sourceWidth * 4;
            channels = 4;
        }
    }
    if (resampled) {
        rgba.resize(static_cast<std::size_t>(fitted.width) *
                    static_cast<std::size_t>(fitted.height) * 4);
        resample(pixels, source, stride, channels, fitted, rgba.data());
    }
    size = fitted;
    return true;
}

// The middle part of `crop` (a crop of a picture whose displayed width over
// height is `pictureAspect`) that has the proportions `outputAspect`.
CropRect coveringCrop(CropRect crop, double pictureAspect, double outputAspect) {
    const double cropAspect =
        pictureAspect * (crop.right - crop.left) / std::max(crop.bottom - crop.top, 1e-6f);
    if (!(cropAspect > 0.0) || !(outputAspect > 0.0)) return crop;
    if (cropAspect > outputAspect) {
        const auto keep = static_cast<float>(outputAspect / cropAspect);
        const float trim = (crop.right - crop.left) * (1.0f - keep) / 2.0f;
        crop.left += trim;
        crop.right -= trim;
    } else {
        const auto keep = static_cast<float>(cropAspect / outputAspect);
        const float trim = (crop.bottom - crop.top) * (1.0f - keep) / 2.0f;
        crop.top += trim;
        crop.bottom -= trim;
    }
    return crop;
}

// Reads `path` upright, at the size `request` needs, as premultiplied RGBA.
// False with `failure` set when it cannot be decoded.
bool decodeImage(const std::string& path, const DecodeRequest& request, const Operation& operation,
                 PixelSize& size, std::vector<std::uint8_t>& rgba, std::string& failure) {
    GObjectPtr<GdkPixbuf> loaded = loadReduced(path, request, operation, failure);
    if (!loaded) return false;
    GObjectPtr<GdkPixbuf> picture(gdk_pixbuf_apply_embedded_orientation(loaded.get()));
    loaded.reset();
    if (!picture || operation.isCancelled()) {
        failure = "the image cannot be turned upright";
        return false;
    }
    return convertPicture(picture.get(), request, size, rgba, failure);
}

// The file's animation when it is a moving one (GIF and WebP can be); none
// for every other picture, which decodes as a still.
GObjectPtr<GdkPixbufAnimation> movingAnimation(const std::string& path) {
    // Only a plain file can be read twice (a pipe gives its bytes once).
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    GdkPixbufFormat* format = gdk_pixbuf_get_file_info(path.c_str(), nullptr, nullptr);
    if (format == nullptr) return nullptr;
    GCharPtr name(gdk_pixbuf_format_get_name(format));
    if (!name || (std::strcmp(name.get(), "gif") != 0 && std::strcmp(name.get(), "webp") != 0)) {
        return nullptr;
    }
    GError* rawError = nullptr;
    GObjectPtr<GdkPixbufAnimation> animation(
        gdk_pixbuf_animation_new_from_file(path.c_str(), &rawError));
    GErrorPtr error(rawError);
    if (!animation || gdk_pixbuf_animation_is_static_image(animation.get())) return nullptr;
    return animation;
}

// Animation times are microseconds from the animation's start; the loaders'
// iterators take them as GTimeVal from this origin (any fixed one will do).
constexpr std::int64_t kAnimationEpochSeconds = 1000000;

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
GTimeVal animationTimeVal(std::int64_t microseconds) {
    return {static_cast<glong>(kAnimationEpochSeconds + microseconds / 1000000),
            static_cast<glong>(microseconds % 1000000)};
}

GdkPixbufAnimationIter* iteratorFrom(GdkPixbufAnimation* animation, std::int64_t start) {
    const GTimeVal time = animationTimeVal(start);
    return gdk_pixbuf_animation_get_iter(animation, &time);
}

void advanceIterator(GdkPixbufAnimationIter* iterator, std::int64_t time) {
    const GTimeVal at = animationTimeVal(time);
    gdk_pixbuf_animation_iter_advance(iterator, &at);
}
G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace

struct ImagePlayer::Animation {
    // A frame of the animation, converted, and when it starts.
    struct Frame {
        std::int64_t start = 0;  // microseconds from the animation's start
        std::vector<std::uint8_t> rgba;
    };
    // Frames decoded ahead of the one shown, and converted buffers kept for
    // reuse: with the one being converted, at most kFramesAhead + kSpares + 1
    // frames of the decoded size exist at once, however long the animation.
    static constexpr std::size_t kFramesAhead = 3;
    static constexpr std::size_t kSpares = 2;
    // Loaders differ on whether a frame starts at its boundary or just after
    // it: each frame is sampled this much after its start.
    static constexpr std::int64_t kSampleOffset = 1000;
    // A frame lasts at least this long, so that a zero delay cannot spin.
    static constexpr std::int64_t kShortestFrame = 10000;

    // The refill operation's, one at a time (refilling says which runs).
    GObjectPtr<GdkPixbufAnimation> animation;
    GObjectPtr<GdkPixbufAnimationIter> iterator;
    DecodeRequest request;
    // The iterator has not moved on from its pass's first frame.
    bool freshPass = true;
    std::atomic<bool> looped{false};

    std::mutex mutex;
    // Guarded by mutex.
    std::deque<Frame> ready;
    std::vector<std::vector<std::uint8_t>> spares;
    std::int64_t nextFrameStart = 0;
    // The time the render thread last showed: a refill that falls behind
    // skips to it rather than play late.
    std::int64_t shownTime = 0;
    bool ended = false;  // the last frame is queued and holds for good
    bool refilling = false;
    PixelSize size;

    // A refill's work: decodes frames until kFramesAhead are queued or the
    // animation has ended; clears `refilling` when done.
    void fill(const Operation& operation) {
        for (;;) {
            std::int64_t start = 0;
            std::vector<std::uint8_t> rgba;
            {
                std::lock_guard lock(mutex);
                if (ready.size() >= kFramesAhead || ended || operation.isCancelled()) {
                    refilling = false;
                    return;
                }
                nextFrameStart = std::max(nextFrameStart, shownTime);
                start = nextFrameStart;
                if (!spares.empty()) {
                    rgba = std::move(spares.back());
                    spares.pop_back();
                }
            }
            advanceIterator(iterator.get(), start + kSampleOffset);
            int delay = gdk_pixbuf_animation_iter_get_delay_time(iterator.get());
            if (delay < 0 && looped.load() && !freshPass) {
                // The file's passes are over: the Loop box starts another.
                iterator.reset(iteratorFrom(animation.get(), start));
                freshPass = true;
                advanceIterator(iterator.get(), start + kSampleOffset);
                delay = gdk_pixbuf_animation_iter_get_delay_time(iterator.get());
            }
            freshPass = false;
            GdkPixbuf* picture = gdk_pixbuf_animation_iter_get_pixbuf(iterator.get());
            PixelSize frameSize;
            std::string failure;
            const bool converted =
                picture != nullptr && convertPicture(picture, request, frameSize, rgba, failure);
            std::lock_guard lock(mutex);
            if (!converted || (!size.isEmpty() && frameSize != size)) {
                // Nothing more to show: the frame shown so far stays.
                ended = true;
                refilling = false;
                return;
            }
            size = frameSize;
            ready.push_back({start, std::move(rgba)});
            if (delay < 0) {
                ended = true;
            } else {
                nextFrameStart = std::max(start + kSampleOffset + std::int64_t{delay} * 1000,
                                          start + kShortestFrame);
            }
        }
    }
};

ImagePlayer::ImagePlayer(const MediaURL& url, bool kenBurns, PixelSize outputSize)
    : ImagePlayer(url, kenBurns, outputSize, nullptr) {}

ImagePlayer::ImagePlayer(const MediaURL& url, bool kenBurns, PixelSize outputSize,
                         KenBurnsMotion::RandomSource random)
    : url_(url),
      outputSize_(outputSize),
      cropScene_(ShaderScene::cropScene()),
      maxTextureSize_(RenderContext::shared().maxTextureSize()),
      decode_(std::make_shared<Decode>()) {
    if (kenBurns) {
        if (random) {
            motion_.emplace(std::move(random));
        } else {
            motion_.emplace();
        }
    }
    // The worker holds the outcome, not the player, so that a player dropped
    // mid-decode is freed at once and the late result goes nowhere.
    operation_ = decodeQueue().addOperation(
        [decode = decode_, path = url_.path(),
         request = DecodeRequest{outputSize, kenBurns ? kZoom : 1.0, maxTextureSize_}](
            Operation& operation) {
            PixelSize size;
            std::vector<std::uint8_t> rgba;
            std::string failure;
            if (operation.isCancelled()) return;
            if (GObjectPtr<GdkPixbufAnimation> moving = movingAnimation(path)) {
                auto animation = std::make_shared<Animation>();
                animation->request = request;
                {
                    std::lock_guard lock(decode->mutex);
                    animation->looped = decode->loopedAtStart.load();
                }
                animation->iterator.reset(iteratorFrom(moving.get(), 0));
                animation->animation = std::move(moving);
                animation->refilling = true;
                animation->fill(operation);
                if (animation->ready.empty() && !operation.isCancelled()) {
                    SystemLog::shared().log("Warning: cannot show " + path +
                                            ": the animation cannot be decoded");
                }
                {
                    std::lock_guard lock(decode->mutex);
                    decode->finished = true;
                    // The Loop box may have changed while the first frames decoded.
                    animation->looped = decode->loopedAtStart.load();
                    if (!animation->ready.empty()) decode->animation = std::move(animation);
                }
                decode->finishedChanged.notify_all();
                return;
            }
            const bool decoded = decodeImage(path, request, operation, size, rgba, failure);
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
    if (refill_) refill_->cancel();
}

void ImagePlayer::setLooped(bool looped) {
    std::lock_guard lock(decode_->mutex);
    decode_->loopedAtStart.store(looped);
    if (decode_->animation) decode_->animation->looped.store(looped);
}

bool ImagePlayer::adoptState(const MediaOutputState& state) {
    const std::optional<MediaOutputState>& own = this->state();
    if (!own || state.mediaURL != own->mediaURL || state.kenBurns != own->kenBurns) return false;
    setLooped(state.looped);
    setState(state);
    return true;
}

bool ImagePlayer::animated() const {
    std::lock_guard lock(decode_->mutex);
    return decode_->animation != nullptr;
}

void ImagePlayer::showAnimationFrame(std::int64_t time) {
    Animation& animation = *animation_;
    std::optional<Animation::Frame> due;
    bool refill = false;
    {
        std::lock_guard lock(animation.mutex);
        animation.shownTime = time;
        while (!animation.ready.empty() && animation.ready.front().start <= time) {
            if (due && animation.spares.size() < Animation::kSpares) {
                animation.spares.push_back(std::move(due->rgba));
            }
            due = std::move(animation.ready.front());
            animation.ready.pop_front();
        }
        if (animation.ended && animation.ready.empty() && animation.looped.load() &&
            !animation.refilling) {
            // Looping was turned on after the last frame: again from now.
            animation.ended = false;
        }
        refill = !animation.refilling && !animation.ended &&
                 animation.ready.size() < Animation::kFramesAhead;
        if (refill) animation.refilling = true;
    }
    if (refill) {
        if (refill_) refill_->cancel();
        refill_ = decodeQueue().addOperation(
            [animation = animation_](Operation& operation) { animation->fill(operation); });
        if (!refill_) {
            std::lock_guard lock(animation.mutex);
            animation.refilling = false;
        }
    }
    if (!due) return;
    const PixelSize size = [&] {
        std::lock_guard lock(animation.mutex);
        return animation.size;
    }();
    buffer_ = GpuBufferPool::global().allocBufferWithPixels(
        due->rgba.data(), size, static_cast<std::size_t>(size.width) * 4);
    std::lock_guard lock(animation.mutex);
    if (animation.spares.size() < Animation::kSpares) {
        animation.spares.push_back(std::move(due->rgba));
    }
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
    {
        std::lock_guard lock(decode_->mutex);
        animation_ = decode_->animation;
    }
    if (animation_) {
        // The first frame, without starting the animation's time.
        showAnimationFrame(0);
        return;
    }
    if (!rgba.empty()) {
        buffer_ = GpuBufferPool::global().allocBufferWithPixels(
            rgba.data(), size, static_cast<std::size_t>(size.width) * 4);
    }
}

void ImagePlayer::warmUp() {
    uploadIfDecoded();
}

GpuBufferRef ImagePlayer::frameForTime(const DisplayTimeStamp& timeStamp) {
    uploadIfDecoded();
    if (animation_) {
        // The animation's time starts with its first frame request.
        if (!animationStart_) animationStart_ = timeStamp.hostTime;
        const std::uint64_t elapsed =
            timeStamp.hostTime > *animationStart_ ? timeStamp.hostTime - *animationStart_ : 0;
        showAnimationFrame(static_cast<std::int64_t>(elapsed / 1000));
    }
    if (!buffer_ || !motion_) return buffer_;
    // The crop keeps the still's proportions, and the output places it by
    // its fit: stretched over the output at the output's size, whole inside
    // it at the size it covers there, or, to fill the output, narrowed to
    // the output's proportions and drawn at its size.
    CropRect crop = motion_->advance();
    PixelSize size = outputSize_.isEmpty() ? buffer_->size() : outputSize_;
    if (!outputSize_.isEmpty()) {
        const double aspect = PicturePlacement::storedAspect(*buffer_);
        const PictureFit placement = fit();
        if (placement == PictureFit::Fit) {
            size = PicturePlacement::placedSize(aspect, outputSize_, placement, maxTextureSize_);
        } else if (placement == PictureFit::Fill) {
            crop = coveringCrop(crop, aspect,
                                static_cast<double>(outputSize_.width) / outputSize_.height);
        }
    }
    cropScene_.setValue("inputImage", buffer_);
    cropScene_.setValue("left", static_cast<double>(crop.left));
    cropScene_.setValue("right", static_cast<double>(crop.right));
    cropScene_.setValue("top", static_cast<double>(crop.top));
    cropScene_.setValue("bottom", static_cast<double>(crop.bottom));
    GpuBufferRef rendered = cropScene_.allocAndRenderToBufferSized(size);
    // The shared scene must not keep this player's picture alive.
    cropScene_.setValue("inputImage", GpuBufferRef());
    if (rendered) rendered->setFlipped(buffer_->flipped());
    return rendered;
}

}  // namespace bw
