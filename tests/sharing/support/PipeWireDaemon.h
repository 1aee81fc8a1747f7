#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace bw::test {

// Whether `program` is an executable on the PATH.
bool programOnPath(const std::string& program);
// Whether GStreamer has the pipewiresrc element (and gst-launch-1.0 exists).
bool havePipeWireSource();

// A child process started without a shell (fork and execve of the program
// found on the PATH). It is killed if this process dies first; otherwise the
// destructor kills and reaps it when it still runs.
class ChildProcess {
public:
    ChildProcess() = default;
    // `stdoutFd`: where its standard output goes (-1: /dev/null); standard
    // error goes to `stderrPath` ("": /dev/null); standard input comes from
    // `stdinFd` (-1: /dev/null). Check running() after.
    ChildProcess(const std::vector<std::string>& argv, int stdoutFd,
                 const std::filesystem::path& stderrPath, int stdinFd = -1);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Whether it was started and has not been reaped yet.
    bool running();
    // Waits up to `timeout` for it to end; its wait status, or nothing if it
    // still runs (or never ran).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Sends `signal` and reaps it, with SIGKILL after `grace` if it is still
    // there. Returns the wait status (nothing if it was not running).
    std::optional<int> stop(int signal, std::chrono::milliseconds grace);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs `argv` to its end (at most `timeout`) and returns its standard output;
// nothing when it could not run, timed out or exited non-zero.
std::optional<std::string> runAndCapture(const std::vector<std::string>& argv,
                                         std::chrono::milliseconds timeout);

// A private PipeWire daemon for one test process. The constructor points this
// process's XDG_RUNTIME_DIR at a folder of its own (so connections, pw-dump,
// pw-link and GStreamer find this daemon and no other) and clears
// PIPEWIRE_REMOTE and PIPEWIRE_RUNTIME_DIR; the destructor stops the daemon
// and puts the variables back. Main thread only, and the constructor before
// any PipeWire connection exists.
class PipeWireDaemon {
public:
    PipeWireDaemon();
    ~PipeWireDaemon();
    PipeWireDaemon(const PipeWireDaemon&) = delete;
    PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

    // Starts `pipewire` on the runtime folder (again after kill()) and waits
    // until its socket accepts connections. False when it did not come up
    // within 10 s.
    bool start();
    // SIGTERM, SIGKILL after 3 s; reaped.
    void stop();
    // SIGKILL at once, reaped: the socket and lock files stay behind, as a
    // crashed daemon leaves them.
    void kill();
    // SIGSTOP and SIGCONT: a daemon that hangs, keeping its socket open and
    // answering nothing, and one that comes back from that.
    void freeze();
    void thaw();
    bool running() { return process_.running(); }

    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
    // Everything the daemons wrote to standard error so far.
    std::string log() const;

private:
    TempDir dir_;
    std::filesystem::path runtimeDir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
    ChildProcess process_;
};

// A node as pw-dump shows it.
struct PipeWireNode {
    std::uint32_t id = 0;
    std::string name;
    std::string mediaClass;
    std::string applicationName;
    std::vector<std::uint32_t> outputPorts;
    std::vector<std::uint32_t> inputPorts;
};

// The daemon's nodes, from one pw-dump run; empty when it fails.
std::vector<PipeWireNode> listNodes();
std::optional<PipeWireNode> findNode(const std::string& name);
// Waits until the nodes named `source` and `sink` both have ports, then links
// the output ports of the one to the input ports of the other with pw-link,
// in order. False when that did not happen within `timeout`.
bool linkNodes(const std::string& source, const std::string& sink,
               std::chrono::milliseconds timeout);

// An outside consumer of a published output: gst-launch-1.0 running
// `pipewiresrc target-object=NAME num-buffers=N` with BGRA caps of the given
// size into files, under a node name of its own. No session manager runs, so
// link() connects it to the output with pw-link.
class OutsideConsumer {
public:
    // Starts the pipeline at once.
    OutsideConsumer(const std::string& targetName, std::uint32_t width, std::uint32_t height,
                    int frameCount);
    OutsideConsumer(const OutsideConsumer&) = delete;
    OutsideConsumer& operator=(const OutsideConsumer&) = delete;

    // Waits until the output named targetName and the consumer both have
    // their ports, then links every output port of the one to the input
    // ports of the other. False when that did not happen within `timeout`.
    bool link(std::chrono::milliseconds timeout);
    // Waits for the pipeline to finish; the frames it received, one file per
    // buffer, as they came (BGRA, width * height * 4 bytes when right). Empty
    // when it did not finish within `timeout` (it is killed then).
    std::vector<std::vector<std::uint8_t>> frames(std::chrono::milliseconds timeout);
    // Its wait status once frames() has seen it end.
    std::optional<int> exitStatus() const { return exitStatus_; }
    const std::string& nodeName() const { return nodeName_; }
    // What gst-launch-1.0 wrote to standard error.
    std::string errors() const;

private:
    TempDir dir_;
    std::string targetName_;
    std::string nodeName_;
    std::optional<int> exitStatus_;
    ChildProcess process_;
};

// Starts a consumer, links it and returns the frames it received; empty on
// any failure.
std::vector<std::vector<std::uint8_t>> receiveFrames(
    const std::string& targetName, std::uint32_t width, std::uint32_t height, int frameCount,
    std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace bw::test
