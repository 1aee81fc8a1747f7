#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "media/ClockSamples.h"
#include "media/ClockTestUnits.h"

namespace bw {
namespace {

using test::kMs;
using test::kS;

using Verdict = ClockSamples::Verdict;

// One reading: when it was taken (internal time), how long the bracketing
// reads took, and how far the network time stood from the prediction.
struct Reading {
    std::int64_t at;
    std::int64_t bracket;
    std::int64_t off;
    bool predicted = true;
};

TEST(ClockSamplesTest, TakesOnlyUninterruptedReadingsNearThePrediction) {
    const struct {
        const char* what;
        std::vector<Reading> readings;
        std::vector<Verdict> verdicts;
    } cases[] = {
        {"near readings are taken, either side",
         {{0, 20'000, 4 * kMs}, {100 * kMs, 20'000, -5 * kMs}},
         {Verdict::Take, Verdict::Take}},
        {"the first reading has nothing to be judged against",
         {{0, 20'000, 80 * kMs, false}},
         {Verdict::Take}},
        {"an interrupted reading says nothing, however near",
         {{0, 2 * kMs, 0}, {100 * kMs, -1, 0}},
         {Verdict::Interrupted, Verdict::Interrupted}},
        {"a passing disturbance is held back, and the next near one taken",
         {{0, 20'000, 80 * kMs}, {2 * kS, 20'000, 80 * kMs}, {2'100 * kMs, 20'000, kMs}},
         {Verdict::HeldBack, Verdict::HeldBack, Verdict::Take}},
        {"off for long enough is the leader's clock having moved",
         {{0, 20'000, 80 * kMs},
          {2'900 * kMs, 20'000, 80 * kMs},
          {3 * kS, 20'000, -80 * kMs},
          {3'100 * kMs, 20'000, 80 * kMs}},
         {Verdict::HeldBack, Verdict::HeldBack, Verdict::Step, Verdict::HeldBack}},
        {"a near reading starts the wait for a step again",
         {{0, 20'000, 80 * kMs}, {kS, 20'000, 0}, {3'500 * kMs, 20'000, 80 * kMs}},
         {Verdict::HeldBack, Verdict::Take, Verdict::HeldBack}},
        {"interrupted readings neither start nor end the wait",
         {{0, 20'000, 80 * kMs}, {kS, 5 * kMs, 0}, {3 * kS, 20'000, 80 * kMs}},
         {Verdict::HeldBack, Verdict::Interrupted, Verdict::Step}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClockSamples samples;
        std::vector<Verdict> verdicts;
        for (const Reading& r : c.readings) {
            const std::int64_t before = 7 * kS + r.at;
            const std::int64_t predicted = 40 * kS + r.at;
            verdicts.push_back(
                samples.judge(before, before + r.bracket,
                              r.predicted ? std::optional<std::int64_t>(predicted) : std::nullopt,
                              predicted + r.off));
        }
        EXPECT_EQ(verdicts, c.verdicts);
    }
}

TEST(ClockSamplesTest, CountsTheReadingsHeldBackSinceTheLastTaken) {
    ClockSamples samples;
    for (int i = 0; i < 3; ++i)
        samples.judge(i * kMs, i * kMs + 1, 0, 50 * kMs);
    EXPECT_EQ(samples.heldBack(), 3);
    samples.judge(4 * kMs, 4 * kMs + 1, 0, 0);
    EXPECT_EQ(samples.heldBack(), 0);
}

}  // namespace
}  // namespace bw
