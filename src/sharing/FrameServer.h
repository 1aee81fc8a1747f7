#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "render/GlObject.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"
#include "sharing/FramePixels.h"
#include "sharing/PixelReadback.h"

namespace bw {

class FrameFeed;
class PipeWireConnection;
class VideoSourceStream;

// Shares one output's frames with other video software on the machine: a
// PipeWire video source node named after the output, BGRA at the output's
// size. Each tick the render thread hands it the output's frame; the pixels
// come back from the GPU through pixel-buffer objects (at once where the GPU
// has finished the copy, else one refresh late) and go to the node without
// ever waiting: when no consumer has a buffer free
// (or no daemon runs) the frame is dropped. Tests read frames in-process
// through captureFrame; the window's preview takes small pictures of them,
// scaled down on the GPU before they leave the render thread.
//
// Threads: construction, setName and setSize on the main thread (or the show
// loader); publishFrame on the render thread; captureFrame and the accessors
// on any thread. GL resources are made at the first publish.
class FrameServer {
public:
    // A server on the process's PipeWire connection, or on `connection`.
    FrameServer(std::string name, PixelSize size);
    FrameServer(std::string name, PixelSize size, PipeWireConnection& connection);
    ~FrameServer();
    FrameServer(const FrameServer&) = delete;
    FrameServer& operator=(const FrameServer&) = delete;

    // The name asked for, and the one the node carries (a unique variant when
    // another output already publishes under the same name).
    std::string name() const;
    std::string publishedName() const;
    // Publishes under `name` from now on. Consumers find the node under the
    // new name; ones linked to the old node have to link again.
    void setName(std::string name);
    // Publishes frames of `size` from now on.
    void setSize(PixelSize size);
    PixelSize size() const;

    // Render thread: publishes `frame`. A frame of another size than the
    // server's, flipped, or valid only in part is first scaled upright onto
    // the server's size.
    //
    // Work only on change: `changed` false says `frame` shows what the last
    // one did. Then nothing is read back, sent or put into a feed, unless a
    // consumer has just linked, a feed was added, the name or size changed,
    // a capture waits, or kKeepAliveInterval has passed since the last
    // frame went out (a consumer that linked unseen, or lost a buffer, has a
    // picture within it). Pixels are read back only while a consumer
    // streams, a feed is attached or a capture waits. After each change one
    // frame goes out, and a second where the readback handed out the
    // previous one (a GPU not done yet), so that the change still arrives.
    //
    // `displayTime` (0: unknown) is when `frame` is on screen; feeds get it
    // with the pixels it belongs to, a late readback's included.
    void publishFrame(GpuBuffer& frame, bool changed = true, std::uint64_t displayTime = 0);
    static constexpr std::chrono::seconds kKeepAliveInterval{1};

    // Any thread: the next frame this server publishes, as its pixels. The
    // future is fulfilled on the render thread when that frame goes out, and
    // broken if the server dies first.
    std::future<FramePixels> captureFrame();

    // Any thread: from now on, a small picture of the published frames, scaled
    // on the GPU to fit `bounds` with their proportions kept, made at most
    // `rate` times a second, for a window to show. stopPreview() ends it and
    // drops the last picture.
    void startPreview(PixelSize bounds, double rate);
    void stopPreview();
    // Any thread: the newest preview picture; null before the first.
    std::shared_ptr<const FramePixels> preview() const;
    // Preview pictures made so far.
    std::uint64_t previewsMade() const { return previewsMade_.load(std::memory_order_relaxed); }
    // The largest size of `frame` that fits in `bounds` with the same
    // proportions, never larger than `frame`, at least 1x1.
    static PixelSize fitting(PixelSize frame, PixelSize bounds);

    // Any thread: from the next published frame on, each published frame is
    // also put into `feed` (an output window shows them), until removeFeed.
    void addFeed(std::shared_ptr<FrameFeed> feed);
    void removeFeed(const FrameFeed* feed);

    // Frames handed to the node, and frames dropped (no consumer buffer
    // free, no daemon, the GPU still copying, a rename or resize in between).
    std::uint64_t framesPublished() const;
    std::uint64_t framesDropped() const;

private:
    GLuint normalised(GpuBuffer& frame, PixelSize size);
    // Render thread: makes a preview of `framebuffer` (of `size`) when one is
    // wanted and due.
    void makePreview(GLuint framebuffer, PixelSize size);

    std::unique_ptr<VideoSourceStream> stream_;
    std::atomic<std::uint32_t> width_;
    std::atomic<std::uint32_t> height_;
    // Render thread only.
    static constexpr int kSendsPerChange = 2;
    bool wasStreaming_ = false;
    int sendsOwed_ = 0;
    std::chrono::steady_clock::time_point lastSent_;
    PixelReadback readback_;
    std::uint64_t readbackDisplayTime_ = 0;  // of the pixels read last
    GlTexture scaledTexture_;
    GlFramebuffer scaledFramebuffer_;
    PixelSize scaledSize_;
    std::mutex captureMutex_;
    // Guarded by captureMutex_.
    std::vector<std::promise<FramePixels>> captures_;
    std::atomic<bool> captureWanted_ = false;

    mutable std::mutex feedsMutex_;
    // Guarded by feedsMutex_.
    std::vector<std::shared_ptr<FrameFeed>> feeds_;
    std::atomic<bool> feedsWanted_ = false;
    // A frame is owed whatever the last one showed (a feed added, a rename
    // or a resize).
    std::atomic<bool> resend_ = false;

    // The preview: asked for on any thread, made on the render thread.
    mutable std::mutex previewMutex_;
    // Guarded by previewMutex_.
    std::optional<PixelSize> previewBounds_;
    std::chrono::nanoseconds previewInterval_{};
    std::shared_ptr<const FramePixels> preview_;
    std::atomic<bool> previewWanted_ = false;
    std::atomic<std::uint64_t> previewsMade_ = 0;
    // Render thread only.
    std::chrono::steady_clock::time_point lastPreview_;
    PixelReadback previewReadback_;
    GlTexture previewTexture_;
    GlFramebuffer previewFramebuffer_;
    PixelSize previewSize_;
};

}  // namespace bw
