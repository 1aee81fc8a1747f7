#include "media/ClockSamples.h"

#include <cstdlib>

namespace bw {

ClockSamples::Verdict ClockSamples::judge(std::int64_t internalBefore, std::int64_t internalAfter,
                                          std::optional<std::int64_t> predicted,
                                          std::int64_t network) {
    if (internalAfter - internalBefore > kBracketNanoseconds || internalAfter < internalBefore) {
        return Verdict::Interrupted;
    }
    if (!predicted || std::abs(network - *predicted) <= kOutlierNanoseconds) {
        offSince_.reset();
        heldBack_ = 0;
        return Verdict::Take;
    }
    if (!offSince_) offSince_ = internalBefore;
    if (internalBefore - *offSince_ >= kStepAfterNanoseconds) {
        offSince_.reset();
        heldBack_ = 0;
        return Verdict::Step;
    }
    ++heldBack_;
    return Verdict::HeldBack;
}

}  // namespace bw
