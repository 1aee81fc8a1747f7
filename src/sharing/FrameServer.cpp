#include "sharing/FrameServer.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "sharing/FrameFeed.h"
#include "sharing/PipeWireConnection.h"
#include "sharing/VideoSourceStream.h"

namespace bw {

namespace {

std::uint32_t dimension(int value) {
    return static_cast<std::uint32_t>(std::max(value, 1));
}

// Makes `texture` an RGBA texture of `size`, with `framebuffer` drawing into
// it, unless it already is one (`made` holds the size it was made at).
void renderTarget(GlTexture& texture, GlFramebuffer& framebuffer, PixelSize& made, PixelSize size) {
    if (texture && made == size) return;
    texture = GlTexture::create();
    glBindTexture(GL_TEXTURE_2D, texture.get());
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, size.width, size.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    framebuffer = GlFramebuffer::create();
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer.get());
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture.get(), 0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    made = size;
}

}  // namespace

FrameServer::FrameServer(std::string name, PixelSize size)
    : FrameServer(std::move(name), size, PipeWireConnection::shared()) {}

FrameServer::FrameServer(std::string name, PixelSize size, PipeWireConnection& connection)
    : width_(dimension(size.width)), height_(dimension(size.height)) {
    stream_ = std::make_unique<VideoSourceStream>(connection, std::move(name), width_.load(),
                                                  height_.load());
}

FrameServer::~FrameServer() = default;

std::string FrameServer::name() const {
    return stream_->requestedName();
}

std::string FrameServer::publishedName() const {
    return stream_->publishedName();
}

void FrameServer::setName(std::string name) {
    stream_->rename(std::move(name));
    resend_.store(true);
}

void FrameServer::setSize(PixelSize size) {
    const std::uint32_t width = dimension(size.width);
    const std::uint32_t height = dimension(size.height);
    if (width == width_.load() && height == height_.load()) {
        return;
    }
    width_.store(width);
    height_.store(height);
    stream_->resize(width, height);
    resend_.store(true);
}

PixelSize FrameServer::size() const {
    return PixelSize{static_cast<int>(width_.load()), static_cast<int>(height_.load())};
}

GLuint FrameServer::normalised(GpuBuffer& frame, PixelSize size) {
    renderTarget(scaledTexture_, scaledFramebuffer_, scaledSize_, size);
    // Stored row 0 is the picture's top in both buffers; a flipped frame
    // stores its top row last, so its rows are read in reverse.
    const PixelRect region = frame.srcRect();
    const GLint top = frame.flipped() ? region.y + region.height : region.y;
    const GLint bottom = frame.flipped() ? region.y : region.y + region.height;
    glBindFramebuffer(GL_READ_FRAMEBUFFER, frame.framebuffer());
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, scaledFramebuffer_.get());
    glBlitFramebuffer(region.x, top, region.x + region.width, bottom, 0, 0, size.width, size.height,
                      GL_COLOR_BUFFER_BIT, GL_LINEAR);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    return scaledFramebuffer_.get();
}

void FrameServer::publishFrame(GpuBuffer& frame, bool changed, std::uint64_t displayTime) {
    const PixelSize size = this->size();
    const bool asIs = frame.size() == size && !frame.flipped() &&
                      frame.srcRect() == PixelRect{0, 0, size.width, size.height};
    const bool streaming = stream_->isStreaming();
    const bool consumerCame = streaming && !wasStreaming_;
    wasStreaming_ = streaming;
    if (changed || consumerCame || resend_.exchange(false)) sendsOwed_ = kSendsPerChange;
    const bool captureWaits = captureWanted_.load();
    const bool wanted = streaming || captureWaits || feedsWanted_.load();
    const auto now = std::chrono::steady_clock::now();
    const bool due = sendsOwed_ > 0 || captureWaits || now - lastSent_ >= kKeepAliveInterval;
    if (!wanted || !due) {
        // Nobody to take it, or nothing new for them: the pixels stay on the
        // GPU. The preview keeps its own pace.
        if (previewWanted_.load())
            makePreview(asIs ? frame.framebuffer() : normalised(frame, size), size);
        return;
    }
    if (sendsOwed_ > 0) --sendsOwed_;
    lastSent_ = now;
    const GLuint framebuffer = asIs ? frame.framebuffer() : normalised(frame, size);
    const std::optional<PixelReadback::Mapped> mapped = readback_.readAndMap(framebuffer, size);
    // A late readback hands out the pixels of the call before, shown then.
    const std::uint64_t shownAt = mapped && !mapped->newest ? readbackDisplayTime_ : displayTime;
    readbackDisplayTime_ = displayTime;
    if (!mapped) {
        return;
    }
    // This tick's own pixels are out: the frame owed for a late readback is
    // not, or a consumer and the windows would take every change twice.
    if (mapped->newest) sendsOwed_ = 0;
    stream_->pushFrame(mapped->rgba, mapped->stride, static_cast<std::uint32_t>(mapped->size.width),
                       static_cast<std::uint32_t>(mapped->size.height));

    if (captureWanted_.exchange(false)) {
        std::vector<std::promise<FramePixels>> captures;
        {
            std::lock_guard lock(captureMutex_);
            captures.swap(captures_);
        }
        const std::size_t bytes = mapped->stride * static_cast<std::size_t>(mapped->size.height);
        for (std::promise<FramePixels>& capture : captures) {
            capture.set_value(FramePixels{
                mapped->size, std::vector<std::uint8_t>(mapped->rgba, mapped->rgba + bytes)});
        }
    }
    if (feedsWanted_.load()) {
        std::vector<std::shared_ptr<FrameFeed>> feeds;
        {
            std::lock_guard lock(feedsMutex_);
            feeds = feeds_;
        }
        for (const std::shared_ptr<FrameFeed>& feed : feeds)
            feed->put(mapped->rgba, mapped->stride, mapped->size, shownAt);
    }
    readback_.unmap();
    makePreview(framebuffer, size);
}

void FrameServer::addFeed(std::shared_ptr<FrameFeed> feed) {
    std::lock_guard lock(feedsMutex_);
    if (std::find(feeds_.begin(), feeds_.end(), feed) == feeds_.end())
        feeds_.push_back(std::move(feed));
    feedsWanted_.store(!feeds_.empty());
    resend_.store(true);
}

void FrameServer::removeFeed(const FrameFeed* feed) {
    std::lock_guard lock(feedsMutex_);
    std::erase_if(feeds_, [feed](const auto& held) { return held.get() == feed; });
    feedsWanted_.store(!feeds_.empty());
}

PixelSize FrameServer::fitting(PixelSize frame, PixelSize bounds) {
    // Never larger than the frame itself.
    const double scale =
        std::min({1.0, static_cast<double>(bounds.width) / std::max(frame.width, 1),
                  static_cast<double>(bounds.height) / std::max(frame.height, 1)});
    return PixelSize{std::max(1, static_cast<int>(std::lround(frame.width * scale))),
                     std::max(1, static_cast<int>(std::lround(frame.height * scale)))};
}

void FrameServer::startPreview(PixelSize bounds, double rate) {
    std::lock_guard lock(previewMutex_);
    previewBounds_ = PixelSize{std::max(bounds.width, 1), std::max(bounds.height, 1)};
    previewInterval_ =
        std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / std::clamp(rate, 0.1, 1000.0)));
    previewWanted_.store(true);
}

void FrameServer::stopPreview() {
    std::lock_guard lock(previewMutex_);
    previewBounds_.reset();
    preview_.reset();
    previewWanted_.store(false);
}

std::shared_ptr<const FramePixels> FrameServer::preview() const {
    std::lock_guard lock(previewMutex_);
    return preview_;
}

void FrameServer::makePreview(GLuint framebuffer, PixelSize size) {
    if (!previewWanted_.load()) return;
    PixelSize bounds;
    std::chrono::nanoseconds interval;
    {
        std::lock_guard lock(previewMutex_);
        if (!previewBounds_) return;
        bounds = *previewBounds_;
        interval = previewInterval_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (previewsMade_.load() > 0 && now - lastPreview_ < interval) return;

    const PixelSize small = fitting(size, bounds);
    renderTarget(previewTexture_, previewFramebuffer_, previewSize_, small);
    // Scaled on the GPU: only the small picture is read back.
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, previewFramebuffer_.get());
    glBlitFramebuffer(0, 0, size.width, size.height, 0, 0, small.width, small.height,
                      GL_COLOR_BUFFER_BIT, GL_LINEAR);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    const std::optional<PixelReadback::Mapped> mapped =
        previewReadback_.readAndMap(previewFramebuffer_.get(), small);
    if (!mapped) return;
    auto picture = std::make_shared<FramePixels>();
    picture->size = mapped->size;
    picture->rgba.resize(static_cast<std::size_t>(mapped->size.width) * 4 *
                         static_cast<std::size_t>(mapped->size.height));
    const std::size_t row = static_cast<std::size_t>(mapped->size.width) * 4;
    for (int y = 0; y < mapped->size.height; ++y) {
        std::copy_n(mapped->rgba + static_cast<std::size_t>(y) * mapped->stride, row,
                    picture->rgba.data() + static_cast<std::size_t>(y) * row);
    }
    previewReadback_.unmap();
    lastPreview_ = now;
    {
        std::lock_guard lock(previewMutex_);
        if (previewBounds_) preview_ = std::move(picture);
    }
    previewsMade_.fetch_add(1, std::memory_order_relaxed);
}

std::future<FramePixels> FrameServer::captureFrame() {
    std::lock_guard lock(captureMutex_);
    captures_.emplace_back();
    captureWanted_.store(true);
    return captures_.back().get_future();
}

std::uint64_t FrameServer::framesPublished() const {
    return stream_->framesPublished();
}

std::uint64_t FrameServer::framesDropped() const {
    return stream_->framesDropped() + readback_.framesNotReady();
}

}  // namespace bw
