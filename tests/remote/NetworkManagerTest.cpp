// The remote-control front end to end: liblo's oscsend over UDP, osc.js over
// SLIP/TCP and CREP datagrams on loopback drive a real engine (no outputs, no
// display link) through a NetworkManager on ports of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/MediaEngine.h"
#include "engine/MediaEngineDelegate.h"
#include "engine/ShowFeedback.h"
#include "platform/Clock.h"
#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "remote/CREP.h"
#include "remote/NetworkManager.h"
#include "remote/RemoteTestSupport.h"
#include "show/CueStack.h"
#include "show/NumberText.h"
#include "show/ShowStatus.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using Notices = std::vector<std::string>;

// Writes down every engine notice as a short line: "began", "complete",
// "current 1.5", "next none".
class RecordingEngineDelegate : public MediaEngineDelegate {
public:
    void cueTransitionBegan() override { notices.push_back("began"); }
    void cueTransitionComplete() override { notices.push_back("complete"); }
    void currentCueChanged(const std::optional<Cue>& cue) override {
        notices.push_back(std::string("current ") + describe(cue));
    }
    void nextCueChanged(const std::optional<Cue>& cue) override {
        notices.push_back(std::string("next ") + describe(cue));
    }

    Notices notices;

private:
    static std::string describe(const std::optional<Cue>& cue) {
        return cue ? formatCueNumber(cue->id) : std::string("none");
    }
};

// What the engine tells when cue `id` is loaded as the next cue and GO runs it.
Notices loadedAndRun(const std::string& id) {
    return {std::string("next ") + id, "began", std::string("current ") + id, "next none"};
}

// One oscsend run sending `message` ("/cue i 3") over UDP to `port`.
std::string oscsendCommand(std::uint16_t port, const std::string& message) {
    return std::string("timeout 20 oscsend osc.udp://127.0.0.1:") + std::to_string(port) +
           std::string(" ") + message;
}

// Sends the messages given as JSON over TCP with SLIP framing, then closes.
constexpr const char* kOscJsScript = R"(
const osc = require("osc");
const port = Number(process.argv[2]);
const messages = JSON.parse(process.argv[3]);
const tcp = new osc.TCPSocketPort({ address: "127.0.0.1", port });
tcp.on("error", (error) => { console.error(error); process.exit(1); });
tcp.on("ready", () => {
  for (const message of messages) tcp.send(message);
  setTimeout(() => tcp.close(), 300);
});
tcp.open();
)";

class NetworkManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        stack_.replaceCues({cue(1), cue(1.1), cue(1.5), cue(2), cue(3), cue(4)});
        engine_.setDelegate(delegate_);
        manager_ = std::make_unique<NetworkManager>(0, crep_, [this]() -> MediaEngine& {
            ++providerCalls_;
            return engine_;
        });
        ASSERT_NE(manager_->oscPort(), 0);
        ASSERT_NE(crep_.localPort(), 0) << crepOut_.str();
    }

    void TearDown() override {
        manager_.reset();
        MainQueue::shared().drain();
    }

    static Cue cue(double id, std::string description = "") {
        return Cue{id, std::move(description), 0.0, {}};
    }

    // Each message through its own oscsend run over UDP ("/cue i 3"), then
    // waits for the engine's first notice and returns all of them.
    Notices oscsend(const std::vector<std::string>& messages) {
        delegate_->notices.clear();
        for (const std::string& message : messages) {
            const std::string command = oscsendCommand(manager_->oscPort(), message);
            EXPECT_EQ(test::runCommand(command), 0) << command;
        }
        MainQueue::shared().pumpUntil([&] { return !delegate_->notices.empty(); });
        return delegate_->notices;
    }

    // Sends each text as a CREP datagram and waits until the endpoint has
    // taken them all; returns the engine's notices meanwhile.
    Notices crep(const std::vector<std::string>& texts) {
        delegate_->notices.clear();
        FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(crep_.localPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::uint8_t before = crep_.seqBkwd();
        for (const std::string& text : texts) {
            std::string datagram(CREP::kHeader.begin(), CREP::kHeader.end());
            datagram.append("\x01\x02\x03\x04");
            datagram.append(text);
            EXPECT_EQ(::sendto(socket.get(), datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to),
                      static_cast<ssize_t>(datagram.size()));
        }
        const auto expected = static_cast<std::uint8_t>(before + texts.size());
        EXPECT_TRUE(MainQueue::shared().pumpUntil([&] { return crep_.seqBkwd() == expected; }));
        return delegate_->notices;
    }

    NotificationCenter center_{MainQueue::shared()};
    ShowStatus status_{center_};
    CueStack stack_{status_};
    ManualClock clock_{1'000'000'000};
    MediaEngine engine_{MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr}};
    std::shared_ptr<RecordingEngineDelegate> delegate_ =
        std::make_shared<RecordingEngineDelegate>();
    std::ostringstream crepOut_;
    CREP crep_{0, MainQueue::shared(), crepOut_};
    int providerCalls_ = 0;
    std::unique_ptr<NetworkManager> manager_;
};

TEST_F(NetworkManagerTest, OscsendOverUdpRunsGoAndCueByTheFirstAddressPart) {
    if (!test::haveProgram("oscsend"))
        BW_OUTSIDE_PEER_MISSING() << "oscsend (liblo-tools) is not installed";
    // Case, an empty first part, a string or no argument: ignored. The /go
    // after them is the first command the engine sees.
    EXPECT_EQ(oscsend({"/Cue i 3", "//cue i 3", "/cue s 4", "/cue", "/GO", "/go"}),
              loadedAndRun("1.0"));
    EXPECT_EQ(oscsend({"/go/x"}), loadedAndRun("1.1"));
    EXPECT_EQ(oscsend({"/cue i 3"}), loadedAndRun("3.0"));
    EXPECT_EQ(oscsend({"/cue/anything f 1.5"}), loadedAndRun("1.5"));
    // 1.1f is 1.100000023841858 as a double, which names no cue (cue 1.1 is
    // exactly 1.1): a plain GO to the cue after the current one.
    EXPECT_EQ(oscsend({"/cue f 1.1"}), loadedAndRun("2.0"));
    EXPECT_EQ(oscsend({"/go i 1"}), loadedAndRun("3.0"));
    EXPECT_EQ(engine_.currentCue()->id, 3.0);
    EXPECT_EQ(providerCalls_, 1);
}

TEST_F(NetworkManagerTest, OscJsOverSlipTcpRunsGoAndCue) {
    const std::filesystem::path modules = std::filesystem::path(BW_OSC_JS_DIR) / "node_modules";
    if (!test::haveProgram("node")) BW_OUTSIDE_PEER_MISSING() << "node is not installed";
    if (!std::filesystem::exists(modules / "osc")) {
        BW_OUTSIDE_PEER_MISSING() << "osc.js is not installed in " << BW_OSC_JS_DIR;
    }
    test::TempDir dir;
    const std::filesystem::path script = dir.write("send.js", kOscJsScript);
    const std::string messages =
        R"([{"address":"/cue","args":[{"type":"i","value":3}]},)"
        R"({"address":"/Cue","args":[{"type":"i","value":1}]},)"
        R"({"address":"/go","args":[]},)"
        R"({"address":"/cue","args":[{"type":"s","value":"1"}]},)"
        R"({"address":"/cue","args":[{"type":"f","value":1.5},{"type":"i","value":4}]}])";
    const std::string command = std::string("NODE_PATH='") + modules.string() +
                                std::string("' timeout 20 node '") + script.string() +
                                std::string("' ") + std::to_string(manager_->oscPort()) +
                                std::string(" '") + messages + std::string("'");
    ASSERT_EQ(test::runCommand(command), 0) << command;
    MainQueue::shared().pumpUntil([&] { return delegate_->notices.size() >= 12; });
    Notices expected = loadedAndRun("3.0");
    for (const char* id : {"4.0", "1.5"}) {
        const Notices step = loadedAndRun(id);
        expected.insert(expected.end(), step.begin(), step.end());
    }
    EXPECT_EQ(delegate_->notices, expected);
}

TEST_F(NetworkManagerTest, CrepRunsGoAndCueByTheWordsOfItsText) {
    // Nothing here reaches the engine, so it is not even asked for.
    EXPECT_EQ(crep({"GO", "Go", "go\n", "", " go", "cue", "cue ", "cue  4", "cue 4\n", "cue x",
                    "cue 4x", "cue \t4", "cue 0x", std::string("cue 4\0", 6), "cues 4"}),
              Notices{});
    EXPECT_EQ(providerCalls_, 0);

    EXPECT_EQ(crep({"cue 4"}), loadedAndRun("4.0"));
    EXPECT_EQ(crep({"go now"}), loadedAndRun("1.0"));  // after the last cue comes the first
    EXPECT_EQ(crep({"cue 0x1p2"}), loadedAndRun("4.0"));
    EXPECT_EQ(crep({"cue 15e-1 and more"}), loadedAndRun("1.5"));
    // Numbers that name no cue: a plain GO each.
    EXPECT_EQ(crep({"cue 9"}), loadedAndRun("2.0"));
    EXPECT_EQ(crep({"cue nan"}), loadedAndRun("3.0"));
    EXPECT_EQ(crep({"cue -inf"}), loadedAndRun("4.0"));
    EXPECT_EQ(providerCalls_, 1);
}

TEST_F(NetworkManagerTest, ACueThatIsAlreadyNextRunsWithoutBeingReloaded) {
    if (!test::haveProgram("oscsend"))
        BW_OUTSIDE_PEER_MISSING() << "oscsend (liblo-tools) is not installed";
    // The loaded copy differs from the stack's: a reload would bring the
    // stack's back.
    engine_.loadNextCue(cue(3, "as loaded"));
    EXPECT_EQ(oscsend({"/cue i 3"}), (Notices{"began", "current 3.0", "next none"}));
    EXPECT_EQ(engine_.currentCue()->description, "as loaded");

    engine_.loadNextCue(cue(2, "as loaded"));
    EXPECT_EQ(crep({"cue 2"}), (Notices{"began", "current 2.0", "next none"}));
    EXPECT_EQ(engine_.currentCue()->description, "as loaded");

    // A cue of the stack other than the next one replaces it.
    engine_.loadNextCue(cue(1, "as loaded"));
    EXPECT_EQ(crep({"cue 4"}), loadedAndRun("4.0"));
    EXPECT_EQ(engine_.currentCue()->description, "");
}

TEST_F(NetworkManagerTest, AnEmptyStackGivesNothingToGoTo) {
    if (!test::haveProgram("oscsend"))
        BW_OUTSIDE_PEER_MISSING() << "oscsend (liblo-tools) is not installed";
    stack_.replaceCues({});
    delegate_->notices.clear();
    for (const char* message : {"/go", "/cue i 1"}) {
        const std::string command = oscsendCommand(manager_->oscPort(), message);
        ASSERT_EQ(test::runCommand(command), 0) << command;
    }
    // The first command binds the engine; give the second time to arrive.
    EXPECT_TRUE(MainQueue::shared().pumpUntil([&] { return providerCalls_ == 1; }));
    MainQueue::shared().pumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(crep({"go", "cue 1"}), Notices{});
    EXPECT_EQ(delegate_->notices, Notices{});
    EXPECT_EQ(engine_.currentCue()->id, MediaEngine::alignmentGridCue(0).id);
    EXPECT_FALSE(engine_.nextCue());
}

TEST_F(NetworkManagerTest, BindsTheEngineOnceAndLetsGoOfCrepWhenDestroyed) {
    EXPECT_EQ(providerCalls_, 0);  // not during construction
    EXPECT_EQ(manager_->engine(), nullptr);
    EXPECT_EQ(manager_->client().host(), "127.0.0.1");
    EXPECT_EQ(manager_->client().port(), 8000);
    EXPECT_EQ(manager_->client().socket(), nullptr);  // never sends

    crep({"go", "go", "cue 3"});
    EXPECT_EQ(providerCalls_, 1);
    EXPECT_EQ(manager_->engine(), &engine_);
    EXPECT_EQ(engine_.currentCue()->id, 3.0);

    manager_.reset();
    EXPECT_EQ(crep_.delegate(), nullptr);
    EXPECT_EQ(crep({"go"}), Notices{});
    EXPECT_EQ(engine_.currentCue()->id, 3.0);
}

// Verifies that a UDP port held by another program (with address reuse, as
// many do) turns OSC off visibly instead of leaving half a server.
// A program running beside the test, its output lines collected as they
// come; stopped (SIGTERM) when the object goes.
class BackgroundCommand {
public:
    explicit BackgroundCommand(const std::string& command) {
        pipe_ = ::popen(("echo $$; exec " + command).c_str(), "r");
        if (pipe_ == nullptr) return;
        reader_ = std::thread([this] {
            char line[4096];
            while (std::fgets(line, sizeof line, pipe_) != nullptr) {
                std::lock_guard lock(mutex_);
                if (pid_ == 0) {
                    pid_ = std::atoi(line);
                } else {
                    lines_.emplace_back(line);
                }
            }
            finished_ = true;
        });
    }
    ~BackgroundCommand() {
        {
            std::lock_guard lock(mutex_);
            if (pid_ > 0) ::kill(pid_, SIGTERM);
        }
        if (reader_.joinable()) reader_.join();
        if (pipe_ != nullptr) ::pclose(pipe_);
    }
    bool sawLineContaining(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (const std::string& line : lines_)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // The program's output ended (it exited).
    bool finished() const { return finished_; }
    std::string output() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const std::string& line : lines_) all += line;
        return all;
    }

private:
    std::FILE* pipe_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    pid_t pid_ = 0;
    std::vector<std::string> lines_;
    std::atomic<bool> finished_{false};
};

TEST_F(NetworkManagerTest, OscdumpHearsTheStateAfterGoWhenOscsendSubscribedIt) {
    if (!test::haveProgram("oscsend") || !test::haveProgram("oscdump"))
        BW_OUTSIDE_PEER_MISSING() << "oscsend and oscdump (liblo-tools) are not installed";
    ShowFeedback feedback(engine_, center_, MainQueue::shared());
    feedback.attach(*manager_);
    const std::uint16_t dumpPort = test::freePort();
    BackgroundCommand dump("timeout 120 oscdump -L " + std::to_string(dumpPort));
    const std::string subscribe =
        oscsendCommand(manager_->oscPort(), "/updates ii 1 " + std::to_string(dumpPort));
    // Every subscription is answered with the state: again until oscdump,
    // which starts beside this, is there to hear it.
    ASSERT_TRUE(MainQueue::shared().pumpUntil(
        [&] {
            if (test::runCommand(subscribe) != 0) return false;
            return MainQueue::shared().pumpUntil(
                [&] { return dump.sawLineContaining("/beamwright/state s \"standby\""); },
                std::chrono::seconds(1));
        },
        std::chrono::seconds(60)))
        << dump.output();
    ASSERT_EQ(test::runCommand(oscsendCommand(manager_->oscPort(), "/go")), 0);
    // The event and the state it changed may come in separate packets:
    // each is waited for.
    for (const char* line : {"/beamwright/event ss \"go\"", "/beamwright/current ss \"1.0\" \"\"",
                             "/beamwright/next ss \"1.1\" \"\""}) {
        EXPECT_TRUE(MainQueue::shared().pumpUntil([&] { return dump.sawLineContaining(line); },
                                                  std::chrono::seconds(30)))
            << line << " not heard:\n"
            << dump.output();
    }
}

TEST_F(NetworkManagerTest, OscJsSubscribedOverSlipTcpHearsTheGoItSent) {
    const std::filesystem::path modules = std::filesystem::path(BW_OSC_JS_DIR) / "node_modules";
    if (!test::haveProgram("node")) BW_OUTSIDE_PEER_MISSING() << "node is not installed";
    if (!std::filesystem::exists(modules / "osc")) {
        BW_OUTSIDE_PEER_MISSING() << "osc.js is not installed in " << BW_OSC_JS_DIR;
    }
    ShowFeedback feedback(engine_, center_, MainQueue::shared());
    feedback.attach(*manager_);
    const std::string command = "env NODE_PATH='" + modules.string() + "' timeout 60 node '" +
                                std::string(BW_SOURCE_DIR) +
                                "/tests/remote/osc-js-subscribe.js' " +
                                std::to_string(manager_->oscPort());
    BackgroundCommand peer(command);
    EXPECT_TRUE(MainQueue::shared().pumpUntil(
        [&] {
            return peer.finished() && peer.sawLineContaining(
                                          R"({"address":"/beamwright/current","args":["1.0",""]})");
        },
        std::chrono::seconds(60)))
        << peer.output();
    EXPECT_TRUE(peer.sawLineContaining(R"({"address":"/beamwright/state","args":["fading"]})"))
        << peer.output();
    // Its connection closed: nobody is left to update.
    EXPECT_TRUE(MainQueue::shared().pumpUntil(
        [&] { return manager_->feedback().subscriberCount() == 0; }, std::chrono::seconds(60)));
}

TEST_F(NetworkManagerTest, CrepStatusIsAnsweredToTheSenderWithItsRequestBytes) {
    ShowFeedback feedback(engine_, center_, MainQueue::shared());
    feedback.attach(*manager_);
    engine_.go();
    FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(crep_.localPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request(CREP::kHeader.begin(), CREP::kHeader.end());
    request.append("\x09\x08\x07\x06status");
    ASSERT_EQ(::sendto(socket.get(), request.data(), request.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(request.size()));
    char answer[512];
    ssize_t count = -1;
    ASSERT_TRUE(MainQueue::shared().pumpUntil(
        [&] { return (count = ::recv(socket.get(), answer, sizeof answer, 0)) >= 0; },
        std::chrono::seconds(20)));
    std::string expected(CREP::kHeader.begin(), CREP::kHeader.end());
    expected.append("\x09\x08\x07\x06");
    expected.append(R"(current 1.0 "" next 1.1 "" state fading)");
    EXPECT_EQ(std::string(answer, static_cast<std::size_t>(count)), expected);
}

TEST(NetworkManagerStatusTest, StatusLineQuotesDescriptionsAndMarksMissingCues) {
    ShowState state;
    state.current = {"", "Panic"};
    state.next = {"12.5", "Act \"2\""};
    state.mode = ShowState::Mode::Panic;
    EXPECT_EQ(NetworkManager::statusLine(state),
              R"(current - "Panic" next 12.5 "Act \"2\"" state panic)");
    EXPECT_EQ(NetworkManager::statusLine(ShowState{}), R"(current - "" next - "" state standby)");
}

TEST(NetworkManagerPortTest, OscIsOffAndLoggedWhenAnotherProgramHoldsItsUdpPort) {
    const std::uint16_t port = test::freePort();
    const FileDescriptor holder = test::holdUdpPort(port);
    ASSERT_TRUE(holder.valid());

    SystemLog::ScopedCapture log;
    std::ostringstream crepOut;
    CREP crep(test::freePort(), MainQueue::shared(), crepOut);
    NetworkManager manager(port, crep);
    EXPECT_EQ(manager.server().tcpSocket().tcpSocket()->localPort(), 0);
    EXPECT_EQ(manager.server().udpSocket().udpSocket()->localPort(), 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("OSC is off, port " + std::to_string(port)), std::string::npos)
        << log.lines()[0];
}

TEST(NetworkManagerParseTest, CueNumbersReadAsStrtodInTheCLocaleOverTheWholeWord) {
    struct Case {
        std::string word;
        double value;
    };
    const std::vector<Case> numbers = {
        {"4", 4.0},        {"-2.25", -2.25},         {"+7", 7.0},    {".5", 0.5},
        {"3.", 3.0},       {"15e-1", 1.5},           {"1E2", 100.0}, {"0x1p2", 4.0},
        {"0X1.8P1", 3.0},  {"0x10", 16.0},           {"007", 7.0},   {"1e999", HUGE_VAL},
        {"inf", HUGE_VAL}, {"-Infinity", -HUGE_VAL},
    };
    for (const Case& c : numbers) {
        EXPECT_EQ(NetworkManager::parseCueNumber(c.word), c.value) << c.word;
    }
    for (const char* word : {"nan", "NaN", "nan(123)"}) {
        const auto value = NetworkManager::parseCueNumber(word);
        ASSERT_TRUE(value.has_value()) << word;
        EXPECT_TRUE(std::isnan(*value)) << word;
    }
    for (const std::string& word :
         {std::string(""), std::string("\t4"), std::string("\n4"), std::string("4\n"),
          std::string("4 "), std::string("1,5"), std::string("x"), std::string("4x"),
          std::string("0x"), std::string("e5"), std::string("--4"), std::string("4\0", 2)}) {
        EXPECT_EQ(NetworkManager::parseCueNumber(word), std::nullopt) << '"' << word << '"';
    }
}

}  // namespace
}  // namespace bw
