// Tick pacing of the display link against a naive render loop.
//
// Both run for the same time at the same rate and do the same simulated
// render work each tick (a busy wait of --work-us microseconds). For every
// tick the error is |tick start - ideal deadline| on the grid t0 + k * period:
//   - the display link: ticks start on that grid's absolute deadlines; the
//     ideal deadline is the stamp's hostTime less one period;
//   - the baseline: a thread that does the work, then sleep_for(period), and
//     again; tick k's ideal deadline is its first tick's start + k * period;
//   - for reference, the floor: a bare thread that sleeps with clock_nanosleep
//     to each absolute deadline, without the link around it. What it measures
//     is the machine's own wake-up latency (large and noisy in a virtual
//     machine), which no timer built on sleeping can beat.
// The loop threads get the same kind of priority and timer slack as the
// link's thread, so the comparison is between ways of waiting.
//
// Usage: bench_display_link [--seconds N] [--rate HZ] [--work-us N]

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "render/DisplayLink.h"

namespace {

std::uint64_t monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) {
    return a > b ? a - b : b - a;
}

void busyUntil(std::uint64_t until) {
    while (monotonicNow() < until) {
    }
}

struct Summary {
    std::size_t ticks = 0;
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0;
};

Summary summarise(std::vector<std::uint64_t> errorsNs) {
    Summary summary;
    summary.ticks = errorsNs.size();
    if (errorsNs.empty()) return summary;
    std::sort(errorsNs.begin(), errorsNs.end());
    const auto at = [&](double fraction) {
        const auto index =
            static_cast<std::size_t>(fraction * static_cast<double>(errorsNs.size() - 1));
        return static_cast<double>(errorsNs[index]) / 1000.0;
    };
    summary.medianUs = at(0.5);
    summary.p99Us = at(0.99);
    summary.maxUs = static_cast<double>(errorsNs.back()) / 1000.0;
    return summary;
}

void print(const char* name, const Summary& summary) {
    std::printf("%-34s %6zu ticks   median %10.1f us   p99 %10.1f us   max %10.1f us\n", name,
                summary.ticks, summary.medianUs, summary.p99Us, summary.maxUs);
}

// Gives the calling thread the same kind of priority, and the same timer
// slack, as the link's thread.
void matchPriority(bw::DisplayLink::ThreadPriority priority) {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (priority == bw::DisplayLink::ThreadPriority::RealTime) {
        sched_param param{};
        param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
        ::sched_setscheduler(0, SCHED_FIFO, &param);
    } else if (priority == bw::DisplayLink::ThreadPriority::Nice) {
        for (int nice = -10; nice < 0; ++nice) {
            if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0) break;
        }
    }
}

std::vector<std::uint64_t> runDisplayLink(bw::DisplayLink& link, double seconds,
                                          std::uint64_t workNs) {
    std::mutex mutex;
    std::vector<std::uint64_t> errors;
    errors.reserve(static_cast<std::size_t>(seconds * link.refreshRate() * 1.1) + 16);
    link.setOutputCallback([&](const bw::DisplayTimeStamp& stamp) {
        const std::uint64_t began = monotonicNow();
        {
            std::lock_guard lock(mutex);
            errors.push_back(distance(began, stamp.hostTime - stamp.refreshPeriod));
        }
        busyUntil(began + workNs);
    });
    if (!link.start()) {
        std::fprintf(stderr, "the display link did not start\n");
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    link.stop();
    return errors;
}

enum class Wait { RelativeSleep, AbsoluteDeadline };

std::vector<std::uint64_t> runLoop(Wait wait, std::uint64_t periodNs, double seconds,
                                   std::uint64_t workNs, bw::DisplayLink::ThreadPriority priority) {
    std::vector<std::uint64_t> errors;
    std::thread loop([&] {
        matchPriority(priority);
        const auto span = static_cast<std::uint64_t>(seconds * 1e9);
        const std::uint64_t origin = monotonicNow();
        for (std::uint64_t k = 0;; ++k) {
            const std::uint64_t began = monotonicNow();
            if (began - origin >= span) break;
            errors.push_back(distance(began, origin + k * periodNs));
            busyUntil(began + workNs);
            if (wait == Wait::RelativeSleep) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(periodNs));
            } else {
                const std::uint64_t next = origin + (k + 1) * periodNs;
                timespec until{};
                until.tv_sec = static_cast<time_t>(next / 1'000'000'000u);
                until.tv_nsec = static_cast<long>(next % 1'000'000'000u);
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
                }
            }
        }
    });
    loop.join();
    return errors;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    double rate = 60.0;
    double workUs = 1000.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            rate = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--work-us") == 0) {
            workUs = std::atof(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--rate HZ] [--work-us N]\n", argv[0]);
            return 2;
        }
    }
    if (argc % 2 == 0 || seconds <= 0 || workUs < 0 || !bw::DisplayLink::isValidRefreshRate(rate)) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--rate HZ] [--work-us N]\n", argv[0]);
        return 2;
    }
    const auto workNs = static_cast<std::uint64_t>(workUs * 1000.0);

    bw::DisplayLink link(rate);
    std::printf("%.3f Hz (period %llu ns), %.1f s each, %.0f us of work per tick\n", rate,
                static_cast<unsigned long long>(link.refreshPeriodNs()), seconds, workUs);

    const Summary linked = summarise(runDisplayLink(link, seconds, workNs));
    const auto priority = link.threadPriority();
    std::printf("render thread priority: %s (the loop threads get the same)\n",
                std::string(bw::DisplayLink::priorityName(priority)).c_str());
    const Summary baseline =
        summarise(runLoop(Wait::RelativeSleep, link.refreshPeriodNs(), seconds, workNs, priority));
    const Summary floor = summarise(
        runLoop(Wait::AbsoluteDeadline, link.refreshPeriodNs(), seconds, workNs, priority));

    std::printf("\n|tick start - ideal deadline|\n");
    print("DisplayLink (absolute deadlines)", linked);
    std::printf("%-34s %6llu slots skipped\n", "",
                static_cast<unsigned long long>(link.slotsSkipped()));
    print("baseline (work + sleep_for)", baseline);
    print("floor (bare clock_nanosleep loop)", floor);
    if (baseline.p99Us > 0) {
        std::printf("\np99 ratio DisplayLink / baseline: %.5f\n", linked.p99Us / baseline.p99Us);
    }
    std::printf("aim (DisplayLink p99 under 1 ms): %s\n",
                linked.p99Us < 1000.0 ? "holds" : "does not hold");
    return 0;
}
