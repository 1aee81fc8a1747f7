#include "sharing/support/PipeWireDaemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/FileDescriptor.h"
#include "support/Deadline.h"

extern char** environ;

namespace bw::test {

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::optional<std::string> findOnPath(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0 ? std::optional(program) : std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (;;) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        std::string candidate = concat({folder.empty() ? "." : folder, "/", program});
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(colon + 1);
    }
}

bool socketAnswers(const std::filesystem::path& path) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (!fd.valid() || text.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A JSON value pw-dump printed as a string or as a number, as text.
std::string text(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    return {};
}

std::atomic<int> consumerCount = 0;

}  // namespace

bool programOnPath(const std::string& program) {
    return findOnPath(program).has_value();
}

bool havePipeWireSource() {
    return programOnPath("gst-launch-1.0") &&
           runAndCapture({"gst-inspect-1.0", "pipewiresrc"}, 20s).has_value();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, int stdoutFd,
                           const std::filesystem::path& stderrPath, int stdinFd) {
    if (argv.empty()) return;
    const std::optional<std::string> program = findOnPath(argv[0]);
    if (!program) return;
    // Everything the child needs is prepared here: between fork and execve
    // only async-signal-safe calls are allowed.
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const FileDescriptor devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const FileDescriptor errorFile(
        stderrPath.empty()
            ? -1
            : ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    const int input = stdinFd >= 0 ? stdinFd : devNull.get();
    const int output = stdoutFd >= 0 ? stdoutFd : devNull.get();
    const int error = errorFile.valid() ? errorFile.get() : devNull.get();
    char** const environment = environ;
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(error, STDERR_FILENO);
        ::execve(program->c_str(), arguments.data(), environment);
        ::_exit(127);
    }
    if (pid > 0) pid_ = pid;
}

ChildProcess::~ChildProcess() {
    stop(SIGKILL, 5s);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop(SIGKILL, 5s);
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == pid_) {
        status_ = status;
        return false;
    }
    return result == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (running()) {
        if (SteadyClock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds grace) {
    if (!running()) return status_;
    ::kill(pid_, signal);
    if (wait(grace)) return status_;
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
    return status_;
}

std::optional<std::string> runAndCapture(const std::vector<std::string>& argv,
                                         std::chrono::milliseconds timeout) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    FileDescriptor readEnd(fds[0]);
    FileDescriptor writeEnd(fds[1]);
    ChildProcess child(argv, writeEnd.get(), {});
    writeEnd.reset();
    if (!child.running()) return std::nullopt;

    const auto deadline = SteadyClock::now() + timeout;
    std::string output;
    char buffer[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left <= 0ms) return std::nullopt;  // the child is killed on the way out
        pollfd entry{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        output.append(buffer, static_cast<std::size_t>(count));
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    const std::optional<int> status = child.wait(std::max(left, 0ms));
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
    return output;
}

PipeWireDaemon::PipeWireDaemon() : runtimeDir_(dir_ / "runtime") {
    std::filesystem::create_directories(runtimeDir_);
    std::filesystem::permissions(runtimeDir_, std::filesystem::perms::owner_all);
    for (const char* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE"}) {
        const char* value = std::getenv(name);
        savedEnvironment_.emplace_back(
            name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
}

PipeWireDaemon::~PipeWireDaemon() {
    stop();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

bool PipeWireDaemon::start() {
    if (process_.running()) return true;
    process_ = ChildProcess({"pipewire"}, -1, dir_ / "pipewire.log");
    const auto deadline = SteadyClock::now() + 10s;
    while (process_.running()) {
        if (socketAnswers(runtimeDir_ / "pipewire-0")) return true;
        if (SteadyClock::now() >= deadline) break;
        std::this_thread::sleep_for(2ms);
    }
    process_.stop(SIGKILL, 0ms);
    return false;
}

void PipeWireDaemon::stop() {
    thaw();  // a stopped process keeps SIGTERM pending
    process_.stop(SIGTERM, 3s);
}

void PipeWireDaemon::kill() {
    process_.stop(SIGKILL, 3s);
}

void PipeWireDaemon::freeze() {
    if (process_.running()) ::kill(process_.pid(), SIGSTOP);
}

void PipeWireDaemon::thaw() {
    if (process_.running()) ::kill(process_.pid(), SIGCONT);
}

std::string PipeWireDaemon::log() const {
    return readFile(dir_ / "pipewire.log");
}

std::vector<PipeWireNode> listNodes() {
    const std::optional<std::string> dump = runAndCapture({"pw-dump"}, 10s);
    if (!dump) return {};
    const nlohmann::json objects = nlohmann::json::parse(*dump, nullptr, false);
    if (!objects.is_array()) return {};

    std::vector<PipeWireNode> nodes;
    for (const nlohmann::json& object : objects) {
        if (object.value("type", "") != "PipeWire:Interface:Node") continue;
        const nlohmann::json props = object["info"]["props"];
        if (!props.is_object()) continue;
        PipeWireNode node;
        node.id = object.value("id", 0u);
        node.name = text(props.value("node.name", nlohmann::json()));
        node.mediaClass = text(props.value("media.class", nlohmann::json()));
        node.applicationName = text(props.value("application.name", nlohmann::json()));
        nodes.push_back(node);
    }
    for (const nlohmann::json& object : objects) {
        if (object.value("type", "") != "PipeWire:Interface:Port") continue;
        const nlohmann::json info = object["info"];
        if (!info.is_object() || !info["props"].is_object()) continue;
        const std::string nodeId = text(info["props"].value("node.id", nlohmann::json()));
        const std::string direction = info.value("direction", "");
        for (PipeWireNode& node : nodes) {
            if (std::to_string(node.id) != nodeId) continue;
            (direction == "output" ? node.outputPorts : node.inputPorts)
                .push_back(object.value("id", 0u));
        }
    }
    for (PipeWireNode& node : nodes) {
        std::sort(node.outputPorts.begin(), node.outputPorts.end());
        std::sort(node.inputPorts.begin(), node.inputPorts.end());
    }
    return nodes;
}

std::optional<PipeWireNode> findNode(const std::string& name) {
    for (PipeWireNode& node : listNodes()) {
        if (node.name == name) return std::move(node);
    }
    return std::nullopt;
}

namespace {

// The daemon's links, output port to input port, from one pw-dump run.
std::set<std::pair<std::uint32_t, std::uint32_t>> listLinks() {
    std::set<std::pair<std::uint32_t, std::uint32_t>> links;
    const std::optional<std::string> dump = runAndCapture({"pw-dump"}, 10s);
    if (!dump) return links;
    const nlohmann::json objects = nlohmann::json::parse(*dump, nullptr, false);
    if (!objects.is_array()) return links;
    for (const nlohmann::json& object : objects) {
        if (object.value("type", "") != "PipeWire:Interface:Link") continue;
        const nlohmann::json info = object["info"];
        if (!info.is_object()) continue;
        links.emplace(info.value("output-port-id", 0u), info.value("input-port-id", 0u));
    }
    return links;
}

}  // namespace

bool linkNodes(const std::string& source, const std::string& sink,
               std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    // What stood in the way last, said when the time is up.
    std::string problem = "pw-dump never answered";
    while (SteadyClock::now() < deadline) {
        std::optional<PipeWireNode> from;
        std::optional<PipeWireNode> to;
        std::string seen;
        for (PipeWireNode& node : listNodes()) {
            seen += concat({" \"", node.name, "\" (", std::to_string(node.inputPorts.size()),
                            " in, ", std::to_string(node.outputPorts.size()), " out)"});
            if (node.name == source && !node.outputPorts.empty()) from = node;
            if (node.name == sink && !node.inputPorts.empty()) to = node;
        }
        if (from && to) {
            // A link made by an earlier try that pw-link reported as failed
            // counts: linking the same ports again fails for good.
            const auto links = listLinks();
            bool linked = true;
            const std::size_t pairs = std::min(from->outputPorts.size(), to->inputPorts.size());
            for (std::size_t i = 0; i < pairs; ++i) {
                const std::string out = std::to_string(from->outputPorts[i]);
                const std::string in = std::to_string(to->inputPorts[i]);
                if (links.count({from->outputPorts[i], to->inputPorts[i]}) != 0) continue;
                const std::optional<std::string> said = runAndCapture(
                    {"sh", "-c", concat({"pw-link ", out, " ", in, " 2>&1 || echo failed"})}, 10s);
                if (!said || said->find("failed") != std::string::npos) {
                    problem = concat({"pw-link ", out, " ", in, ": ", said.value_or("no answer")});
                    linked = false;
                }
            }
            if (linked) return true;
        } else {
            problem = concat({"no ports to link yet; nodes:", seen});
        }
        std::this_thread::sleep_for(50ms);
    }
    std::fprintf(stderr, "linkNodes: \"%s\" to \"%s\": %s\n", source.c_str(), sink.c_str(),
                 problem.c_str());
    return false;
}

OutsideConsumer::OutsideConsumer(const std::string& targetName, std::uint32_t width,
                                 std::uint32_t height, int frameCount)
    : targetName_(targetName),
      nodeName_(concat({"bw-test-consumer-", std::to_string(++consumerCount)})) {
    // gst-launch-1.0 escapes each argument, so a name with spaces stays one
    // property value.
    process_ = ChildProcess(
        {"gst-launch-1.0", "-q", "pipewiresrc", concat({"target-object=", targetName}),
         concat({"num-buffers=", std::to_string(frameCount)}),
         concat({"stream-properties=props,node.name=", nodeName_}), "!",
         concat({"video/x-raw,format=BGRA,width=", std::to_string(width),
                 ",height=", std::to_string(height)}),
         "!", "multifilesink", concat({"location=", (dir_ / "frame-%05d.raw").string()})},
        -1, dir_ / "gst.log");
}

bool OutsideConsumer::link(std::chrono::milliseconds timeout) {
    return process_.running() && linkNodes(targetName_, nodeName_, timeout);
}

std::vector<std::vector<std::uint8_t>> OutsideConsumer::frames(std::chrono::milliseconds timeout) {
    exitStatus_ = process_.wait(timeout);
    if (!exitStatus_) {
        process_.stop(SIGKILL, 0ms);
        return {};
    }
    std::vector<std::vector<std::uint8_t>> frames;
    for (int index = 0;; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%05d.raw", index);
        if (!std::filesystem::exists(dir_ / name)) break;
        const std::string bytes = readFile(dir_ / name);
        frames.emplace_back(bytes.begin(), bytes.end());
    }
    return frames;
}

std::string OutsideConsumer::errors() const {
    return readFile(dir_ / "gst.log");
}

std::vector<std::vector<std::uint8_t>> receiveFrames(const std::string& targetName,
                                                     std::uint32_t width, std::uint32_t height,
                                                     int frameCount,
                                                     std::chrono::milliseconds timeout) {
    // Only a test gone wrong waits this long: longer under the sanitizers.
    timeout = scaled(timeout);
    const auto deadline = SteadyClock::now() + timeout;
    OutsideConsumer consumer(targetName, width, height, frameCount);
    if (!consumer.link(timeout)) {
        std::fprintf(stderr, "receiveFrames: no link to \"%s\" within %lld ms\n",
                     targetName.c_str(), static_cast<long long>(timeout.count()));
        return {};
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    auto frames = consumer.frames(std::max(left, 0ms));
    if (static_cast<int>(frames.size()) < frameCount) {
        // What the consumer said, for the failure that follows.
        std::fprintf(stderr,
                     "receiveFrames: %zu of %d frames from \"%s\"; the consumer said:\n%s\n",
                     frames.size(), frameCount, targetName.c_str(), consumer.errors().c_str());
    }
    return frames;
}

}  // namespace bw::test
