#include "platform/SoundSinks.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <tuple>

namespace bw {

namespace {

// How long a server may take to answer before it counts as not answering: a
// server that accepts the connection and then hangs must not hold the
// window or a movie's start for good.
constexpr auto kAnswerWithin = std::chrono::seconds(2);
constexpr int kPollMicroseconds = 100'000;

struct MainloopFree {
    void operator()(pa_mainloop* loop) const noexcept { pa_mainloop_free(loop); }
};
struct ContextRelease {
    void operator()(pa_context* context) const noexcept {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
// Cancelled first: an operation given up on must never call back into a
// listing that is gone.
struct OperationRelease {
    void operator()(pa_operation* operation) const noexcept {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
};

// Runs `loop` until `done`; false where the loop fails or the deadline passes
// first.
bool runUntil(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline,
              const std::function<bool()>& done) {
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (pa_mainloop_prepare(loop, kPollMicroseconds) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
    }
    return true;
}

struct Listing {
    std::vector<SoundSink> sinks;
    bool ended = false;
    bool failed = false;
};

void addSink(pa_context*, const pa_sink_info* info, int endOfList, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (endOfList != 0) {
        listing->ended = true;
        listing->failed = endOfList < 0;
        return;
    }
    if (info == nullptr || info->name == nullptr || *info->name == '\0') return;
    SoundSink sink;
    sink.name = info->name;
    sink.description =
        info->description != nullptr && *info->description != '\0' ? info->description : sink.name;
    listing->sinks.push_back(std::move(sink));
}

}  // namespace

std::optional<std::vector<SoundSink>> SoundSinks::list() {
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWithin;
    const std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
    if (!loop) return std::nullopt;
    const std::unique_ptr<pa_context, ContextRelease> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Beamwright"));
    if (!context) return std::nullopt;
    // Never starts a server of its own: where none runs, there is none.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::nullopt;
    }
    const auto settled = [&] {
        const pa_context_state_t state = pa_context_get_state(context.get());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!runUntil(loop.get(), deadline, settled) ||
        pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
        return std::nullopt;
    }
    Listing listing;
    const std::unique_ptr<pa_operation, OperationRelease> operation(
        pa_context_get_sink_info_list(context.get(), addSink, &listing));
    if (!operation) return std::nullopt;
    if (!runUntil(loop.get(), deadline, [&] { return listing.ended; }) || listing.failed) {
        return std::nullopt;
    }
    std::sort(listing.sinks.begin(), listing.sinks.end(),
              [](const SoundSink& a, const SoundSink& b) {
                  return std::tie(a.description, a.name) < std::tie(b.description, b.name);
              });
    return std::move(listing.sinks);
}

bool SoundSinks::contains(const std::vector<SoundSink>& sinks, const std::string& name) {
    return std::any_of(sinks.begin(), sinks.end(),
                       [&](const SoundSink& sink) { return sink.name == name; });
}

}  // namespace bw
