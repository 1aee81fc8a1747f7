#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace bw {

class MediaEngine;
struct DisplayTimeStamp;

// Writes one line per rendered frame, for measuring how machines that share
// a show agree (tests and the sync benchmark):
//   REALTIME SHOWTIME PROGRESS CUE RGB
// REALTIME: the frame's display time on CLOCK_REALTIME (ns), which every
// network namespace on one kernel shares, so records of several instances
// can be laid side by side; SHOWTIME: the show clock at that moment (ns; the
// host time without a show clock); PROGRESS: the crossfade's progress, "-"
// between fades; CUE: the current cue's ID; RGB: the centre pixel of the
// first output's frame as six hex digits ("-" without outputs).
//
// Installed as the engine's tick observer; records on the render thread.
class TickRecorder {
public:
    // Null, with the reason in `error`, when the file cannot be written.
    static std::unique_ptr<TickRecorder> open(const std::string& path, std::string* error);
    ~TickRecorder();
    TickRecorder(const TickRecorder&) = delete;
    TickRecorder& operator=(const TickRecorder&) = delete;

    // Main thread: makes the engine's ticks record here (its display link is
    // stopped for the change). The recorder must outlive the engine's ticks.
    void attach(MediaEngine& engine);

private:
    explicit TickRecorder(std::FILE* file) : file_(file) {}
    // Render thread.
    void record(MediaEngine& engine, const DisplayTimeStamp& timeStamp,
                const std::optional<double>& progress);

    std::FILE* file_;
};

}  // namespace bw
