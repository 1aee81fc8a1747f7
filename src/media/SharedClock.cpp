#include "media/SharedClock.h"

#include <gst/gst.h>
#include <gst/net/gstnet.h>
#include <gst/net/gstptpclock.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr guint kPollMilliseconds = 250;
// How often the show clock reads the network clock for its calibration.
constexpr guint kSampleMilliseconds = 100;
constexpr double kMaxTestSkewPpm = 1000.0;

// The local clock: GStreamer's system clock (CLOCK_MONOTONIC), optionally run
// fast or slow by a test's skew, and slavable to a network clock.
struct LocalClock {
    GstSystemClock parent;
    double rate;
    GstClockTime anchor;
};
struct LocalClockClass {
    GstSystemClockClass parentClass;
};

GstClockClass* localClockParent = nullptr;

GstClockTime unskewedTime(GstClock* clock) {
    return localClockParent->get_internal_time(clock);
}

GstClockTime localClockInternalTime(GstClock* clock) {
    const LocalClock* self = reinterpret_cast<LocalClock*>(clock);
    const GstClockTime now = unskewedTime(clock);
    if (self->rate == 1.0 || now < self->anchor) return now;
    return self->anchor +
           static_cast<GstClockTime>(static_cast<double>(now - self->anchor) * self->rate);
}

void localClockClassInit(gpointer klass, gpointer /*data*/) {
    localClockParent = static_cast<GstClockClass*>(g_type_class_peek_parent(klass));
    static_cast<GstClockClass*>(klass)->get_internal_time = localClockInternalTime;
}

void localClockInit(GTypeInstance* instance, gpointer /*klass*/) {
    auto* self = reinterpret_cast<LocalClock*>(instance);
    self->rate = 1.0;
    self->anchor = 0;
    GST_OBJECT_FLAG_SET(self, GST_CLOCK_FLAG_CAN_SET_MASTER);
}

GType localClockType() {
    static const GType type = g_type_register_static_simple(
        gst_system_clock_get_type(), "BwLocalClock", sizeof(LocalClockClass), localClockClassInit,
        sizeof(LocalClock), localClockInit, GTypeFlags{});
    return type;
}

template <typename T>
T* sunk(gpointer object) {
    if (object != nullptr && g_object_is_floating(object)) gst_object_ref_sink(object);
    return static_cast<T*>(object);
}

GstClock* newLocalClock(const char* name) {
    auto* clock = sunk<LocalClock>(g_object_new(localClockType(), "name", name, nullptr));
    clock->rate = SharedClock::localRateFromEnvironment();
    clock->anchor = unskewedTime(reinterpret_cast<GstClock*>(clock));
    return reinterpret_cast<GstClock*>(clock);
}

}  // namespace

void SharedClock::GstObjectUnref::operator()(void* object) const noexcept {
    if (object != nullptr) gst_object_unref(object);
}

void SharedClock::SourceDestroy::operator()(GSource* source) const noexcept {
    g_source_destroy(source);
    g_source_unref(source);
}

double SharedClock::localRateFromEnvironment() {
    const char* text = std::getenv("BEAMWRIGHT_TEST_CLOCK_SKEW_PPM");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    const double ppm = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(ppm) || std::fabs(ppm) > kMaxTestSkewPpm) return 1.0;
    return 1.0 + ppm / 1e6;
}

std::unique_ptr<SharedClock> SharedClock::create(const Options& options, std::string* error) {
    std::unique_ptr<SharedClock> clock(new SharedClock(options));
    if (!clock->setUp(error)) return nullptr;
    return clock;
}

SharedClock::SharedClock(Options options) : options_(std::move(options)) {}

SharedClock::~SharedClock() {
    pollSource_.reset();
    sampleSource_.reset();
    provider_.reset();
    if (networkClock_) g_object_set(networkClock_.get(), "bus", nullptr, nullptr);
}

bool SharedClock::setUp(std::string* error) {
    gst_init(nullptr, nullptr);
    showClock_.reset(newLocalClock("bw-show-clock"));
    switch (options_.source) {
        case Source::Provide:
            state_ = State::Stopped;
            return startProviding(error);
        case Source::Follow:
            networkClock_.reset(sunk<GstClock>(gst_net_client_clock_new(
                "bw-network-clock", options_.host.c_str(), options_.port, 0)));
            if (!networkClock_) {
                if (error) *error = "cannot follow " + options_.host;
                return false;
            }
            bus_.reset(sunk<GstBus>(gst_bus_new()));
            g_object_set(networkClock_.get(), "bus", bus_.get(), nullptr);
            break;
        case Source::FollowPtp:
            if (!gst_ptp_is_initialized() && !gst_ptp_init(GST_PTP_CLOCK_ID_NONE, nullptr)) {
                if (error)
                    *error = "PTP is not available (is gst-ptp-helper installed and privileged?)";
                return false;
            }
            networkClock_.reset(
                sunk<GstClock>(gst_ptp_clock_new("bw-ptp-clock", options_.ptpDomain)));
            if (!networkClock_) {
                if (error)
                    *error = "cannot follow PTP domain " + std::to_string(options_.ptpDomain);
                return false;
            }
            break;
    }
    state_ = State::Waiting;
    pollSource_ = repeating<&SharedClock::poll>(kPollMilliseconds);
    return true;
}

std::int64_t SharedClock::showTimeAt(std::int64_t hostTimeNanoseconds) const {
    const auto now = static_cast<std::int64_t>(gst_clock_get_time(showClock_.get()));
    return now + (hostTimeNanoseconds - systemClock().hostTimeNanoseconds());
}

std::int64_t SharedClock::offsetNanoseconds() const {
    const std::int64_t host = systemClock().hostTimeNanoseconds();
    return showTimeAt(host) - host;
}

void SharedClock::setStateCallback(std::function<void(State)> callback) {
    callback_ = std::move(callback);
}

void SharedClock::stopProviding() {
    if (options_.source != Source::Provide) return;
    provider_.reset();
    setState(State::Stopped);
}

bool SharedClock::startProviding(std::string* error) {
    if (options_.source != Source::Provide) return false;
    if (!provider_) {
        provider_.reset(sunk<GstNetTimeProvider>(
            gst_net_time_provider_new(showClock_.get(), nullptr, options_.port)));
        if (!provider_) {
            if (error)
                *error = "cannot provide the clock on UDP port " + std::to_string(options_.port);
            return false;
        }
    }
    setState(State::Providing);
    return true;
}

void SharedClock::poll() {
    const std::int64_t now = systemClock().hostTimeNanoseconds();
    if (bus_) {
        while (GstMessage* message = gst_bus_pop(bus_.get())) {
            const GstStructure* report = gst_message_get_structure(message);
            if (report != nullptr && gst_structure_has_name(report, "gst-netclock-statistics")) {
                lastAnswer_ = now;
                guint64 roundTrip = 0;
                gint64 errorAtSend = 0;
                gint64 errorAtReceipt = 0;
                if (gst_structure_get_uint64(report, "rtt", &roundTrip) &&
                    gst_structure_get_int64(report, "remote-min-error", &errorAtSend) &&
                    gst_structure_get_int64(report, "remote-max-error", &errorAtReceipt)) {
                    settling_.addExchange(static_cast<std::int64_t>(roundTrip), errorAtSend,
                                          errorAtReceipt);
                }
            }
            gst_message_unref(message);
        }
    } else if (gst_clock_is_synced(networkClock_.get())) {
        // A PTP clock sends no reports; it counts as answering while synced,
        // and as settled on its exchanges (it filters them itself).
        lastAnswer_ = now;
        settling_.addExchange(0, 0, 0);
    }
    if (!sampling_) {
        if (lastAnswer_ && gst_clock_is_synced(networkClock_.get())) {
            // Calibrated only from the first synchronised time on: the show clock's
            // calibration never sees the network clock's jump to the leader.
            // Nothing has read the show clock yet, so it may start at the
            // network clock's time instead of slewing towards it for as long
            // as the two were apart.
            gst_clock_set_calibration(showClock_.get(),
                                      gst_clock_get_internal_time(showClock_.get()),
                                      gst_clock_get_time(networkClock_.get()), 1, 1);
            sampling_ = true;
            startSampling();
            settling_.restart(now);
        }
        return;
    }
    settling_.setFollowingGap(followingGap());
    const bool answering = lastAnswer_ && now - *lastAnswer_ < kLostAfterNanoseconds;
    if (state_ == State::Waiting) {
        if (!settling_.settled(now)) return;
        if (settling_.gaveUp(now)) {
            const double off = static_cast<double>(settling_.lastError().value_or(0)) / 1e6;
            SystemLog::shared().log(
                "Warning: the show clock did not settle on the leader's in " +
                std::to_string(ClockSettling::kGiveUpNanoseconds / 1'000'000'000) +
                " s (last seen " + std::to_string(off) + " ms off); following it as it is");
        }
        setState(State::Locked);
    } else if (state_ == State::Locked && !answering) {
        // Back only once it has settled again on the answers to come.
        settling_.restart(now);
        setState(State::Lost);
    } else if (state_ == State::Lost && answering && settling_.settled(now)) {
        setState(State::Locked);
    }
}

template <void (SharedClock::*call)()>
std::unique_ptr<GSource, SharedClock::SourceDestroy> SharedClock::repeating(
    unsigned int milliseconds) {
    std::unique_ptr<GSource, SourceDestroy> source(g_timeout_source_new(milliseconds));
    g_source_set_callback(
        source.get(),
        [](gpointer self) -> gboolean {
            (static_cast<SharedClock*>(self)->*call)();
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(source.get(), nullptr);
    return source;
}

void SharedClock::startSampling() {
    sampleSource_ = repeating<&SharedClock::sample>(kSampleMilliseconds);
}

void SharedClock::sample() {
    GstClock* show = showClock_.get();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const GstClockTime before = gst_clock_get_internal_time(show);
        const GstClockTime network = gst_clock_get_time(networkClock_.get());
        const GstClockTime after = gst_clock_get_internal_time(show);
        const GstClockTime middle = before / 2 + after / 2;
        GstClockTime internal = 0;
        GstClockTime external = 0;
        GstClockTime rateNum = 1;
        GstClockTime rateDenom = 1;
        gst_clock_get_calibration(show, &internal, &external, &rateNum, &rateDenom);
        const GstClockTime predicted =
            gst_clock_adjust_with_calibration(show, middle, internal, external, rateNum, rateDenom);
        switch (samples_.judge(static_cast<std::int64_t>(before), static_cast<std::int64_t>(after),
                               static_cast<std::int64_t>(predicted),
                               static_cast<std::int64_t>(network))) {
            case ClockSamples::Verdict::Interrupted:
                continue;
            case ClockSamples::Verdict::HeldBack:
                return;
            case ClockSamples::Verdict::Step: {
                // The leader's clock moved: the calibration starts afresh
                // from here (setting the window size forgets the readings
                // gathered so far).
                gint window = 0;
                g_object_get(show, "window-size", &window, nullptr);
                g_object_set(show, "window-size", window, nullptr);
                gst_clock_set_calibration(show, middle, network, 1, 1);
                SystemLog::shared().log(
                    "Warning: the leader's clock moved; the show clock follows it from now on");
                return;
            }
            case ClockSamples::Verdict::Take: {
                gdouble fit = 0;
                gst_clock_add_observation(show, middle, network, &fit);
                return;
            }
        }
    }
}

std::int64_t SharedClock::followingGap() const {
    // Read between two readings of the show clock, so that a pause of this
    // thread between the readings cannot pass for a gap.
    const auto before = static_cast<std::int64_t>(gst_clock_get_time(showClock_.get()));
    const auto network = static_cast<std::int64_t>(gst_clock_get_time(networkClock_.get()));
    const auto after = static_cast<std::int64_t>(gst_clock_get_time(showClock_.get()));
    return before / 2 + after / 2 - network;
}

void SharedClock::setState(State state) {
    if (state == state_) return;
    state_ = state;
    if (callback_) callback_(state);
}

}  // namespace bw
