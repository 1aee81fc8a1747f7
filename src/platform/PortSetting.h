#pragma once

#include <cstdint>
#include <iosfwd>

namespace bw {

// Names of the environment variables that move the fixed remote-control
// ports, so that test runs on one machine do not collide.
inline constexpr const char* kOscPortVariable = "BEAMWRIGHT_OSC_PORT";
inline constexpr const char* kCrepPortVariable = "BEAMWRIGHT_CREP_PORT";

// The port environment variable `variable` names (decimal, 1 to 65535, the
// whole value), or `defaultPort` when it is unset or empty. A value that is
// not a port is ignored with one line on `log` (standard error by default).
// Any thread.
std::uint16_t portSetting(const char* variable, std::uint16_t defaultPort);
std::uint16_t portSetting(const char* variable, std::uint16_t defaultPort, std::ostream& log);

}  // namespace bw
