#include "sharing/VideoSourceStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;
constexpr std::uint32_t kFramesPerSecond = 60;

// Copies `pixels` RGBA8 pixels to BGRA8: red and blue trade places, green and
// alpha stay. Written on 32-bit words so that GCC vectorises it; it costs
// about what a memcpy of the same bytes does.
void rgbaToBgra(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint32_t pixel;
        std::memcpy(&pixel, source + i * kBytesPerPixel, sizeof pixel);
        pixel = (pixel & 0xff00ff00u) | ((pixel >> 16) & 0xffu) | ((pixel & 0xffu) << 16);
        std::memcpy(destination + i * kBytesPerPixel, &pixel, sizeof pixel);
    }
}

void copyFrame(const std::uint8_t* source, std::size_t sourceStride, std::uint8_t* destination,
               std::size_t destinationStride, std::uint32_t width, std::uint32_t height) {
    const std::size_t rowBytes = std::size_t{width} * kBytesPerPixel;
    if (sourceStride == rowBytes && destinationStride == rowBytes) {
        rgbaToBgra(source, destination, std::size_t{width} * height);
        return;
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        rgbaToBgra(source + y * sourceStride, destination + y * destinationStride, width);
    }
}

std::uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// One EnumFormat: BGRA (preferred) or BGRx at exactly width x height, at 60
// frames per second or, `variableRate`, at any rate up to 60 (framerate 0/1
// with a maximum).
const spa_pod* buildFormat(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height,
                           bool variableRate) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRA);  // the default
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRA);
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRx);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&builder, width, height);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    if (!variableRate) {
        spa_pod_builder_fraction(&builder, kFramesPerSecond, 1);
    } else {
        spa_pod_builder_fraction(&builder, 0, 1);
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_maxFramerate, 0);
        spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_fraction(&builder, kFramesPerSecond, 1);  // default
        spa_pod_builder_fraction(&builder, 1, 1);                 // minimum
        spa_pod_builder_fraction(&builder, kFramesPerSecond, 1);  // maximum
        spa_pod_builder_pop(&builder, &choice);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

// Buffers of one plane, stride width*4, in shared memory (a memfd, so that the
// consumer's process can map them); 8 of them preferred, 2 to 16 accepted.
//
// Each is at least a page long: libpipewire 0.3.65 maps buffers that share a
// page with the buffer before them at the wrong offset, so that small ones
// overlap their neighbours' metadata (seen at 33x17: one byte of every few
// frames was off by one).
const spa_pod* buildBuffers(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height) {
    const auto stride = static_cast<std::int32_t>(width * kBytesPerPixel);
    const auto pageSize = static_cast<std::int32_t>(sysconf(_SC_PAGESIZE));
    const std::int32_t size = std::max(stride * static_cast<std::int32_t>(height), pageSize);
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(&builder, 4);
    spa_pod_builder_int(&builder, 2);
    spa_pod_builder_int(&builder, 16);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&builder, 1);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&builder, size);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&builder, stride);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(&builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

// A header per buffer: presentation time and sequence number of the frame.
const spa_pod* buildHeaderMeta(spa_pod_builder& builder) {
    spa_pod_frame object{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(sizeof(spa_meta_header)));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

std::string notPublishedLine(const std::string& name, const std::string& reason) {
    std::string line = "Warning: output \"";
    line += name;
    line += "\" is not published: ";
    line += reason;
    return line;
}

}  // namespace

struct VideoSourceStream::Native {
    // All guarded by the loop lock.
    pw_core* core = nullptr;  // while the connection has one
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool formatReady = false;  // a format is agreed and its buffers asked for
    std::uint32_t sequence = 0;

    static void stateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error);
    static void paramChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void addBuffer(void* data, pw_buffer* buffer);

    static const pw_stream_events events;
};

const pw_stream_events VideoSourceStream::Native::events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &Native::stateChanged;
    events.param_changed = &Native::paramChanged;
    events.add_buffer = &Native::addBuffer;
    return events;
}();

// Loop thread. The first write to each page of fresh shared memory is slow
// (on virtual machines many times a normal write): touching every buffer
// here, as it arrives, keeps that cost off the render thread's first frames.
void VideoSourceStream::Native::addBuffer(void* /*data*/, pw_buffer* buffer) {
    spa_buffer* frame = buffer->buffer;
    for (std::uint32_t i = 0; i < frame->n_datas; ++i) {
        if (frame->datas[i].data != nullptr) {
            std::memset(frame->datas[i].data, 0, frame->datas[i].maxsize);
        }
    }
}

VideoSourceStream::VideoSourceStream(PipeWireConnection& connection, std::string requestedName,
                                     std::uint32_t width, std::uint32_t height)
    : connection_(connection),
      native_(std::make_unique<Native>()),
      requestedName_(std::move(requestedName)),
      width_(std::max<std::uint32_t>(width, 1)),
      height_(std::max<std::uint32_t>(height, 1)) {
    publishedName_ = connection_.reserveName(requestedName_);
    PipeWireConnection::Lock lock(connection_);
    connection_.addClient(this);
}

VideoSourceStream::~VideoSourceStream() {
    {
        PipeWireConnection::Lock lock(connection_);
        connection_.removeClient(this);
        destroyStream();
    }
    connection_.releaseName(publishedName_);
}

std::string VideoSourceStream::publishedName() const {
    std::lock_guard lock(nameMutex_);
    return publishedName_;
}

std::string VideoSourceStream::requestedName() const {
    std::lock_guard lock(nameMutex_);
    return requestedName_;
}

void VideoSourceStream::rename(std::string requestedName) {
    PipeWireConnection::Lock lock(connection_);
    const std::string current = publishedName();
    std::string next = connection_.replaceName(current, requestedName);
    const bool changed = next != current;
    if (changed) destroyStream();
    {
        std::lock_guard nameLock(nameMutex_);
        requestedName_ = std::move(requestedName);
        publishedName_ = std::move(next);
    }
    if (changed && native_->core != nullptr) createStream(native_->core);
}

void VideoSourceStream::resize(std::uint32_t width, std::uint32_t height) {
    width = std::max<std::uint32_t>(width, 1);
    height = std::max<std::uint32_t>(height, 1);
    PipeWireConnection::Lock lock(connection_);
    if (width == width_.load(std::memory_order_relaxed) &&
        height == height_.load(std::memory_order_relaxed)) {
        return;
    }
    destroyStream();
    width_.store(width, std::memory_order_relaxed);
    height_.store(height, std::memory_order_relaxed);
    if (native_->core != nullptr) createStream(native_->core);
}

bool VideoSourceStream::pushFrame(const std::uint8_t* rgba, std::size_t stride) {
    return pushFrame(rgba, stride, width(), height());
}

bool VideoSourceStream::pushFrame(const std::uint8_t* rgba, std::size_t stride, std::uint32_t width,
                                  std::uint32_t height) {
    // Without a consumer there is nothing to do: skip the lock.
    if (!streaming_.load(std::memory_order_acquire)) return drop();

    PipeWireConnection::Lock lock(connection_);
    Native& native = *native_;
    if (native.stream == nullptr || !native.formatReady ||
        width != width_.load(std::memory_order_relaxed) ||
        height != height_.load(std::memory_order_relaxed)) {
        return drop();
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(native.stream);
    if (buffer == nullptr) return drop();  // all of them are with the consumers

    spa_buffer* frame = buffer->buffer;
    const std::size_t outStride = std::size_t{width} * kBytesPerPixel;
    const std::size_t size = outStride * height;
    if (frame->n_datas < 1 || frame->datas[0].data == nullptr || frame->datas[0].maxsize < size) {
        if (frame->n_datas >= 1) {
            frame->datas[0].chunk->size = 0;
            frame->datas[0].chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        }
        pw_stream_queue_buffer(native.stream, buffer);
        return drop();
    }
    spa_data& data = frame->datas[0];
    copyFrame(rgba, stride, static_cast<std::uint8_t*>(data.data), outStride, width, height);
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(size);
    data.chunk->stride = static_cast<std::int32_t>(outStride);
    data.chunk->flags = SPA_CHUNK_FLAG_NONE;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(frame, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = static_cast<std::int64_t>(monotonicNanoseconds());
        header->dts_offset = 0;
        header->seq = native.sequence++;
    }
    pw_stream_queue_buffer(native.stream, buffer);
    // One graph cycle per frame: the data thread hands the buffer on. When
    // some other node drives the graph, its cycle picks the buffer up.
    if (pw_stream_is_driving(native.stream)) pw_stream_trigger_process(native.stream);
    published_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool VideoSourceStream::drop() {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void VideoSourceStream::coreConnected(pw_core* core) {
    native_->core = core;
    createStream(core);
}

void VideoSourceStream::coreLost() {
    destroyStream();
    native_->core = nullptr;
}

void VideoSourceStream::createStream(pw_core* core) {
    Native& native = *native_;
    if (native.stream != nullptr) return;
    const std::string name = publishedName();
    pw_properties* properties =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS, "Video/Source",
                          PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_APP_NAME, "Beamwright", nullptr);
    pw_properties_set(properties, PW_KEY_NODE_NAME, name.c_str());
    pw_properties_set(properties, PW_KEY_NODE_DESCRIPTION, name.c_str());
    native.stream = pw_stream_new(core, name.c_str(), properties);
    if (native.stream == nullptr) {
        SystemLog::shared().log(notPublishedLine(name, "the stream could not be created"));
        return;
    }
    pw_stream_add_listener(native.stream, &native.listener, &Native::events, this);

    const std::uint32_t width = width_.load(std::memory_order_relaxed);
    const std::uint32_t height = height_.load(std::memory_order_relaxed);
    std::uint8_t storage[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const spa_pod* params[] = {buildFormat(builder, width, height, false),
                               buildFormat(builder, width, height, true)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    const int result =
        pw_stream_connect(native.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 2);
    if (result < 0) {
        destroyStream();
        SystemLog::shared().log(notPublishedLine(name, std::generic_category().message(-result)));
    }
}

void VideoSourceStream::destroyStream() {
    Native& native = *native_;
    streaming_.store(false, std::memory_order_release);
    native.formatReady = false;
    if (native.stream == nullptr) return;
    spa_hook_remove(&native.listener);
    pw_stream_destroy(native.stream);
    native.stream = nullptr;
}

void VideoSourceStream::Native::stateChanged(void* data, pw_stream_state /*old*/,
                                             pw_stream_state state, const char* error) {
    auto* self = static_cast<VideoSourceStream*>(data);
    self->streaming_.store(state == PW_STREAM_STATE_STREAMING, std::memory_order_release);
    // A lost daemon is the connection's to report.
    if (state == PW_STREAM_STATE_ERROR && self->connection_.isConnected()) {
        SystemLog::shared().log(
            notPublishedLine(self->publishedName(), error != nullptr ? error : "stream error"));
    }
}

void VideoSourceStream::Native::paramChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<VideoSourceStream*>(data);
    Native& native = *self->native_;
    if (id != SPA_PARAM_Format) return;
    native.formatReady = false;
    if (param == nullptr) return;  // the format is cleared: the link went away

    spa_video_info_raw info{};
    const std::uint32_t width = self->width_.load(std::memory_order_relaxed);
    const std::uint32_t height = self->height_.load(std::memory_order_relaxed);
    if (spa_format_video_raw_parse(param, &info) < 0 || info.size.width != width ||
        info.size.height != height ||
        (info.format != SPA_VIDEO_FORMAT_BGRA && info.format != SPA_VIDEO_FORMAT_BGRx)) {
        pw_stream_set_error(native.stream, -EINVAL, "unsupported video format");
        return;
    }
    std::uint8_t storage[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const spa_pod* params[] = {buildBuffers(builder, width, height), buildHeaderMeta(builder)};
    pw_stream_update_params(native.stream, params, 2);
    native.formatReady = true;
}

}  // namespace bw
