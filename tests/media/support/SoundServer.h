#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sharing/support/PipeWireDaemon.h"

namespace bw::test {

// A private sound server for one test process: a session bus of its own,
// PipeWire, its session manager (which links streams to the output they ask
// for) and its PulseAudio server, all on PipeWireDaemon's runtime folder, with
// the session manager's state kept in a folder of the test's. Sinks are null
// sinks the test adds; their monitors carry what is played into them. Main
// thread only, and before any sound server connection exists.
class SoundServer {
public:
    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // The programs it needs that are not on the PATH.
    static std::vector<std::string> missingPrograms();

    // Starts the whole server and waits until its PulseAudio server answers.
    // None when it runs; otherwise what did not come up.
    std::optional<std::string> start();
    // Adds a null sink and waits until the server lists it. False after
    // `timeout`. The session manager makes the sink of the highest
    // `priority` the default.
    bool addSink(const std::string& name, const std::string& description, int priority,
                 std::chrono::milliseconds timeout);
    // Whether a stream is linked into sink `name` now (pw-link's view).
    static bool hasInput(const std::string& name);

    // What the daemons wrote to standard error.
    std::string log() const;

private:
    PipeWireDaemon pipewire_;
    TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
    ChildProcess bus_;
    ChildProcess sessionManager_;
    ChildProcess pulse_;
};

// The loudest sample, in dBFS, that sink `name` is given (read from its
// monitor) over `intervals` tenths of a second of its sound; none when
// nothing was recorded within `timeout`. Digital silence reads as -350.
std::optional<double> recordPeak(const std::string& name, int intervals,
                                 std::chrono::milliseconds timeout);

}  // namespace bw::test
