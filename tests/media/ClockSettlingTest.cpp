#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/ClockSettling.h"
#include "media/ClockTestUnits.h"

namespace bw {
namespace {

using test::kMs;
using test::kS;

// One exchange: round trip, and the estimate minus the answer at either end.
struct Exchange {
    std::int64_t roundTrip;
    std::int64_t atSend;
    std::int64_t atReceipt;
};

// A run of exchanges then a gap, read at a host time after the restart at 0.
TEST(ClockSettlingTest, SettlesOnlyOnEnoughCloseExchangesAndAClosingGap) {
    const Exchange close{100'000, -60'000, 40'000};           // 10 us off
    const Exchange far{100'000, 4 * kMs, 4 * kMs + 100'000};  // 4 ms off
    const Exchange starved{60 * kMs, 30 * kMs, 90 * kMs};     // says nothing
    const Exchange asymmetric{2 * kMs, -3 * kMs, kMs};        // 1 ms off, at the limit
    const struct {
        const char* what;
        std::vector<Exchange> exchanges;
        std::int64_t gap;
        std::int64_t at;
        bool settled;
    } cases[] = {
        {"four close exchanges after the minimum", {close, close, close, close}, 0, 4 * kS, true},
        {"before the minimum time", {close, close, close, close}, 0, 2 * kS, false},
        {"three close exchanges are too few", {close, close, close}, 0, 4 * kS, false},
        {"a far one starts the count again",
         {close, close, far, close, close, close},
         0,
         4 * kS,
         false},
        {"starved exchanges neither count nor reset",
         {close, starved, close, starved, close, close},
         0,
         4 * kS,
         true},
        {"an error at the limit counts",
         {asymmetric, asymmetric, asymmetric, asymmetric},
         0,
         4 * kS,
         true},
        {"the show clock still slewing", {close, close, close, close}, 3 * kMs, 4 * kS, false},
        {"slewing backwards likewise", {close, close, close, close}, -3 * kMs, 4 * kS, false},
        {"far exchanges give up in the end",
         {far, far, far, far},
         3 * kMs,
         ClockSettling::kGiveUpNanoseconds,
         true},
        {"no exchanges at all until then", {}, 0, ClockSettling::kGiveUpNanoseconds - 1, false},
    };
    for (const auto& c : cases) {
        ClockSettling settling;
        settling.restart(0);
        for (const Exchange& e : c.exchanges)
            settling.addExchange(e.roundTrip, e.atSend, e.atReceipt);
        settling.setFollowingGap(c.gap);
        EXPECT_EQ(settling.settled(c.at), c.settled) << c.what;
    }
}

// A restart forgets what came before it: a clock back from being lost counts
// its exchanges anew, from its new start.
TEST(ClockSettlingTest, ARestartForgetsEarlierExchanges) {
    ClockSettling settling;
    settling.restart(0);
    for (int k = 0; k < 4; ++k)
        settling.addExchange(100'000, -50'000, 50'000);
    settling.setFollowingGap(0);
    ASSERT_TRUE(settling.settled(4 * kS));
    EXPECT_EQ(settling.lastError(), 0);
    settling.restart(10 * kS);
    EXPECT_FALSE(settling.settled(14 * kS));
    EXPECT_FALSE(settling.lastError().has_value());
    settling.addExchange(100'000, 2 * kMs, 2 * kMs);
    EXPECT_EQ(settling.lastError(), 2 * kMs);
}

}  // namespace
}  // namespace bw
