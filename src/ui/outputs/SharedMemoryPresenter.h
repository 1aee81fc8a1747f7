#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <string>

#include "render/PixelSize.h"

namespace bw {

struct FramePixels;

// Puts frames into an X11 window through a shared-memory image (MIT-SHM):
// each frame is written once, as the window's pixel format wants it, into a
// segment the X server reads from. For a window whose GL draws on the CPU,
// where a frame drawn with GL costs an upload, a textured draw and a copy of
// the back buffer into the server; this costs one pass over the pixels.
// Frames of the window's own size only: nothing is scaled.
//
// Only for TrueColor visuals of 24 or 32 bits with 8-bit red, green and blue
// at the usual places; alpha is dropped, as an opaque window shows a
// premultiplied frame over black.
//
// One thread at a time; XCB itself takes calls from any thread.
class SharedMemoryPresenter {
public:
    // For `window` on `connection`, with frames of `size`. Null, with the
    // reason in `whyNot`, where the server has no shared memory for this
    // client, the window's visual is not one taken, or a segment cannot be
    // made.
    static std::unique_ptr<SharedMemoryPresenter> create(xcb_connection_t* connection,
                                                         xcb_window_t window, PixelSize size,
                                                         std::string& whyNot);
    ~SharedMemoryPresenter();
    SharedMemoryPresenter(const SharedMemoryPresenter&) = delete;
    SharedMemoryPresenter& operator=(const SharedMemoryPresenter&) = delete;

    PixelSize size() const { return size_; }

    // Puts `frame` (of size()) into the window and waits until the server has
    // read it, so that the next frame may be written. False, and nothing
    // put, where the frame is not of size(); false where the server refused
    // it (the window gone, the connection lost).
    bool present(const FramePixels& frame);

private:
    SharedMemoryPresenter(xcb_connection_t* connection, xcb_window_t window, PixelSize size,
                          std::uint8_t depth);

    xcb_connection_t* const connection_;
    const xcb_window_t window_;
    const PixelSize size_;
    const std::uint8_t depth_;
    int segmentId_ = -1;
    std::uint8_t* pixels_ = nullptr;  // attached here, size_ rows of width * 4 bytes
    std::uint32_t segment_ = 0;       // the server's name for it; 0 until attached
    std::uint32_t context_ = 0;       // the graphics context put with
};

}  // namespace bw
