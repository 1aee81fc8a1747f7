#pragma once

#include <string_view>

namespace bw {

// Exit status of a process stopped by fatalError (EX_SOFTWARE).
inline constexpr int kFatalExitStatus = 70;

// Ends the process on a broken installation or platform fault (no rendering
// context, a missing shader): writes "beamwright: fatal: <message>" to
// standard error and the system log, then exits at once with
// kFatalExitStatus, without running static destructors (other threads may
// still be using them). Any thread.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace bw
