#include "media/ClockSettling.h"

#include <algorithm>
#include <cstdlib>

namespace bw {

void ClockSettling::restart(std::int64_t hostTime) {
    since_ = hostTime;
    goodInARow_ = 0;
    lastExchangeError_.reset();
    followingGap_.reset();
}

void ClockSettling::addExchange(std::int64_t roundTrip, std::int64_t errorAtSend,
                                std::int64_t errorAtReceipt) {
    if (roundTrip < 0 || roundTrip >= kSlowRoundTripNanoseconds) return;
    const std::int64_t error = std::abs(errorAtSend / 2 + errorAtReceipt / 2);
    lastExchangeError_ = error;
    goodInARow_ = error <= kSettledErrorNanoseconds ? goodInARow_ + 1 : 0;
}

bool ClockSettling::settled(std::int64_t hostTime) const {
    if (hostTime - since_ < kMinimumNanoseconds) return false;
    if (gaveUp(hostTime)) return true;
    return goodInARow_ >= kSettledExchanges && followingGap_ &&
           std::abs(*followingGap_) <= kSettledErrorNanoseconds;
}

bool ClockSettling::gaveUp(std::int64_t hostTime) const {
    return hostTime - since_ >= kGiveUpNanoseconds;
}

std::optional<std::int64_t> ClockSettling::lastError() const {
    if (!lastExchangeError_) return std::nullopt;
    return std::max(*lastExchangeError_, followingGap_ ? std::abs(*followingGap_) : 0);
}

}  // namespace bw
