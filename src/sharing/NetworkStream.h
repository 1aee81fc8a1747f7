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

#include "render/PixelSize.h"

namespace bw {

class FrameFeed;

// Where a network stream listens, from its URL: srt://HOST:PORT, HOST an
// address of this machine ("" or 0.0.0.0 for every interface).
struct StreamAddress {
    std::string host;
    int port = 0;

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
};

// Sends one output's frames to receivers on the network: an SRT listener on
// the stream's address carrying MPEG-TS with H.264 (no alpha: transparent
// parts are sent over black). The listener is open from construction; the
// encoder runs only while at least one receiver is connected, starting with
// a key frame, and gives one to each receiver that joins later. Frames come
// from a FrameFeed attached to the output's frame server only while encoding,
// so an output nobody watches reads nothing back for it.
//
// Frames keep the times the output published them at. The feed holds the
// newest frame, and the encoder's own queue at most two more: a late encoder
// drops frames (counted in framesDropped) and never holds up the render
// thread.
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
        int bitrateKbps = 0;  // 0: fitted to each frame's size and the rate
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

    bool listen(std::string& why);
    void receiverCame(const std::string& from);
    void receiverLeft(const std::string& from);
    void run();
    void encodeWhileWatched();
    void log(const std::string& text) const;

    Settings settings_;
    AttachFeed attach_;
    DetachFeed detach_;
    std::optional<std::string> failure_;

    struct Listener;
    std::unique_ptr<Listener> listener_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;  // guarded by mutex_
    std::atomic<int> receivers_ = 0;
    std::atomic<bool> keyFrameWanted_ = false;
    std::atomic<bool> encoding_ = false;
    std::atomic<std::uint64_t> framesSent_ = 0;
    std::atomic<std::uint64_t> framesDropped_ = 0;
    std::thread worker_;
};

}  // namespace bw
