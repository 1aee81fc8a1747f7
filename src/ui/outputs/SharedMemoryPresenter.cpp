#include "ui/outputs/SharedMemoryPresenter.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sharing/FramePixels.h"

namespace bw {

namespace {

template <typename Reply>
struct FreeReply {
    void operator()(Reply* reply) const { std::free(reply); }
};
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply<Reply>>;

// The visual `id` where it is TrueColor with 8-bit red, green and blue at
// bits 16, 8 and 0 of a 32-bit pixel; null otherwise.
const xcb_visualtype_t* takenVisual(const xcb_setup_t* setup, xcb_visualid_t id,
                                    std::uint8_t depth) {
    bool fourBytes = false;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem != 0;
         xcb_format_next(&formats)) {
        if (formats.data->depth == depth) fourBytes = formats.data->bits_per_pixel == 32;
    }
    if (!fourBytes || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return nullptr;
    for (auto screens = xcb_setup_roots_iterator(setup); screens.rem != 0;
         xcb_screen_next(&screens)) {
        for (auto depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem != 0;
             xcb_depth_next(&depths)) {
            if (depths.data->depth != depth) continue;
            for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem != 0;
                 xcb_visualtype_next(&visuals)) {
                const xcb_visualtype_t* visual = visuals.data;
                if (visual->visual_id != id) continue;
                const bool taken = visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                                   visual->red_mask == 0xFF0000U &&
                                   visual->green_mask == 0x00FF00U &&
                                   visual->blue_mask == 0x0000FFU;
                return taken ? visual : nullptr;
            }
        }
    }
    return nullptr;
}

// RGBA bytes to 32-bit pixels 0xAARRGGBB, alpha set: what a 24-bit visual
// ignores and a 32-bit one takes as opaque.
void toServerPixels(const std::uint8_t* rgba, std::size_t count, std::uint8_t* out) {
    static_assert(std::endian::native == std::endian::little);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, rgba + i * 4, sizeof pixel);
        pixel = 0xFF000000U | ((pixel & 0xFFU) << 16) | (pixel & 0xFF00U) | ((pixel >> 16) & 0xFFU);
        std::memcpy(out + i * 4, &pixel, sizeof pixel);
    }
}

}  // namespace

std::unique_ptr<SharedMemoryPresenter> SharedMemoryPresenter::create(xcb_connection_t* connection,
                                                                     xcb_window_t window,
                                                                     PixelSize size,
                                                                     std::string& whyNot) {
    if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
        whyNot = "no X11 connection";
        return nullptr;
    }
    if (size.width <= 0 || size.height <= 0) {
        whyNot = "an empty frame";
        return nullptr;
    }
    const ReplyPtr<xcb_shm_query_version_reply_t> version(
        xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
    if (!version) {
        whyNot = "the X server offers no shared memory";
        return nullptr;
    }
    const ReplyPtr<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    const ReplyPtr<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, window), nullptr));
    if (!geometry || !attributes) {
        whyNot = "the window is gone";
        return nullptr;
    }
    if (takenVisual(xcb_get_setup(connection), attributes->visual, geometry->depth) == nullptr) {
        whyNot = "the window's pixel format is not 8-bit RGB in 32 bits";
        return nullptr;
    }
    std::unique_ptr<SharedMemoryPresenter> presenter(
        new SharedMemoryPresenter(connection, window, size, geometry->depth));
    const std::size_t bytes =
        static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 4;
    presenter->segmentId_ = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (presenter->segmentId_ < 0) {
        whyNot = std::string("no shared memory segment: ") + std::strerror(errno);
        return nullptr;
    }
    void* attached = ::shmat(presenter->segmentId_, nullptr, 0);
    if (attached == reinterpret_cast<void*>(-1)) {
        whyNot = std::string("the shared memory segment does not attach: ") + std::strerror(errno);
        return nullptr;
    }
    presenter->pixels_ = static_cast<std::uint8_t*>(attached);
    const std::uint32_t segment = xcb_generate_id(connection);
    xcb_generic_error_t* error = xcb_request_check(
        connection, xcb_shm_attach_checked(connection, segment,
                                           static_cast<std::uint32_t>(presenter->segmentId_),
                                           /*read_only=*/1));
    if (error != nullptr) {
        std::free(error);
        // A server on another machine, or one that may not read this
        // process's memory.
        whyNot = "the X server cannot read this process's shared memory";
        return nullptr;
    }
    presenter->segment_ = segment;
    // Gone for good once both sides have detached, however this process ends.
    ::shmctl(presenter->segmentId_, IPC_RMID, nullptr);
    presenter->segmentId_ = -1;
    presenter->context_ = xcb_generate_id(connection);
    xcb_create_gc(connection, presenter->context_, window, 0, nullptr);
    return presenter;
}

SharedMemoryPresenter::SharedMemoryPresenter(xcb_connection_t* connection, xcb_window_t window,
                                             PixelSize size, std::uint8_t depth)
    : connection_(connection), window_(window), size_(size), depth_(depth) {}

SharedMemoryPresenter::~SharedMemoryPresenter() {
    if (context_ != 0) xcb_free_gc(connection_, context_);
    if (segment_ != 0) xcb_shm_detach(connection_, segment_);
    // Detached by the server before this process lets go of its side.
    if (context_ != 0 || segment_ != 0) {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    if (pixels_ != nullptr) ::shmdt(pixels_);
    if (segmentId_ >= 0) ::shmctl(segmentId_, IPC_RMID, nullptr);
}

bool SharedMemoryPresenter::present(const FramePixels& frame) {
    const std::size_t count =
        static_cast<std::size_t>(size_.width) * static_cast<std::size_t>(size_.height);
    if (frame.size != size_ || frame.rgba.size() < count * 4) return false;
    toServerPixels(frame.rgba.data(), count, pixels_);
    const auto width = static_cast<std::uint16_t>(size_.width);
    const auto height = static_cast<std::uint16_t>(size_.height);
    // Checked: the answer comes once the server has read the segment.
    xcb_generic_error_t* error = xcb_request_check(
        connection_,
        xcb_shm_put_image_checked(connection_, window_, context_, width, height, 0, 0, width,
                                  height, 0, 0, depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_, 0));
    if (error == nullptr) return true;
    std::free(error);
    return false;
}

}  // namespace bw
