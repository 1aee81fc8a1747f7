#include "remote/NetworkManager.h"

#include <string_view>
#include <utility>
#include <vector>

#include "platform/PortSetting.h"
#include "platform/SystemLog.h"
#include "platform/Utf8.h"
#include "remote/CREP.h"
#include "remote/CREPDelegate.h"
#include "remote/net/AsyncSocket.h"
#include "remote/osc/OscMessage.h"
#include "show/NumberText.h"

namespace bw {
namespace {

// How many ephemeral ports to try for a server asked to listen on port 0
// before giving up: each try can lose its UDP port to another process.
constexpr int kFreePortAttempts = 20;

// The words of a CREP command: split at every single space, so two spaces in
// a row give an empty word.
std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::string::size_type start = 0;
    while (true) {
        const auto space = text.find(' ', start);
        if (space == std::string::npos) {
            words.push_back(text.substr(start));
            return words;
        }
        words.push_back(text.substr(start, space - start));
        start = space + 1;
    }
}

// The number an OSC argument carries as it travels: int32 or float32.
std::optional<double> oscNumber(const OscArgument& argument) {
    if (argument.integerValue()) return static_cast<double>(argument.int32Value());
    if (argument.floatValue()) return static_cast<double>(argument.float32Value());
    return std::nullopt;
}

}  // namespace

// CREP holds its delegate strongly; this small object is what it holds, so the
// manager is kept alive by nobody and can cut the link when it goes.
class NetworkManager::CREPForwarder final : public CREPDelegate {
public:
    explicit CREPForwarder(NetworkManager* manager) : manager_(manager) {}
    void detach() { manager_ = nullptr; }
    void commandReceived(const std::string& text) override {
        if (manager_ != nullptr) manager_->commandReceived(text);
    }
    void commandReceivedFrom(const std::string& text, const SocketAddress& from) override {
        if (manager_ != nullptr) manager_->commandReceived(text, from);
    }

private:
    NetworkManager* manager_;
};

NetworkManager::NetworkManager(EngineProvider engineProvider)
    : NetworkManager(kOscServerPort, CREP::shared(), std::move(engineProvider)) {}

NetworkManager::NetworkManager(std::uint16_t oscPort, CREP& crep, EngineProvider engineProvider)
    : crep_(crep), engineProvider_(std::move(engineProvider)) {
    client_.setPort(kOscClientPort);
    client_.setHost(std::string(kOscClientHost));
    listen(oscPort);
    forwarder_ = std::make_shared<CREPForwarder>(this);
    crep_.setDelegate(forwarder_);
}

NetworkManager::~NetworkManager() {
    forwarder_->detach();
    if (crep_.delegate() == forwarder_) crep_.setDelegate(nullptr);
    server_.setDelegate(nullptr);
}

NetworkManager& NetworkManager::shared() {
    // Never destroyed: sockets of the process's manager may report until exit.
    static NetworkManager* const manager =
        new NetworkManager(portSetting(kOscPortSource, kOscServerPort), CREP::shared());
    return *manager;
}

void NetworkManager::setEngineProvider(EngineProvider engineProvider) {
    engineProvider_ = std::move(engineProvider);
    engine_ = nullptr;
}

void NetworkManager::listen(std::uint16_t port) {
    server_.setPort(port);
    server_.setDelegate(this);
    SocketError error;
    if (port != 0) {
        if (!server_.startListening(&error)) stopOsc(port, error);
        return;
    }
    // UDP and TCP share one port: take the ephemeral port TCP gets, then
    // listen on it for both.
    for (int attempt = 0; attempt < kFreePortAttempts; ++attempt) {
        server_.setPort(0);
        if (!server_.startListening(&error)) break;
        const std::uint16_t chosen = server_.tcpSocket().tcpSocket()->localPort();
        server_.setPort(chosen);
        if (server_.startListening(&error)) return;
    }
    stopOsc(port, error);
}

void NetworkManager::stopOsc(std::uint16_t port, const SocketError& error) {
    // All or nothing: a server listening on TCP while another program takes
    // its UDP datagrams would look alive and miss half the commands. Stopped,
    // the listener reports port 0, which the player shows as "off".
    server_.stopListening();
    SystemLog::shared().log("NetworkManager: OSC is off, port " + std::to_string(port) +
                            " cannot be opened: " + error.fullDescription());
}

void NetworkManager::takeMessage(const OscMessage& message) {
    if (feedback_.takeMessage(message)) return;
    const std::vector<std::string> parts = message.addressParts();
    if (parts.empty()) return;
    if (parts.front() == "go") {
        go(GoSource::Osc);
    } else if (parts.front() == "panic") {
        if (CueRunner* runner = boundEngine()) runner->panic();
    } else if (parts.front() == "cue") {
        const auto& arguments = message.arguments();
        if (arguments.empty()) return;
        if (const auto id = oscNumber(arguments.front())) goToCue(*id, GoSource::Osc);
    }
}

void NetworkManager::commandReceived(const std::string& text, const SocketAddress& from) {
    const std::vector<std::string> words = splitWords(text);
    if (text == "status") {
        if (const ShowStateSource* source = feedback_.source())
            crep_.reply(from, statusLine(source->showState()));
        return;
    }
    if (words.front() == "go") {
        go(GoSource::Crep);
    } else if (words.front() == "panic") {
        if (CueRunner* runner = boundEngine()) runner->panic();
    } else if (words.front() == "cue") {
        if (words.size() < 2) return;
        if (const auto id = parseCueNumber(words[1])) goToCue(*id, GoSource::Crep);
    }
}

std::string NetworkManager::statusLine(const ShowState& state) {
    auto cue = [](const ShowState::CueLine& line) {
        return (line.id.empty() ? std::string("-") : line.id) + " " + jsonQuoted(line.description);
    };
    return "current " + cue(state.current) + " next " + cue(state.next) + " state " +
           ShowState::modeName(state.mode);
}

std::optional<double> NetworkManager::parseCueNumber(const std::string& word) {
    return bw::parseCueNumber(word);
}

CueRunner* NetworkManager::boundEngine() {
    if (engine_ == nullptr && engineProvider_) engine_ = &engineProvider_();
    return engine_;
}

void NetworkManager::go(GoSource source) {
    if (CueRunner* runner = boundEngine()) runner->go(source);
}

void NetworkManager::goToCue(double id, GoSource source) {
    if (CueRunner* runner = boundEngine()) runner->goToCue(id, source);
}

}  // namespace bw
