#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace bw {

// How many more file descriptors the process may open: its soft limit
// (RLIMIT_NOFILE) less the descriptors open now. Parts that cannot fail
// softly when the descriptors run out (GLib ends the process when it cannot
// make a main context's wake-up pipe) ask first and refuse their work.
//
// Any thread; each call counts anew (one listing of /proc/self/fd, tens of
// microseconds for a few hundred descriptors).
class DescriptorBudget {
public:
    struct Count {
        std::size_t open = 0;
        std::size_t limit = 0;
        std::size_t left() const { return open < limit ? limit - open : 0; }
    };

    // The count now. A listing that fails for want of a descriptor counts as
    // none left; none when the count cannot be had at all (no /proc).
    static std::optional<Count> count();

    // Why `needed` more descriptors, on top of `reserve` kept for the rest of
    // the process, cannot be had now ("too few file descriptors left: 40 of
    // 48 in use"); none when they can, or when they cannot be counted.
    static std::optional<std::string> shortage(std::size_t needed, std::size_t reserve);
};

}  // namespace bw
