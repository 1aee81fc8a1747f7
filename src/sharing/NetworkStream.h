#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/GLibHandle.h"
#include "render/PixelSize.h"

typedef struct _GstElement GstElement;

namespace bw {

class FrameFeed;

// Where a network stream listens, from its URL: srt://HOST:PORT (an SRT
// listener) or rtsp://HOST:PORT/NAME (an RTSP server offering NAME), HOST an
// address of this machine ("" or 0.0.0.0 for every interface).
struct StreamAddress {
    enum class Transport { Srt, Rtsp };
    Transport transport = Transport::Srt;
    std::string host;
    int port = 0;
    std::string path;  // RTSP: "/NAME"; SRT: empty

    // The address of `url`, or none with `why` saying what is wrong.
    static std::optional<StreamAddress> parse(std::string_view url, std::string& why);
};

// The H.264 encoder network streams use: the first of the hardware encoders
// that encodes a test picture here, else x264.
struct StreamEncoder {
    std::string factory;  // the GStreamer element
    bool hardware = false;
    // Which encoders were tried and why each was passed over, for the log.
    std::string tried;

    // Tries `candidates` (element names) in order; x264enc is taken without a
    // trial. BEAMWRIGHT_STREAM_ENCODERS (names separated by commas) replaces
    // the hardware list for chosen().
    static StreamEncoder choose(const std::vector<std::string>& candidates);
    // The process's choice, made (and logged) on first use. Any thread.
    static const StreamEncoder& chosen();
    // `factory` as a launch-line element with the streams' settings:
    // `bitrate` kbit/s, a key frame at least every `keyInterval` frames,
    // nothing that holds frames back (no B-frames, no look-ahead).
    static std::string description(const std::string& factory, int bitrate, int keyInterval);
};

// Sends one output's frames to receivers on the network, H.264 with no alpha
// (transparent parts are sent over black): an SRT listener carrying MPEG-TS,
// or an RTSP server carrying RTP. The listener is open from construction;
// frames are encoded only while at least one receiver is connected, starting
// with a key frame, and each receiver that joins later gets one of its own.
// Frames come from a FrameFeed attached to the output's frame server only
// while encoding, so an output nobody watches reads nothing back for it.
// SRT's encoder is built when the first receiver connects and ended when the
// last leaves; RTSP's lives in the server's shared media, made for the first
// receiver and ended by the server when the last one has torn down.
//
// Frames keep the times the output shows them at (its display times). The
// feed holds the newest frame, and the encoder's own queue at most two more:
// a late encoder drops frames (counted in framesDropped) and never holds up
// the render thread.
//
// Threads: construction and destruction on one thread; the accessors on any.
// Receivers come and go on the listener's thread, frames are handed to the
// encoder on the stream's own.
class NetworkStream {
public:
    // Attaches and detaches the feed that receives the output's frames.
    using AttachFeed = std::function<void(std::shared_ptr<FrameFeed>)>;
    using DetachFeed = std::function<void(const FrameFeed*)>;

    struct Settings {
        std::string name;  // the output's, for the log
        std::string url;
        double rate = 60;     // the output's frames a second, at most (0: 60)
        int bitrateKbps = 0;  // 0: fitted to the frames' size and the rate
        PixelSize size;       // the output's, to fit RTSP's bitrate to
    };

    NetworkStream(Settings settings, AttachFeed attach, DetachFeed detach);
    ~NetworkStream();
    NetworkStream(const NetworkStream&) = delete;
    NetworkStream& operator=(const NetworkStream&) = delete;

    // Why the stream cannot listen (a malformed URL, a port in use, no SRT
    // plugin); none while it listens.
    const std::optional<std::string>& failure() const { return failure_; }
    const Settings& settings() const { return settings_; }

    int receivers() const { return receivers_.load(); }
    // Whether the encoder's pipeline exists and is playing.
    bool encoding() const { return encoding_.load(); }
    std::uint64_t framesSent() const { return framesSent_.load(); }
    std::uint64_t framesDropped() const { return framesDropped_.load(); }

    // The bitrate a stream of `size` at `rate` frames a second gets when the
    // operator sets none, in kbit/s.
    static int fittedBitrateKbps(PixelSize size, double rate);
    // The most frames waiting for the encoder.
    static constexpr unsigned kEncoderQueue = 2;

private:
    class Encoder;
    class SrtEncoder;
    class RtspFeeder;
    struct Listener;
    struct RtspService;
    struct RtspLink;

    bool listen(std::string& why);
    bool serve(const StreamAddress& address, std::string& why);
    std::unique_ptr<Encoder> makeEncoder(PixelSize size, int rate, std::string& why);
    // RTSP: the server made (or ended) the shared media frames go into.
    void mediaConfigured(const void* media, GstElement* frames, GstElement* encoder);
    void mediaUnprepared(const void* media);
    void receiverCame(const std::string& from);
    void receiverLeft(const std::string& from);
    void run();
    void encodeWhileWatched();
    void log(const std::string& text) const;

    Settings settings_;
    AttachFeed attach_;
    DetachFeed detach_;
    std::optional<std::string> failure_;

    StreamAddress address_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<RtspService> rtsp_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;  // guarded by mutex_
    // Guarded by mutex_: RTSP's media, its frames' source and its encoder,
    // and a count of the media made so far.
    const void* media_ = nullptr;  // only compared, never followed
    GObjectPtr<GstElement> mediaFrames_;
    GObjectPtr<GstElement> mediaEncoder_;
    std::uint64_t mediaMade_ = 0;
    std::atomic<int> receivers_ = 0;
    std::atomic<bool> keyFrameWanted_ = false;
    std::atomic<bool> encoding_ = false;
    std::atomic<std::uint64_t> framesSent_ = 0;
    std::atomic<std::uint64_t> framesDropped_ = 0;
    std::thread worker_;
};

}  // namespace bw
