#include "sharing/NetworkStream.h"

#include <gio/gio.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <gst/video/video.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "platform/GLibHandle.h"
#include "platform/GstHandle.h"
#include "platform/SystemLog.h"
#include "sharing/FrameFeed.h"

namespace bw {

namespace {

using namespace std::chrono_literals;

// 4:2:0, as every H.264 profile and receiver takes it.
constexpr const char* kEncodedFormats = "video/x-raw,format=(string){NV12,I420}";

// SRT's latency is the larger of the two ends': the listener asks for little,
// so that a receiver on a quiet network may go as low as this, and one on a
// lossy network sets its own (SRT's usual 125 ms, if it sets none).
constexpr gint kSrtLatencyMs = 20;

// How long a hardware encoder may take to encode its test pictures.
constexpr GstClockTime kProbeTimeout = 5 * GST_SECOND;

// The encoders tried before x264, best first.
const std::vector<std::string>& hardwareEncoders() {
    static const std::vector<std::string> encoders{"vah264enc", "vaapih264enc", "nvh264enc"};
    return encoders;
}

// The text of the first error on `bus`, or none.
std::optional<std::string> popError(GstBus* bus, GstClockTime timeout) {
    GstMessagePtr message(gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_ERROR));
    if (!message) return std::nullopt;
    GError* error = nullptr;
    gst_message_parse_error(message.get(), &error, nullptr);
    std::string text = error != nullptr ? error->message : "an unknown error";
    if (error != nullptr) g_error_free(error);
    return text;
}

// Whether `factory` encodes a few test pictures; `why` says why not.
bool encodesHere(const std::string& factory, std::string& why) {
    GstObjectPtr<GstElementFactory> found(gst_element_factory_find(factory.c_str()));
    if (!found) {
        why = "not installed";
        return false;
    }
    GError* error = nullptr;
    const std::string description =
        "videotestsrc num-buffers=5 ! video/x-raw,width=320,height=240 ! videoconvert ! " +
        StreamEncoder::description(factory, 1000, 5) + " ! fakesink";
    GstObjectPtr<GstElement> pipeline(gst_parse_launch(description.c_str(), &error));
    if (error != nullptr) {
        why = error->message;
        g_error_free(error);
        return false;
    }
    GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline.get()));
    bool encoded = false;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        why = popError(bus.get(), 0).value_or("it does not start");
    } else {
        GstMessagePtr message(gst_bus_timed_pop_filtered(
            bus.get(), kProbeTimeout,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        encoded = message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
        if (!message) {
            why = "no answer within 5 s";
        } else if (!encoded) {
            GError* failure = nullptr;
            gst_message_parse_error(message.get(), &failure, nullptr);
            why = failure != nullptr ? failure->message : "it failed";
            if (failure != nullptr) g_error_free(failure);
        }
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return encoded;
}

std::string addressText(GSocketAddress* address) {
    if (address == nullptr || !G_IS_INET_SOCKET_ADDRESS(address)) return "a receiver";
    auto* inet = G_INET_SOCKET_ADDRESS(address);
    GCharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
    return std::string(host ? host.get() : "?") + ":" +
           std::to_string(g_inet_socket_address_get_port(inet));
}

// When a frame is on the output's screens: the display time it came with, or
// when it was handed over.
std::uint64_t shownAt(const FrameFeed::Frame& frame) {
    return frame.displayTime != 0 ? frame.displayTime : frame.publishedAt;
}

// The address an RTSP client connected from.
std::string clientAddress(GstRTSPClient* client) {
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    const gchar* ip = connection != nullptr ? gst_rtsp_connection_get_ip(connection) : nullptr;
    return ip != nullptr ? ip : "a receiver";
}

}  // namespace

std::optional<StreamAddress> StreamAddress::parse(std::string_view url, std::string& why) {
    constexpr std::string_view kSrt = "srt://";
    constexpr std::string_view kRtsp = "rtsp://";
    StreamAddress address;
    std::string_view rest;
    if (url.starts_with(kSrt)) {
        rest = url.substr(kSrt.size());
    } else if (url.starts_with(kRtsp)) {
        address.transport = Transport::Rtsp;
        rest = url.substr(kRtsp.size());
    } else {
        why = "a stream's URL starts with srt:// or rtsp://";
        return std::nullopt;
    }
    const std::size_t slash = rest.find('/');
    if (address.transport == Transport::Srt && slash != std::string_view::npos) {
        why = "an SRT URL has no path (srt://HOST:PORT)";
        return std::nullopt;
    }
    if (address.transport == Transport::Rtsp) {
        const std::string_view path =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (path.size() < 2 || path.ends_with('/') ||
            path.find_first_not_of("/ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789._~-") != std::string_view::npos) {
            why =
                "an RTSP URL names the stream after its port (rtsp://HOST:PORT/NAME; letters, "
                "digits, . _ ~ -)";
            return std::nullopt;
        }
        address.path = std::string(path);
        rest = rest.substr(0, slash);
    }
    std::size_t colon = std::string_view::npos;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            why = "the address's [ has no ]";
            return std::nullopt;
        }
        address.host = std::string(rest.substr(1, close - 1));
        colon =
            close + 1 < rest.size() && rest[close + 1] == ':' ? close + 1 : std::string_view::npos;
    } else {
        colon = rest.rfind(':');
        if (colon != std::string_view::npos) address.host = std::string(rest.substr(0, colon));
    }
    if (colon == std::string_view::npos) {
        why = "the URL names no port";
        return std::nullopt;
    }
    const std::string_view port = rest.substr(colon + 1);
    int number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || number < 1 ||
        number > 65535) {
        why = "the port must be a number from 1 to 65535";
        return std::nullopt;
    }
    if (address.host.find_first_of("/?#@ ") != std::string::npos) {
        why = "the host is not an address";
        return std::nullopt;
    }
    address.port = number;
    return address;
}

std::string StreamEncoder::description(const std::string& factory, int bitrate, int keyInterval) {
    const std::string rate = std::to_string(bitrate);
    const std::string key = std::to_string(keyInterval);
    if (factory == "x264enc")
        return "x264enc tune=zerolatency speed-preset=superfast bframes=0 bitrate=" + rate +
               " key-int-max=" + key;
    if (factory == "vah264enc")
        return "vah264enc b-frames=0 bitrate=" + rate + " key-int-max=" + key;
    if (factory == "vaapih264enc")
        return "vaapih264enc max-bframes=0 bitrate=" + rate + " keyframe-period=" + key;
    if (factory == "nvh264enc")
        return "nvh264enc zerolatency=true bframes=0 bitrate=" + rate + " gop-size=" + key;
    return factory;
}

StreamEncoder StreamEncoder::choose(const std::vector<std::string>& candidates) {
    gst_init(nullptr, nullptr);
    StreamEncoder choice;
    for (const std::string& factory : candidates) {
        if (factory == "x264enc") break;
        std::string why;
        if (encodesHere(factory, why)) {
            choice.factory = factory;
            choice.hardware = true;
            return choice;
        }
        choice.tried += (choice.tried.empty() ? "" : ", ") + factory + " " + why;
    }
    choice.factory = "x264enc";
    return choice;
}

const StreamEncoder& StreamEncoder::chosen() {
    static const StreamEncoder choice = [] {
        std::vector<std::string> candidates = hardwareEncoders();
        if (const char* named = std::getenv("BEAMWRIGHT_STREAM_ENCODERS")) {
            candidates.clear();
            std::stringstream list(named);
            for (std::string name; std::getline(list, name, ',');)
                if (!name.empty()) candidates.push_back(name);
        }
        StreamEncoder made = choose(candidates);
        SystemLog::shared().log(
            "Network streams encode H.264 with " + made.factory +
            (made.hardware
                 ? " (hardware)"
                 : " (software" +
                       (made.tried.empty() ? std::string() : "; passed over: " + made.tried) +
                       ")"));
        return made;
    }();
    return choice;
}

// The SRT listener: MPEG-TS pushed into `source` goes to every connected
// receiver. Built and torn down on the stream's constructing thread.
struct NetworkStream::Listener {
    GstObjectPtr<GstElement> pipeline;
    GstElement* source = nullptr;  // owned by the pipeline
    GstElement* sink = nullptr;    // owned by the pipeline
    ~Listener() {
        if (!pipeline) return;
        g_signal_handlers_disconnect_matched(sink, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                             data);
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    }
    void* data = nullptr;  // the signal handlers' NetworkStream
};

// Where the worker hands frames: queued for an encoder, at most
// kEncoderQueue of them.
class NetworkStream::Encoder {
public:
    virtual ~Encoder() = default;
    // Whether frames of `size` go in without making the encoder anew.
    virtual bool takes(PixelSize size) const = 0;
    // Queues `frame` at `pts`; false when kEncoderQueue frames still wait
    // (the frame is dropped) or the encoder is gone.
    virtual bool push(const FramePixels& frame, GstClockTime pts) = 0;
    // The encoder's first error since the last call, if any.
    virtual std::optional<std::string> error() = 0;

    void forceKeyFrame() {
        GstObjectPtr<GstPad> pad(gst_element_get_static_pad(encoder_.get(), "src"));
        if (pad)
            gst_pad_send_event(pad.get(), gst_video_event_new_upstream_force_key_unit(
                                              GST_CLOCK_TIME_NONE, TRUE, 0));
    }

protected:
    // Sets up `frames` (an appsrc) for frames of `size` at `rate`.
    static void setUpSource(GstElement* frames, PixelSize size, int rate) {
        GstCaps* caps = gst_caps_new_simple(
            "video/x-raw", "format", G_TYPE_STRING, "RGBA", "width", G_TYPE_INT, size.width,
            "height", G_TYPE_INT, size.height, "framerate", GST_TYPE_FRACTION, rate, 1, nullptr);
        g_object_set(frames, "caps", caps, "format", GST_FORMAT_TIME, "is-live", TRUE,
                     "do-timestamp", FALSE, "block", FALSE, "max-buffers",
                     static_cast<guint64>(kEncoderQueue), nullptr);
        gst_caps_unref(caps);
    }
    bool pushInto(GstElement* frames, const FramePixels& frame, GstClockTime pts) {
        guint64 waiting = 0;
        g_object_get(frames, "current-level-buffers", &waiting, nullptr);
        if (waiting >= kEncoderQueue) return false;
        GstBuffer* buffer = gst_buffer_new_memdup(frame.rgba.data(), frame.rgba.size());
        GST_BUFFER_PTS(buffer) = pts;
        return gst_app_src_push_buffer(GST_APP_SRC(frames), buffer) == GST_FLOW_OK;
    }

    GstObjectPtr<GstElement> frames_;
    GstObjectPtr<GstElement> encoder_;
    PixelSize size_;
};

// SRT: one run of an encoder of its own, RGBA frames in, MPEG-TS into the
// listener. Made when the first receiver connects, ended when the last one
// leaves.
class NetworkStream::SrtEncoder final : public NetworkStream::Encoder {
public:
    static std::unique_ptr<Encoder> create(const std::string& factory, PixelSize size, int rate,
                                           int bitrate, GstElement* listener, std::string& why) {
        const std::string description =
            "appsrc name=frames ! videoconvert ! " + std::string(kEncodedFormats) + " ! " +
            StreamEncoder::description(factory, bitrate, std::max(rate, 1)) +
            " name=encoder ! h264parse config-interval=-1 ! "
            "video/x-h264,stream-format=byte-stream,alignment=au ! mpegtsmux alignment=7 ! "
            "appsink name=ts sync=false emit-signals=false";
        GError* error = nullptr;
        GstObjectPtr<GstElement> pipeline(gst_parse_launch(description.c_str(), &error));
        if (error != nullptr) {
            why = error->message;
            g_error_free(error);
            return nullptr;
        }
        auto encoder = std::unique_ptr<SrtEncoder>(new SrtEncoder);
        encoder->pipeline_ = std::move(pipeline);
        encoder->size_ = size;
        GstBin* bin = GST_BIN(encoder->pipeline_.get());
        encoder->frames_.reset(gst_bin_get_by_name(bin, "frames"));
        encoder->encoder_.reset(gst_bin_get_by_name(bin, "encoder"));
        setUpSource(encoder->frames_.get(), size, rate);
        GstObjectPtr<GstElement> ts(gst_bin_get_by_name(bin, "ts"));
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = [](GstAppSink* sink, gpointer data) -> GstFlowReturn {
            GstSamplePtr sample(gst_app_sink_pull_sample(sink));
            GstBuffer* buffer = sample ? gst_sample_get_buffer(sample.get()) : nullptr;
            if (buffer != nullptr)
                gst_app_src_push_buffer(GST_APP_SRC(static_cast<GstElement*>(data)),
                                        gst_buffer_ref(buffer));
            return GST_FLOW_OK;
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(ts.get()), &callbacks, listener, nullptr);
        if (gst_element_set_state(encoder->pipeline_.get(), GST_STATE_PLAYING) ==
            GST_STATE_CHANGE_FAILURE) {
            GstObjectPtr<GstBus> bus(gst_element_get_bus(encoder->pipeline_.get()));
            why = popError(bus.get(), 0).value_or("the encoder does not start");
            return nullptr;
        }
        return encoder;
    }

    ~SrtEncoder() override { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }

    bool takes(PixelSize size) const override { return size == size_; }
    bool push(const FramePixels& frame, GstClockTime pts) override {
        return pushInto(frames_.get(), frame, pts);
    }
    std::optional<std::string> error() override {
        GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline_.get()));
        return popError(bus.get(), 0);
    }

private:
    SrtEncoder() = default;
    GstObjectPtr<GstElement> pipeline_;
};

// RTSP: frames into the source of the server's shared media, whose pipeline
// the server runs; a new size is new caps on the source.
class NetworkStream::RtspFeeder final : public NetworkStream::Encoder {
public:
    RtspFeeder(GstElement* frames, GstElement* encoder, int rate) : rate_(rate) {
        frames_.reset(GST_ELEMENT(gst_object_ref(frames)));
        encoder_.reset(GST_ELEMENT(gst_object_ref(encoder)));
    }
    bool takes(PixelSize) const override { return true; }
    bool push(const FramePixels& frame, GstClockTime pts) override {
        if (frame.size != size_) {
            setUpSource(frames_.get(), frame.size, rate_);
            size_ = frame.size;
        }
        return pushInto(frames_.get(), frame, pts);
    }
    // The server reports its media's errors itself.
    std::optional<std::string> error() override { return std::nullopt; }

private:
    int rate_;
};

// RTSP: the server on a main context and thread of its own. Its signal
// handlers reach the stream through `link`, which the stream cuts before it
// goes: the server's media may end after the server.
struct NetworkStream::RtspLink {
    std::mutex mutex;
    NetworkStream* stream = nullptr;  // guarded by mutex
};

struct NetworkStream::RtspService {
    GMainContextPtr context{g_main_context_new()};
    GMainLoopPtr loop{g_main_loop_new(context.get(), FALSE)};
    GObjectPtr<GstRTSPServer> server;
    guint source = 0;
    std::thread thread;
    std::shared_ptr<RtspLink> link = std::make_shared<RtspLink>();

    ~RtspService() {
        {
            std::lock_guard lock(link->mutex);
            link->stream = nullptr;
        }
        if (!server) return;
        // Every client goes (their media with them); then the server's
        // socket closes with its source.
        gst_rtsp_server_client_filter(
            server.get(),
            [](GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; },
            nullptr);
        if (source != 0) {
            if (GSource* listening = g_main_context_find_source_by_id(context.get(), source))
                g_source_destroy(listening);
        }
        // Quit from inside the loop: a quit before the thread has begun to run
        // it would be undone by the run.
        GSourcePtr quit(g_idle_source_new());
        g_source_set_callback(
            quit.get(),
            [](gpointer running) {
                g_main_loop_quit(static_cast<GMainLoop*>(running));
                return G_SOURCE_REMOVE;
            },
            loop.get(), nullptr);
        g_source_attach(quit.get(), context.get());
        if (thread.joinable()) thread.join();
    }

    // Connects `handler` to `signal` of `instance`, with the link as its data.
    void connect(gpointer instance, const char* signal, GCallback handler) const {
        g_signal_connect_data(
            instance, signal, handler, new std::shared_ptr<RtspLink>(link),
            [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<RtspLink>*>(data); },
            GConnectFlags{});
    }
    // Runs `call` with the stream, unless it has gone.
    template <typename Call>
    static void withStream(gpointer data, Call call) {
        const std::shared_ptr<RtspLink>& link = *static_cast<std::shared_ptr<RtspLink>*>(data);
        std::lock_guard lock(link->mutex);
        if (link->stream != nullptr) call(*link->stream);
    }
};

NetworkStream::NetworkStream(Settings settings, AttachFeed attach, DetachFeed detach)
    : settings_(std::move(settings)), attach_(std::move(attach)), detach_(std::move(detach)) {
    gst_init(nullptr, nullptr);
    std::string why;
    if (!listen(why)) {
        failure_ = why;
        log("cannot listen on " + settings_.url + ": " + why);
        listener_.reset();
        rtsp_.reset();
        return;
    }
    log("listening on " + settings_.url + " (H.264 in " +
        (address_.transport == StreamAddress::Transport::Rtsp ? "RTP" : "MPEG-TS") + " with " +
        StreamEncoder::chosen().factory + ", no alpha)");
    worker_ = std::thread([this] { run(); });
}

NetworkStream::~NetworkStream() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (rtsp_) {
        // Cut first: a handler running now may still reach for rtsp_,
        // which reset() empties before the service is gone.
        std::lock_guard lock(rtsp_->link->mutex);
        rtsp_->link->stream = nullptr;
    }
    rtsp_.reset();
    listener_.reset();
}

int NetworkStream::fittedBitrateKbps(PixelSize size, double rate) {
    // 0.07 bits a pixel a frame: 1080p60 at about 8.7 Mbit/s.
    const double bits = static_cast<double>(std::max(size.width, 1)) * std::max(size.height, 1) *
                        std::clamp(rate, 1.0, 240.0) * 0.07;
    return std::clamp(static_cast<int>(std::lround(bits / 1000.0)), 500, 100'000);
}

bool NetworkStream::listen(std::string& why) {
    const std::optional<StreamAddress> address = StreamAddress::parse(settings_.url, why);
    if (!address) return false;
    address_ = *address;
    if (address->transport == StreamAddress::Transport::Rtsp) return serve(*address, why);
    GstObjectPtr<GstElementFactory> srt(gst_element_factory_find("srtsink"));
    if (!srt) {
        why = "GStreamer's srtsink (the bad plugins) is not installed";
        return false;
    }
    auto listener = std::make_unique<Listener>();
    listener->pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    listener->source = gst_element_factory_make("appsrc", nullptr);
    listener->sink = gst_element_factory_make("srtsink", nullptr);
    gst_bin_add_many(GST_BIN(listener->pipeline.get()), listener->source, listener->sink, nullptr);
    gst_element_link(listener->source, listener->sink);
    GstCaps* caps = gst_caps_from_string("video/mpegts,systemstream=(boolean)true,packetsize=188");
    g_object_set(listener->source, "caps", caps, "format", GST_FORMAT_TIME, "is-live", TRUE,
                 "block", FALSE, "max-bytes", static_cast<guint64>(8 << 20), nullptr);
    gst_util_set_object_arg(G_OBJECT(listener->source), "leaky-type", "downstream");
    gst_caps_unref(caps);
    // The mode first: the URI names the local address only in listener mode.
    gst_util_set_object_arg(G_OBJECT(listener->sink), "mode", "listener");
    const std::string host = address->host.empty() ? "0.0.0.0" : address->host;
    const std::string uri = "srt://" +
                            (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                            std::to_string(address->port) + "?mode=listener";
    g_object_set(listener->sink, "uri", uri.c_str(), "localaddress", host.c_str(), "localport",
                 static_cast<guint>(address->port), "wait-for-connection", FALSE, "sync", FALSE,
                 "async", FALSE, "latency", kSrtLatencyMs, nullptr);
    listener->data = this;
    using Caller = void (*)(GstElement*, gint, GSocketAddress*, gpointer);
    g_signal_connect(
        listener->sink, "caller-added",
        G_CALLBACK(static_cast<Caller>([](GstElement*, gint, GSocketAddress* from, gpointer self) {
            static_cast<NetworkStream*>(self)->receiverCame(addressText(from));
        })),
        this);
    g_signal_connect(
        listener->sink, "caller-removed",
        G_CALLBACK(static_cast<Caller>([](GstElement*, gint, GSocketAddress* from, gpointer self) {
            static_cast<NetworkStream*>(self)->receiverLeft(addressText(from));
        })),
        this);
    listener_ = std::move(listener);
    if (gst_element_set_state(listener_->pipeline.get(), GST_STATE_PLAYING) ==
        GST_STATE_CHANGE_FAILURE) {
        GstObjectPtr<GstBus> bus(gst_element_get_bus(listener_->pipeline.get()));
        why = popError(bus.get(), 0).value_or("the listener does not start");
        return false;
    }
    return true;
}

bool NetworkStream::serve(const StreamAddress& address, std::string& why) {
    auto service = std::make_unique<RtspService>();
    service->link->stream = this;
    service->server.reset(gst_rtsp_server_new());
    GstRTSPServer* server = service->server.get();
    const std::string host = address.host.empty() ? "0.0.0.0" : address.host;
    const std::string port = std::to_string(address.port);
    gst_rtsp_server_set_address(server, host.c_str());
    gst_rtsp_server_set_service(server, port.c_str());

    const double pace = settings_.rate > 0 ? settings_.rate : 60.0;
    const int rate = static_cast<int>(std::lround(std::clamp(pace, 1.0, 240.0)));
    const int bitrate =
        settings_.bitrateKbps > 0 ? settings_.bitrateKbps : fittedBitrateKbps(settings_.size, rate);
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    const std::string launch =
        "( appsrc name=frames ! videoconvert ! " + std::string(kEncodedFormats) + " ! " +
        StreamEncoder::description(StreamEncoder::chosen().factory, bitrate, rate) +
        " name=encoder ! h264parse config-interval=-1 ! "
        "rtph264pay name=pay0 pt=96 config-interval=-1 )";
    gst_rtsp_media_factory_set_launch(factory, launch.c_str());
    // One encoder for every receiver, ended once the last has gone.
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    using Configure = void (*)(GstRTSPMediaFactory*, GstRTSPMedia*, gpointer);
    service->connect(
        factory, "media-configure",
        G_CALLBACK(
            static_cast<Configure>([](GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
                GObjectPtr<GstElement> bin(gst_rtsp_media_get_element(media));
                GObjectPtr<GstElement> frames(
                    bin ? gst_bin_get_by_name_recurse_up(GST_BIN(bin.get()), "frames") : nullptr);
                GObjectPtr<GstElement> encoder(
                    bin ? gst_bin_get_by_name_recurse_up(GST_BIN(bin.get()), "encoder") : nullptr);
                if (!frames || !encoder) return;
                RtspService::withStream(data, [&](NetworkStream& stream) {
                    stream.rtsp_->connect(media, "unprepared",
                                          G_CALLBACK(static_cast<void (*)(GstRTSPMedia*, gpointer)>(
                                              [](GstRTSPMedia* gone, gpointer link) {
                                                  RtspService::withStream(
                                                      link, [gone](NetworkStream& owner) {
                                                          owner.mediaUnprepared(gone);
                                                      });
                                              })));
                    stream.mediaConfigured(media, frames.get(), encoder.get());
                });
            })));
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, address.path.c_str(), factory);
    g_object_unref(mounts);

    using Connected = void (*)(GstRTSPServer*, GstRTSPClient*, gpointer);
    service->connect(
        server, "client-connected",
        G_CALLBACK(static_cast<Connected>([](GstRTSPServer*, GstRTSPClient* client, gpointer data) {
            const std::string from = clientAddress(client);
            RtspService::withStream(data, [&](NetworkStream& stream) {
                stream.rtsp_->connect(
                    client, "closed",
                    G_CALLBACK(static_cast<void (*)(GstRTSPClient*, gpointer)>(
                        [](GstRTSPClient* gone, gpointer link) {
                            const std::string who = clientAddress(gone);
                            RtspService::withStream(
                                link, [&](NetworkStream& owner) { owner.receiverLeft(who); });
                        })));
                stream.receiverCame(from);
            });
        })));

    // Attaching binds the port: refused where it is taken, or where the
    // address is not this machine's.
    GError* error = nullptr;
    GObjectPtr<GSocket> socket(gst_rtsp_server_create_socket(server, nullptr, &error));
    if (!socket) {
        why = error != nullptr ? error->message : "the server cannot listen";
        if (error != nullptr) g_error_free(error);
        return false;
    }
    socket.reset();
    service->source = gst_rtsp_server_attach(server, service->context.get());
    if (service->source == 0) {
        why = "the server cannot listen on port " + port;
        return false;
    }
    GMainContext* context = service->context.get();
    GMainLoop* loop = service->loop.get();
    service->thread = std::thread([context, loop] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
    rtsp_ = std::move(service);
    return true;
}

void NetworkStream::mediaConfigured(const void* media, GstElement* frames, GstElement* encoder) {
    // Live, in time: the server waits for the first frame to describe the
    // stream, and the caps come with it.
    g_object_set(frames, "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp", FALSE, "block",
                 FALSE, "max-buffers", static_cast<guint64>(kEncoderQueue), nullptr);
    {
        std::lock_guard lock(mutex_);
        media_ = media;
        mediaFrames_.reset(GST_ELEMENT(gst_object_ref(frames)));
        mediaEncoder_.reset(GST_ELEMENT(gst_object_ref(encoder)));
        ++mediaMade_;
    }
    changed_.notify_all();
}

void NetworkStream::mediaUnprepared(const void* media) {
    {
        std::lock_guard lock(mutex_);
        if (media != media_) return;
        media_ = nullptr;
        mediaFrames_.reset();
        mediaEncoder_.reset();
    }
    changed_.notify_all();
}

void NetworkStream::receiverCame(const std::string& from) {
    int now = 0;
    {
        std::lock_guard lock(mutex_);
        now = receivers_.load() + 1;
        receivers_.store(now);
    }
    keyFrameWanted_.store(true);
    log("receiver " + from + " connected (" + std::to_string(now) + " watching)");
    changed_.notify_all();
}

void NetworkStream::receiverLeft(const std::string& from) {
    int now = 0;
    {
        std::lock_guard lock(mutex_);
        now = std::max(receivers_.load() - 1, 0);
        receivers_.store(now);
    }
    log("receiver " + from + " left (" + std::to_string(now) + " watching)");
    changed_.notify_all();
}

void NetworkStream::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // RTSP: once the server has made the media frames go into.
            changed_.wait(lock, [this] {
                return stopping_ ||
                       (receivers_.load() > 0 &&
                        (address_.transport == StreamAddress::Transport::Srt || mediaFrames_));
            });
            if (stopping_) return;
        }
        encodeWhileWatched();
    }
}

std::unique_ptr<NetworkStream::Encoder> NetworkStream::makeEncoder(PixelSize size, int rate,
                                                                   std::string& why) {
    if (address_.transport == StreamAddress::Transport::Rtsp) {
        std::lock_guard lock(mutex_);
        if (!mediaFrames_) {
            why = "the server has no media";
            return nullptr;
        }
        return std::make_unique<RtspFeeder>(mediaFrames_.get(), mediaEncoder_.get(), rate);
    }
    const int bitrate =
        settings_.bitrateKbps > 0 ? settings_.bitrateKbps : fittedBitrateKbps(size, rate);
    return SrtEncoder::create(StreamEncoder::chosen().factory, size, rate, bitrate,
                              listener_->source, why);
}

void NetworkStream::encodeWhileWatched() {
    const bool rtsp = address_.transport == StreamAddress::Transport::Rtsp;
    // RTSP's frames go into the server's media while it has the one they
    // started with; a media made anew starts the feeding anew.
    std::uint64_t media = 0;
    const auto watched = [this, rtsp, &media] {
        std::lock_guard lock(mutex_);
        return !stopping_ && receivers_.load() > 0 && (!rtsp || mediaFrames_) &&
               (media == 0 || media == mediaMade_);
    };
    const auto currentMedia = [this] {
        std::lock_guard lock(mutex_);
        return mediaMade_;
    };
    const auto feed = std::make_shared<FrameFeed>();
    attach_(feed);
    std::unique_ptr<Encoder> encoder;
    FrameFeed::Frame frame;
    std::uint64_t lastSequence = 0;
    std::uint64_t firstShown = 0;
    bool failed = false;
    while (watched()) {
        if (feed->waitAndTake(frame, 100ms) != FrameFeed::Wait::Frame || failed) continue;
        if (lastSequence != 0 && frame.sequence > lastSequence + 1)
            framesDropped_.fetch_add(frame.sequence - lastSequence - 1);
        lastSequence = frame.sequence;
        const PixelSize size = frame.pixels.size;
        if (size.isEmpty() || frame.pixels.rgba.size() < static_cast<std::size_t>(size.width) *
                                                             static_cast<std::size_t>(size.height) *
                                                             4)
            continue;
        if (!encoder || !encoder->takes(size)) {
            // A new size starts the encoder again, at a key frame.
            encoder.reset();
            encoding_.store(false);
            const double pace = settings_.rate > 0 ? settings_.rate : 60.0;
            const int rate = static_cast<int>(std::lround(std::clamp(pace, 1.0, 240.0)));
            std::string why;
            media = currentMedia();
            encoder = makeEncoder(size, rate, why);
            if (!encoder) {
                log("the encoder does not start: " + why + "; nothing is sent");
                failed = true;
                continue;
            }
            encoding_.store(true);
            firstShown = shownAt(frame);
            keyFrameWanted_.store(false);
        }
        if (keyFrameWanted_.exchange(false)) encoder->forceKeyFrame();
        const std::uint64_t time = shownAt(frame);
        const GstClockTime pts = time - std::min(time, firstShown);
        if (encoder->push(frame.pixels, pts)) {
            framesSent_.fetch_add(1);
        } else {
            framesDropped_.fetch_add(1);
        }
        if (const std::optional<std::string> error = encoder->error()) {
            log("the encoder failed: " + *error + "; nothing is sent");
            encoder.reset();
            encoding_.store(false);
            failed = true;
        }
    }
    detach_(feed.get());
    encoder.reset();
    encoding_.store(false);
}

void NetworkStream::log(const std::string& text) const {
    SystemLog::shared().log("Stream \"" + settings_.name + "\": " + text);
}

}  // namespace bw
