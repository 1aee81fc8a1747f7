// beamwright-tap: lists the video outputs published through PipeWire and saves
// the current frame of one as a PNG file, with PipeWire's and GStreamer's
// command-line programs only (pw-dump, pw-link, gst-launch-1.0):
//
//   beamwright-tap --list
//   beamwright-tap NAME OUT.png [--timeout SECONDS]
//
// --list prints one line per video source node: its name, its size (WxH, "?"
// when the node does not say) and "Beamwright" or "other (application)",
// separated by tabs. Capturing runs
//   gst-launch-1.0 pipewiresrc target-object=SERIAL num-buffers=1 !
//       videoconvert ! pngenc ! filesink location=...
// and, where no session manager links the two nodes, links them with pw-link.
// Programs are started with posix_spawnp and an argument vector, never
// through a shell; the node is named to GStreamer by its serial number, so the
// output's name is never parsed as part of a pipeline either.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr std::string_view kUsage =
    "usage: beamwright-tap --list\n"
    "       beamwright-tap NAME OUT.png [--timeout SECONDS]\n";
// How long a session manager gets to link the capture before we do.
constexpr auto kSessionManagerGrace = 300ms;

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::string inQuotes(std::string_view text) {
    return concat({"\"", text, "\""});
}

// A program started without a shell; killed and reaped on destruction if it
// still runs.
class Child {
public:
    // `stdoutFd`, `stderrFd`: where its output goes; -1: /dev/null.
    Child(const std::vector<std::string>& argv, int stdoutFd, int stderrFd) {
        std::vector<char*> arguments;
        for (const std::string& argument : argv) {
            arguments.push_back(const_cast<char*>(argument.c_str()));
        }
        arguments.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (stdoutFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        }
        if (stderrFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        }
        pid_t pid = -1;
        if (posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), environ) == 0) {
            pid_ = pid;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    bool running() {
        if (pid_ <= 0 || status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return !status_;
    }
    // Its wait status once it has ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (running() && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool exitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Runs `argv` to its end and returns what it wrote to standard output;
// nothing when it failed or took longer than `timeout`.
std::optional<std::string> capture(const std::vector<std::string>& argv,
                                   std::chrono::milliseconds timeout) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    bw::FileDescriptor readEnd(fds[0]);
    bw::FileDescriptor writeEnd(fds[1]);
    Child child(argv, writeEnd.get(), -1);
    writeEnd.reset();
    if (!child.started()) return std::nullopt;

    const auto deadline = Clock::now() + timeout;
    std::string output;
    char buffer[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max(left, 0ms).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        output.append(buffer, static_cast<std::size_t>(count));
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!exitedCleanly(child.wait(std::max(left, 0ms)))) return std::nullopt;
    return output;
}

// A node of the PipeWire graph, as pw-dump describes it.
struct Node {
    std::uint32_t id = 0;
    std::string serial;
    std::string name;
    std::string mediaClass;
    std::string application;
    std::string client;  // the id of the client that made it
    std::optional<std::pair<long long, long long>> size;
    std::vector<std::uint32_t> outputPorts;
    std::vector<std::uint32_t> inputPorts;
};

struct Graph {
    std::vector<Node> nodes;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;  // output node, input node

    const Node* find(const std::string& name, std::string_view mediaClass = {}) const {
        for (const Node& node : nodes) {
            if (node.name == name && (mediaClass.empty() || node.mediaClass == mediaClass)) {
                return &node;
            }
        }
        return nullptr;
    }
    bool linked(std::uint32_t from, std::uint32_t to) const {
        return std::find(links.begin(), links.end(), std::pair(from, to)) != links.end();
    }
};

// A property pw-dump printed as a string or a number, as text.
std::string text(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    return {};
}

std::uint32_t idOf(const Json& value) {
    return value.is_number_unsigned() ? value.get<std::uint32_t>() : 0;
}

// The fixed size in the first Format (negotiated) or EnumFormat (offered)
// param that has one.
std::optional<std::pair<long long, long long>> sizeOf(const Json& params) {
    for (const char* id : {"Format", "EnumFormat"}) {
        const Json formats = params.value(id, Json::array());
        if (!formats.is_array()) continue;
        for (const Json& format : formats) {
            const Json size = format.value("size", Json());
            if (size.is_object() && size.value("width", Json()).is_number_integer() &&
                size.value("height", Json()).is_number_integer()) {
                return std::pair(size["width"].get<long long>(), size["height"].get<long long>());
            }
        }
    }
    return std::nullopt;
}

std::optional<Graph> readGraph() {
    const std::optional<std::string> dump = capture({"pw-dump"}, 10s);
    if (!dump) return std::nullopt;
    const Json objects = Json::parse(*dump, nullptr, false);
    if (!objects.is_array()) return std::nullopt;

    Graph graph;
    std::vector<std::pair<std::string, std::string>> clients;  // id, application name
    for (const Json& object : objects) {
        if (!object.is_object()) continue;
        const std::string type = object.value("type", "");
        const Json info = object.value("info", Json());
        if (!info.is_object()) continue;
        const Json props = info.value("props", Json::object());
        if (type == "PipeWire:Interface:Node") {
            Node node;
            node.id = idOf(object.value("id", Json()));
            node.serial = text(props.value("object.serial", Json()));
            node.name = text(props.value("node.name", Json()));
            node.mediaClass = text(props.value("media.class", Json()));
            node.application = text(props.value("application.name", Json()));
            node.client = text(props.value("client.id", Json()));
            node.size = sizeOf(info.value("params", Json::object()));
            graph.nodes.push_back(std::move(node));
        } else if (type == "PipeWire:Interface:Client") {
            clients.emplace_back(text(object.value("id", Json())),
                                 text(props.value("application.name", Json())));
        } else if (type == "PipeWire:Interface:Link") {
            graph.links.emplace_back(idOf(info.value("output-node-id", Json())),
                                     idOf(info.value("input-node-id", Json())));
        }
    }
    for (const Json& object : objects) {
        if (!object.is_object() || object.value("type", "") != "PipeWire:Interface:Port") continue;
        const Json info = object.value("info", Json());
        if (!info.is_object()) continue;
        const std::string nodeId =
            text(info.value("props", Json::object()).value("node.id", Json()));
        const bool output = info.value("direction", "") == "output";
        for (Node& node : graph.nodes) {
            if (std::to_string(node.id) != nodeId) continue;
            (output ? node.outputPorts : node.inputPorts)
                .push_back(idOf(object.value("id", Json())));
        }
    }
    for (Node& node : graph.nodes) {
        // Most programs name themselves on their client rather than on each node.
        for (const auto& [id, application] : clients) {
            if (node.application.empty() && id == node.client) node.application = application;
        }
        std::sort(node.outputPorts.begin(), node.outputPorts.end());
        std::sort(node.inputPorts.begin(), node.inputPorts.end());
    }
    return graph;
}

std::vector<const Node*> videoSources(const Graph& graph) {
    std::vector<const Node*> sources;
    for (const Node& node : graph.nodes) {
        if (node.mediaClass == "Video/Source") sources.push_back(&node);
    }
    std::sort(sources.begin(), sources.end(),
              [](const Node* a, const Node* b) { return a->name < b->name; });
    return sources;
}

int fail(std::string_view message) {
    std::cerr << "beamwright-tap: " << message << '\n';
    return 1;
}

const char* kNoGraph =
    "cannot read the PipeWire graph (pw-dump failed: is a PipeWire daemon running?)";

int list() {
    const std::optional<Graph> graph = readGraph();
    if (!graph) return fail(kNoGraph);
    const std::vector<const Node*> sources = videoSources(*graph);
    for (const Node* node : sources) {
        std::string size = "?";
        if (node->size) {
            size = concat(
                {std::to_string(node->size->first), "x", std::to_string(node->size->second)});
        }
        std::string origin = "Beamwright";
        if (node->application != "Beamwright") {
            origin =
                node->application.empty() ? "other" : concat({"other (", node->application, ")"});
        }
        std::cout << node->name << '\t' << size << '\t' << origin << '\n';
    }
    if (sources.empty()) std::cerr << "beamwright-tap: no video sources are published\n";
    return 0;
}

// A folder of our own under the temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "beamwright-tap-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool valid() const { return !path_.empty(); }
    std::filesystem::path operator/(const char* name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The first line of GStreamer's complaints that says what went wrong.
std::string gstreamerError(const std::filesystem::path& log) {
    std::ifstream in(log);
    std::string line;
    std::string first;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (first.empty()) first = line;
        if (line.find("ERROR") != std::string::npos) return line;
    }
    return first;
}

bool linkPorts(const Node& from, const Node& to) {
    const std::size_t pairs = std::min(from.outputPorts.size(), to.inputPorts.size());
    bool linked = pairs > 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        linked = capture({"pw-link", std::to_string(from.outputPorts[i]),
                          std::to_string(to.inputPorts[i])},
                         10s)
                     .has_value() &&
                 linked;
    }
    return linked;
}

std::string publishedList(const Graph& graph) {
    const std::vector<const Node*> sources = videoSources(graph);
    if (sources.empty()) return "none is published";
    std::string names = "published: ";
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (i > 0) names += ", ";
        names += inQuotes(sources[i]->name);
    }
    return names;
}

int save(const std::string& name, const std::filesystem::path& destination,
         std::chrono::milliseconds timeout) {
    const std::optional<Graph> graph = readGraph();
    if (!graph) return fail(kNoGraph);
    const Node* target = graph->find(name, "Video/Source");
    if (target == nullptr) {
        return fail(concat(
            {"no published output named ", inQuotes(name), " (", publishedList(*graph), ")"}));
    }

    ScratchFolder scratch;
    if (!scratch.valid()) return fail("cannot make a temporary folder");
    const std::filesystem::path frame = scratch / "frame.png";
    const std::string tapName = concat({"beamwright-tap-", std::to_string(::getpid())});
    bw::FileDescriptor log(
        ::open((scratch / "gst.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    Child pipeline(
        {"gst-launch-1.0", "-q", "pipewiresrc",
         concat({"target-object=", target->serial.empty() ? name : target->serial}),
         "num-buffers=1", concat({"stream-properties=props,node.name=", tapName}), "!",
         "videoconvert", "!", "pngenc", "!", "filesink", concat({"location=", frame.string()})},
        -1, log.get());
    log.reset();
    if (!pipeline.started()) return fail("cannot run gst-launch-1.0");

    const auto deadline = Clock::now() + timeout;
    std::optional<Clock::time_point> consumerSince;
    bool linked = false;
    while (pipeline.running()) {
        if (Clock::now() >= deadline) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g",
                          static_cast<double>(timeout.count()) / 1000);
            return fail(concat({"no frame from ", inQuotes(name), " within ", seconds, " s"}));
        }
        const std::optional<Graph> now = linked ? std::nullopt : readGraph();
        const Node* source = now ? now->find(name, "Video/Source") : nullptr;
        const Node* consumer = now ? now->find(tapName) : nullptr;
        if (source != nullptr && consumer != nullptr && !consumer->inputPorts.empty()) {
            if (now->linked(source->id, consumer->id)) {
                linked = true;  // a session manager did it
            } else if (!consumerSince) {
                consumerSince = Clock::now();
            } else if (Clock::now() - *consumerSince >= kSessionManagerGrace) {
                linked = linkPorts(*source, *consumer);
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    const std::optional<int> status = pipeline.wait(0ms);
    std::error_code error;
    if (!exitedCleanly(status) || std::filesystem::file_size(frame, error) == 0) {
        return fail(concat(
            {"capturing ", inQuotes(name), " failed: ", gstreamerError(scratch / "gst.log")}));
    }
    std::filesystem::rename(frame, destination, error);
    if (error) {
        // Another file system: copy instead.
        error.clear();
        std::filesystem::copy_file(frame, destination,
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
    if (error) {
        return fail(concat({"cannot write ", destination.string(), ": ", error.message()}));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::optional<double> timeoutSeconds;
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--list") {
            listing = true;
        } else if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (argument == "--timeout" && i + 1 < argc) {
            char* end = nullptr;
            timeoutSeconds = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(*timeoutSeconds > 0)) {
                std::cerr << "beamwright-tap: --timeout takes a number of seconds above 0\n";
                return 2;
            }
        } else if (argument.size() > 1 && argument[0] == '-') {
            std::cerr << "beamwright-tap: unknown option " << argument << '\n' << kUsage;
            return 2;
        } else {
            positional.emplace_back(argument);
        }
    }
    if (listing && positional.empty() && !timeoutSeconds) return list();
    if (!listing && positional.size() == 2) {
        const auto timeout = std::chrono::milliseconds(
            static_cast<long long>(timeoutSeconds.value_or(10.0) * 1000.0));
        return save(positional[0], positional[1], timeout);
    }
    std::cerr << kUsage;
    return 2;
}
