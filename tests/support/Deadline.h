#pragma once

// Deadlines for tests that wait on a condition. A deadline only ends a test
// that went wrong, so it is generous, and longer still where the code runs
// slower: under the sanitizers, and on a machine that says it is slow.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>

namespace bw::test {

// The factor every waiting deadline is multiplied by: 1 in a plain build, 3
// under AddressSanitizer, 4 under ThreadSanitizer, times BW_TEST_TIME_SCALE
// where that is set to a number of at least 1.
inline double deadlineScale() {
    double scale = 1.0;
#if defined(__SANITIZE_THREAD__)
    scale = 4.0;
#elif defined(__SANITIZE_ADDRESS__)
    scale = 3.0;
#endif
    if (const char* factor = std::getenv("BW_TEST_TIME_SCALE")) {
        const double asked = std::strtod(factor, nullptr);
        if (asked >= 1.0) scale *= asked;
    }
    return scale;
}

// `base` scaled for this build and machine.
template <typename Rep, typename Period>
std::chrono::milliseconds scaled(std::chrono::duration<Rep, Period> base) {
    const auto milliseconds = std::chrono::duration<double, std::milli>(base).count();
    return std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds * deadlineScale()));
}

// Asks `done` every few milliseconds until it holds (true) or `timeout`
// passes (false): for what another thread or process makes true. Work
// posted to the main queue needs the queue pumped instead.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace bw::test
