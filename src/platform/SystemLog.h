#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The system log: one syslog(3) line (ident "beamwright", facility LOG_USER)
// per log() call. Newlines and other line breaks inside a message become
// spaces, so a message is never split over several lines.
//
// Any thread. A sink, while set, receives every line as well (already folded),
// one at a time and under the log's lock: a sink must not log itself.
class SystemLog {
public:
    using Sink = std::function<void(std::string_view line)>;

    SystemLog();
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;

    // The process's log, created on first use and never destroyed.
    static SystemLog& shared();

    void log(std::string_view message);

    // Installs `sink` (empty: none) and returns the one it replaces.
    Sink setSink(Sink sink);

    // Test helper: collects the lines of SystemLog::shared() while it lives,
    // then puts the previous sink back. Lines still reach syslog.
    class ScopedCapture {
    public:
        ScopedCapture();
        ~ScopedCapture();
        ScopedCapture(const ScopedCapture&) = delete;
        ScopedCapture& operator=(const ScopedCapture&) = delete;

        // Any thread; a copy of the lines so far, oldest first.
        std::vector<std::string> lines() const;

    private:
        Sink previous_;
        mutable std::mutex mutex_;
        // Guarded by mutex_.
        std::vector<std::string> lines_;
    };

private:
    std::mutex mutex_;
    // Guarded by mutex_.
    Sink sink_;
};

}  // namespace bw
