#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "remote/CueRunner.h"
#include "remote/OscFeedback.h"
#include "remote/osc/OscClient.h"
#include "remote/osc/OscPacketDestination.h"
#include "remote/osc/OscServer.h"

namespace bw {

class CREP;

// The remote-control front: turns OSC messages (UDP and TCP, port 7777) and
// CREP command texts into GO, go-to-cue and Panic on the cue runner (the
// engine), and answers controllers that ask for the show's state (the
// feedback, OscFeedback). A controller that never asks is sent nothing; the
// OSC client aimed at 127.0.0.1:8000 is configured and held only.
//
// Vocabulary, first address part or first word only, exact and
// case-sensitive:
//   OSC  /go...           GO, arguments ignored
//        /cue... N        go to cue N (first argument int32 or float32)
//        /panic...        Panic
//        /updates, /beamwright/get (exact addresses): see OscFeedback
//   CREP "go ..."         GO, the rest ignored
//        "cue N"          go to cue N (N as strtod reads it in the C locale,
//                         the whole word, no leading white space)
//        "panic ..."      Panic
//        "status"         answered with one line (statusLine) to the sender
// Anything else is ignored. Going to cue N loads the first cue of the stack
// with ID N as the next cue, unless the engine's next cue already has that
// ID, then performs GO; a number naming no cue is a plain GO.
//
// The cue runner is asked for on the first command that reaches it, never
// during construction, and kept from then on. The process's manager is made
// by the process's engine, which then hands itself in as the provider;
// commands that arrive while there is no provider are dropped.
//
// Main thread only: the sockets deliver on the main queue. The CREP endpoint
// must outlive the manager; the manager detaches from it when destroyed.
class NetworkManager final : public OscPacketDestination {
public:
    using EngineProvider = std::function<CueRunner&()>;

    static constexpr std::uint16_t kOscServerPort = OscServer::kDefaultPort;
    static constexpr std::uint16_t kOscClientPort = 8000;
    static constexpr std::string_view kOscClientHost = "127.0.0.1";

    // OSC on port 7777, the process's CREP endpoint.
    explicit NetworkManager(EngineProvider engineProvider = {});
    // OSC on `oscPort` (0: a port free for both UDP and TCP), `crep` as the
    // CREP endpoint.
    NetworkManager(std::uint16_t oscPort, CREP& crep, EngineProvider engineProvider = {});
    ~NetworkManager() override;
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // The process's manager, created on first use and never destroyed: OSC
    // on port 7777 (or the port BEAMWRIGHT_OSC_PORT names) and the process's
    // CREP endpoint.
    static NetworkManager& shared();

    // Replaces the provider and forgets the runner bound so far; an empty
    // provider leaves commands with nothing to run.
    void setEngineProvider(EngineProvider engineProvider);

    // The port the OSC server was last set to listen on: the one asked for,
    // or the one chosen for 0.
    std::uint16_t oscPort() const { return server_.port(); }
    const OscServer& server() const { return server_; }
    const OscClient& client() const { return client_; }
    OscFeedback& feedback() { return feedback_; }
    // Where the feedback and CREP "status" take the show's state from; null:
    // nowhere. Not owned.
    void setStateSource(const ShowStateSource* source) { feedback_.setSource(source); }
    CREP& crep() const { return crep_; }
    // The cue runner once a command has bound it; null before.
    CueRunner* engine() const { return engine_; }

    // OscPacketDestination
    void takeMessage(const OscMessage& message) override;
    // One CREP command text; `from` (when known) is where an answer goes.
    void commandReceived(const std::string& text, const SocketAddress& from = {});

    // The answer to CREP "status": 'current ID "DESCRIPTION" next ID
    // "DESCRIPTION" state STATE', with "-" for a missing ID and the
    // descriptions as JSON strings.
    static std::string statusLine(const ShowState& state);

    // The number in a CREP word: strtod in the C locale (decimal, exponent,
    // hex, inf, nan), consuming the whole non-empty word, which must not start
    // with white space. Any thread.
    static std::optional<double> parseCueNumber(const std::string& word);

private:
    class CREPForwarder;

    void listen(std::uint16_t port);
    // Stops both transports and logs why.
    void stopOsc(std::uint16_t port, const SocketError& error);
    // The bound runner, asking the provider the first time; null while there
    // is no provider.
    CueRunner* boundEngine();
    void go(GoSource source);
    void goToCue(double id, GoSource source);

    OscClient client_;
    OscServer server_;
    OscFeedback feedback_{server_};
    CREP& crep_;
    EngineProvider engineProvider_;
    CueRunner* engine_ = nullptr;
    std::shared_ptr<CREPForwarder> forwarder_;
};

}  // namespace bw
