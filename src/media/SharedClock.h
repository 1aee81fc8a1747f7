#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "media/ClockSamples.h"
#include "media/ClockSettling.h"
#include "media/ShowClock.h"

typedef struct _GstBus GstBus;
typedef struct _GstNetTimeProvider GstNetTimeProvider;
typedef struct _GSource GSource;

namespace bw {

// The show clock shared over the network, built on GStreamer's network
// clocks:
//
//  - Provide: the leader. Its show clock is the local clock (CLOCK_MONOTONIC),
//    published on a UDP port by a GstNetTimeProvider.
//  - Follow: a follower of a leader's provider. A GstNetClientClock follows
//    the provider; the show clock is a local clock calibrated against it
//    from readings taken every 100 ms (a regression over the last 32), so
//    that each correction from the network is slewed in over a few seconds
//    and never steps the picture, and so that the show clock runs on when
//    the network clock goes quiet. Readings interrupted by the scheduler, or
//    far from what the calibration predicts, are left out (ClockSamples):
//    on a loaded machine they would pull every fade here off the leader's.
//  - FollowPtp: the same with a GstPtpClock of a PTP domain as the network
//    clock (needs GStreamer's privileged PTP helper, see docs/sync.md).
//
// A follower is Waiting until its network clock has synchronised and its show
// clock has settled on it (ClockSettling: within 2 ms of the
// leader's by the last exchanges, and the show clock as near the network
// clock), then Locked. Its show clock
// must not be read before then: a GStreamer clock never runs back, so one
// reading of the local time would hold it still until the leader's time
// passed that reading. With no clock answer for kLostAfter a follower is
// Lost (its show clock runs on, uncorrected) and Locked again when answers
// come back and it has settled on them again. A provider is
// Providing, or Stopped while stopProviding() holds it.
//
// Test-only: BEAMWRIGHT_TEST_CLOCK_SKEW_PPM (a number of parts per million,
// at most 1000 either way) makes the local clock run that much fast or slow,
// as a machine's crystal would, so that tests see rate differences corrected.
//
// Threads: construction, the state and the callbacks on the main thread (it
// polls its network clock from the GLib default main context);
// showTimeAt() and gstClock() from any thread.
class SharedClock final : public ShowClock {
public:
    enum class Source { Provide, Follow, FollowPtp };
    enum class State { Providing, Stopped, Waiting, Locked, Lost };

    struct Options {
        Source source = Source::Provide;
        // Follow: the leader's host; Provide and Follow: the clock's UDP port.
        std::string host;
        std::uint16_t port = 0;
        // FollowPtp: the PTP domain.
        unsigned ptpDomain = 0;
    };

    // No network clock answer for this long: the clock is lost.
    static constexpr std::int64_t kLostAfterNanoseconds = 3'000'000'000;

    // Null, with the reason in `error`, when the clock cannot be set up (a
    // port taken, PTP not available).
    static std::unique_ptr<SharedClock> create(const Options& options, std::string* error);
    ~SharedClock() override;
    SharedClock(const SharedClock&) = delete;
    SharedClock& operator=(const SharedClock&) = delete;

    std::int64_t showTimeAt(std::int64_t hostTimeNanoseconds) const override;
    GstClock* gstClock() const override { return showClock_.get(); }

    const Options& options() const { return options_; }
    State state() const { return state_; }
    // Show time minus host time, now: how far the show clock is from this
    // machine's own.
    std::int64_t offsetNanoseconds() const;
    // Told of every change of state() (main thread).
    void setStateCallback(std::function<void(State)> callback);

    // Provide only: withdraws the clock from the network, and offers it
    // again (a restart of the provider). False when it cannot listen again.
    void stopProviding();
    bool startProviding(std::string* error = nullptr);

    // The local clock's rate from the test-only variable: 1 + ppm / 1e6.
    static double localRateFromEnvironment();

private:
    explicit SharedClock(Options options);
    bool setUp(std::string* error);
    // Main thread, every 250 ms: reads the network clock's reports.
    void poll();
    void setState(State state);
    // Follow: the show clock minus the network clock, now.
    std::int64_t followingGap() const;
    // Follow, main thread, every 100 ms once synchronised: one reading of
    // the network clock into the show clock's calibration (ClockSamples).
    void startSampling();
    void sample();

    struct GstObjectUnref {
        void operator()(void* object) const noexcept;
    };
    struct SourceDestroy {
        void operator()(GSource* source) const noexcept;
    };
    // A source on the default main context calling `call` every
    // `milliseconds` until it is destroyed.
    template <void (SharedClock::*call)()>
    std::unique_ptr<GSource, SourceDestroy> repeating(unsigned int milliseconds);
    template <typename T>
    using GstHandle = std::unique_ptr<T, GstObjectUnref>;

    Options options_;
    // The clock fades and movies read.
    GstHandle<GstClock> showClock_;
    // Follow: the clock following the network, and the bus of its reports.
    GstHandle<GstClock> networkClock_;
    GstHandle<GstBus> bus_;
    GstHandle<GstNetTimeProvider> provider_;
    std::unique_ptr<GSource, SourceDestroy> pollSource_;
    std::unique_ptr<GSource, SourceDestroy> sampleSource_;
    ClockSamples samples_;
    State state_ = State::Waiting;
    bool sampling_ = false;
    ClockSettling settling_;
    // Host time of the last answer from the network clock.
    std::optional<std::int64_t> lastAnswer_;
    std::function<void(State)> callback_;
};

}  // namespace bw
