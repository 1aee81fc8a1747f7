#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sharing/PipeWireConnection.h"

namespace bw {

// One video output published as a PipeWire video source node, so that other
// video software on the machine can take its frames up. The node is named
// after the output ("node.name" and "node.description"), is of class
// "Video/Source" with role "Camera" and "application.name" "Beamwright", and
// offers BGRA or BGRx at the output's size, 60 frames per second (or variable
// up to 60), in shared-memory buffers. The stream drives the graph it is
// linked into: every pushed frame runs one graph cycle, so the render thread's
// tick is the consumers' clock.
//
// The node exists while the connection has a daemon; when the daemon goes away
// it is dropped and, once a daemon is back, published again under the same
// name (consumers have to link again).
//
// Threads: construct and destroy on any thread (destruction not concurrently
// with pushFrame()); pushFrame() on the render thread; rename() and resize()
// on the main thread; the accessors on any thread. Nothing here waits for the
// daemon or a consumer; pushFrame() takes the connection's loop lock for the
// length of one frame copy.
class VideoSourceStream : private PipeWireConnection::Client {
public:
    // Reserves a name for `requestedName` (see PipeWireConnection) and, when
    // the daemon is reachable, creates the node. `width` and `height` are in
    // pixels, both at least 1.
    VideoSourceStream(PipeWireConnection& connection, std::string requestedName,
                      std::uint32_t width, std::uint32_t height);
    ~VideoSourceStream() override;
    VideoSourceStream(const VideoSourceStream&) = delete;
    VideoSourceStream& operator=(const VideoSourceStream&) = delete;

    // Publishes one frame: width() x height() RGBA8 pixels, top row first,
    // rows `stride` bytes apart, converted to BGRA into a free buffer of the
    // stream. Returns false and counts a dropped frame when there is nowhere
    // to put it: no daemon, no consumer linked or no format agreed yet, or
    // every buffer still with the consumers.
    bool pushFrame(const std::uint8_t* rgba, std::size_t stride);
    // As above for a frame of the given size; a frame whose size is not the
    // published one (a resize in between) is dropped without being read.
    bool pushFrame(const std::uint8_t* rgba, std::size_t stride, std::uint32_t width,
                   std::uint32_t height);

    // Publishes under a name reserved for `requestedName` from now on: the
    // node is destroyed and created anew under the new name, since consumers
    // and session managers do not follow a node renamed in place.
    void rename(std::string requestedName);
    // Publishes at the new size from now on, by recreating the node (the
    // format it offers has the size fixed). Both at least 1.
    void resize(std::uint32_t width, std::uint32_t height);

    std::string publishedName() const;
    std::string requestedName() const;
    std::uint32_t width() const { return width_.load(std::memory_order_relaxed); }
    std::uint32_t height() const { return height_.load(std::memory_order_relaxed); }

    std::uint64_t framesPublished() const { return published_.load(std::memory_order_relaxed); }
    std::uint64_t framesDropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Whether a consumer is linked and streaming: frames pushed now go out.
    bool isStreaming() const { return streaming_.load(std::memory_order_acquire); }

private:
    // The PipeWire stream and the callbacks it calls.
    struct Native;

    void coreConnected(pw_core* core) override;
    void coreLost() override;
    // Loop lock held, both.
    void createStream(pw_core* core);
    void destroyStream();
    bool drop();

    PipeWireConnection& connection_;
    std::unique_ptr<Native> native_;

    mutable std::mutex nameMutex_;
    // Written under the loop lock and nameMutex_; read under either.
    std::string requestedName_;
    std::string publishedName_;

    // Written under the loop lock.
    std::atomic<std::uint32_t> width_;
    std::atomic<std::uint32_t> height_;

    std::atomic<bool> streaming_ = false;
    std::atomic<std::uint64_t> published_ = 0;
    std::atomic<std::uint64_t> dropped_ = 0;
};

}  // namespace bw
