#pragma once

// Nanoseconds, the unit of the clock samples' and settling's times.

#include <cstdint>

namespace bw::test {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kS = 1'000'000'000;

}  // namespace bw::test
