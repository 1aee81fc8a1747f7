// The real beamwright binary, run headless as an operator would: driven over
// OSC (liblo's oscsend), CREP datagrams, standard input and signals, read
// through its event lines and through the frames it publishes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"
#include "render/RenderTestSupport.h"
#include "sharing/support/PipeWireDaemon.h"
#include "show/ShowFile.h"
#include "support/Deadline.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr PixelSize kStageSize{64, 48};

// A port free for both UDP and TCP right now.
std::uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        FileDescriptor tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(tcp.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) continue;
        ::getsockname(tcp.get(), reinterpret_cast<sockaddr*>(&address), &length);
        FileDescriptor udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (::bind(udp.get(), reinterpret_cast<sockaddr*>(&address), length) == 0) {
            return ntohs(address.sin_port);
        }
    }
    return 0;
}

void sendDatagram(std::uint16_t port, const std::string& datagram) {
    FileDescriptor udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(udp.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
             sizeof address);
}

void sendCrep(std::uint16_t port, const std::string& text) {
    sendDatagram(port, std::string("PERC\0\0\0\0\0\0", 10) + text);
}

// An OSC message without arguments, written here rather than by an outside
// program where the test is about the player, not about the peer.
void sendOsc(std::uint16_t port, const std::string& address) {
    const auto padded = [](std::string text) {
        text.resize((text.size() / 4 + 1) * 4, '\0');
        return text;
    };
    sendDatagram(port, padded(address) + padded(","));
}

// The player's standard output, read line by line as it comes.
class EventLines {
public:
    explicit EventLines(FileDescriptor fd) : fd_(std::move(fd)) {}

    // Waits for a line equal to `expected` after the ones already consumed;
    // false (with everything seen) when none came within `timeout`.
    bool waitFor(const std::string& expected, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            while (next_ < lines_.size()) {
                if (lines_[next_++] == expected) return true;
            }
            if (!readMore(deadline)) return false;
        }
    }
    // The first line after the consumed ones that starts with `prefix`.
    std::string waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            while (next_ < lines_.size()) {
                const std::string& line = lines_[next_++];
                if (line.starts_with(prefix)) return line;
            }
            if (!readMore(deadline)) return {};
        }
    }
    std::string all() const {
        std::string text;
        for (const std::string& line : lines_)
            text += line + "\n";
        return text;
    }

private:
    bool readMore(SteadyClock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left <= 0ms) return false;
        pollfd poll{fd_.get(), POLLIN, 0};
        if (::poll(&poll, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n <= 0) return false;
        partial_.append(buffer, static_cast<std::size_t>(n));
        std::string::size_type end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        return true;
    }

    FileDescriptor fd_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
};

class HeadlessPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::programOnPath("pipewire") || !test::havePipeWireSource()) {
            BW_OUTSIDE_PEER_MISSING() << "PipeWire or its GStreamer source is not installed";
        }
        ASSERT_TRUE(daemon_.start()) << daemon_.log();
        oscPort_ = freePort();
        crepPort_ = freePort();
        ASSERT_NE(oscPort_, 0);
        ASSERT_NE(crepPort_, 0);
        ::setenv("BEAMWRIGHT_OSC_PORT", std::to_string(oscPort_).c_str(), 1);
        ::setenv("BEAMWRIGHT_CREP_PORT", std::to_string(crepPort_).c_str(), 1);
        ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
        // Preferences of the test's own. Remote peers here send commands back
        // to back: no GO guard, unless a test sets one.
        ::setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), 1);
        setGoGuard("0");
    }
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

    void setGoGuard(const std::string& seconds) {
        dir_.write("config/beamwright/beamwright.conf",
                   "[General]\nGoGuardSeconds=" + seconds + "\n");
    }

    // Three cues over "Stage" (the test picture at its own size) and "Foyer".
    std::string writeShow() {
        const std::string picture = (test::testMediaDir() / "image.png").string();
        const auto state = [](const std::string& media) {
            return R"({"mediaPath":")" + media +
                   R"(","muted":true,"looped":true,"kenBurns":false})";
        };
        const std::string json =
            R"({"config":[{"name":"Stage","width":64,"height":48},{"name":"Foyer","width":32,"height":24}],"cues":[)"
            R"({"id":1,"description":"Grid","fadeLength":0,"outputStates":[)" +
            state("grid://") + "," + state("grid://") + "]}," +
            R"({"id":2,"description":"Picture \"A\"","fadeLength":0.2,"outputStates":[)" +
            state(picture) + "," + state("black://") + "]}," +
            R"({"id":3.5,"description":"Blackout","fadeLength":0,"outputStates":[)" +
            state("black://") + "," + state("clear://") + "]}]}";
        return dir_.write("show.bwshow", json).string();
    }

    // `prefix`: a program that runs the player (prlimit, say) and its options.
    void start(const std::vector<std::string>& arguments,
               const std::vector<std::string>& prefix = {}) {
        int output[2];
        int input[2];
        ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
        FileDescriptor outputWrite(output[1]);
        FileDescriptor inputRead(input[0]);
        input_ = FileDescriptor(input[1]);
        events_ = std::make_unique<EventLines>(FileDescriptor(output[0]));
        std::vector<std::string> argv = prefix;
        argv.push_back(BW_BEAMWRIGHT_BINARY);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        player_ = test::ChildProcess(argv, outputWrite.get(), dir_ / "stderr.txt", inputRead.get());
        // Started; a refused command line may have ended already.
        ASSERT_GT(player_.pid(), 0);
    }

    void type(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(input_.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }

    // liblo's oscsend, to the loopback address (no name to resolve).
    void oscsend(const std::vector<std::string>& message) {
        std::vector<std::string> argv = {
            "sh",      "-c",        "oscsend \"$@\" 2>&1; echo \"exit $?\"",
            "oscsend", "127.0.0.1", std::to_string(oscPort_)};
        argv.insert(argv.end(), message.begin(), message.end());
        const auto said = test::runAndCapture(argv, 10s);
        ASSERT_TRUE(said.has_value()) << "oscsend did not end";
        ASSERT_EQ(*said, "exit 0\n") << "oscsend said:\n" << *said;
    }

    std::string context() const {
        return "events:\n" + events_->all() + "stderr:\n" + test::readFile(dir_ / "stderr.txt");
    }

    test::PipeWireDaemon daemon_;
    test::TempDir dir_;
    std::uint16_t oscPort_ = 0;
    std::uint16_t crepPort_ = 0;
    test::ChildProcess player_;
    FileDescriptor input_;
    std::unique_ptr<EventLines> events_;
};

// A GO inside the guard the preferences set is dropped and said so, with its
// source; the show stays where the first GO put it. Panic gets through.
TEST_F(HeadlessPlayerTest, AGoInsideTheGuardIsIgnoredAndSaysWhereItCameFrom) {
    setGoGuard("30");
    const std::string show = writeShow();
    start({"--headless", show});
    EventLines& events = *events_;
    ASSERT_TRUE(events.waitFor("load done 3 cues 2 outputs")) << context();
    sendOsc(oscPort_, "/go");
    ASSERT_TRUE(events.waitFor("current cue 1.0 \"Grid\"")) << context();
    sendCrep(crepPort_, "cue 3.5");
    const std::string ignored = events.waitForPrefix("GO ignored: ");
    EXPECT_TRUE(ignored.ends_with(" s after the last, from CREP")) << context();
    EXPECT_EQ(events.all().find("current cue 3.5"), std::string::npos) << context();
    // Panic is never refused, from OSC or CREP.
    sendOsc(oscPort_, "/panic");
    ASSERT_TRUE(events.waitFor("current cue -2.0 \"Panic\"")) << context();
    sendCrep(crepPort_, "panic");
    ASSERT_TRUE(events.waitFor("transition complete")) << context();
}

TEST_F(HeadlessPlayerTest, RunsAShowFromOscCrepAndItsTerminal) {
    const std::string show = writeShow();
    start({"--headless", show, "--fps", "30"});

    EventLines& events = *events_;
    ASSERT_TRUE(events.waitFor("remote osc " + std::to_string(oscPort_) + " crep " +
                               std::to_string(crepPort_)))
        << context();
    ASSERT_TRUE(events.waitFor("load begin " + show)) << context();
    ASSERT_TRUE(events.waitFor("next cue 1.0 \"Grid\"")) << context();
    ASSERT_TRUE(events.waitFor("load done 3 cues 2 outputs")) << context();

    oscsend({"/go"});
    ASSERT_TRUE(events.waitFor("transition began")) << context();
    ASSERT_TRUE(events.waitFor("current cue 1.0 \"Grid\"")) << context();
    ASSERT_TRUE(events.waitFor("transition complete")) << context();
    ASSERT_TRUE(events.waitFor("next cue 2.0 \"Picture \\\"A\\\"\"")) << context();

    // Go to cue 3.5 and back to cue 2 over the network.
    oscsend({"/cue", "f", "3.5"});
    ASSERT_TRUE(events.waitFor("current cue 3.5 \"Blackout\"")) << context();
    sendCrep(crepPort_, "cue 2");
    ASSERT_TRUE(events.waitFor("current cue 2.0 \"Picture \\\"A\\\"\"")) << context();
    ASSERT_TRUE(events.waitFor("transition complete")) << context();

    // The stage output now shows the cue's picture, at its own size.
    const auto frames = test::receiveFrames("Stage", kStageSize.width, kStageSize.height, 2);
    ASSERT_FALSE(frames.empty()) << context();
    test::Image expected;
    ASSERT_TRUE(test::loadPng(test::testMediaDir() / "image.png", expected));
    ASSERT_EQ(expected.size, kStageSize);
    test::Image published{kStageSize, {}};
    for (std::size_t k = 0; k < frames.back().size(); k += 4) {
        const std::uint8_t* bgra = &frames.back()[k];
        published.rgba.insert(published.rgba.end(), {bgra[2], bgra[1], bgra[0], bgra[3]});
    }
    const test::ImageDifference difference = test::compare(published, expected, 3);
    EXPECT_TRUE(difference.sameSize);
    EXPECT_EQ(difference.pixelsBeyondTolerance, 0u)
        << "largest channel difference " << difference.largestChannelDifference;

    // The terminal: a cue number, nonsense, save, and a reload by signal.
    type("3.5");
    ASSERT_TRUE(events.waitFor("current cue 3.5 \"Blackout\"")) << context();
    type("next please");
    ASSERT_TRUE(events.waitFor("unknown command \"next please\"")) << context();
    type("save");
    ASSERT_TRUE(events.waitFor("saved " + show)) << context();
    const DecodedShow saved = ShowFile::decode(test::readFile(show), show);
    ASSERT_EQ(saved.status, DecodedShow::Status::Decoded);
    EXPECT_EQ(saved.cues.size(), 3u);
    ::kill(player_.pid(), SIGHUP);
    ASSERT_TRUE(events.waitFor("load begin " + show)) << context();
    ASSERT_TRUE(events.waitFor("load done 3 cues 2 outputs")) << context();

    // SIGTERM ends it cleanly.
    const auto status = player_.stop(SIGTERM, 10s);
    ASSERT_TRUE(events.waitFor("stopped")) << context();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << context();
}

// Media of every shape, fitted on a 16:9 output and read through PipeWire:
// a phone clip turned by its container, a portrait clip, a 4:3 clip, an
// anamorphic clip and a portrait still each show upright (red above blue)
// in their own proportions, with transparent bars where they do not reach.
TEST_F(HeadlessPlayerTest, MediaOfEveryShapeIsShownUprightInItsOwnProportions) {
    struct Case {
        const char* media;
        int left, right;  // the picture's first and last column; rows likewise
        int top, bottom;
        bool halves;  // red above blue, or white all over
    };
    // On 64x36: 16x32 upright and 18x32 stand 18 and 20 wide in the middle,
    // 4:3 stands 48 wide, 2:1 lies 32 high, 24x48 stands 18 wide.
    const Case cases[] = {
        {"movie-rotate-90.mp4", 23, 40, 0, 35, true}, {"movie-portrait.mp4", 22, 41, 0, 35, true},
        {"movie-4x3.mp4", 8, 55, 0, 35, true},        {"movie-anamorphic.mkv", 0, 63, 2, 33, false},
        {"image-portrait.png", 23, 40, 0, 35, true},
    };
    constexpr std::uint32_t kWidth = 64;
    constexpr std::uint32_t kHeight = 36;
    std::string cues;
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const fs::path media = test::testMediaDir() / cases[k].media;
        if (!fs::exists(media)) {
            if (std::getenv("CI") != nullptr) FAIL() << media << " was not made";
            GTEST_SKIP() << media << " was not made (no H.264 encoder)";
        }
        cues += std::string(k == 0 ? "" : ",") + R"({"id":)" + std::to_string(k + 1) +
                R"(,"description":"Shape","fadeLength":0,"outputStates":[{"mediaPath":")" +
                media.string() + R"(","muted":true,"looped":true,"kenBurns":false,"fit":"fit"}]})";
    }
    const std::string show =
        dir_.write("shapes.bwshow",
                   R"({"config":[{"name":"Stage","width":64,"height":36}],"cues":[)" + cues + "]}")
            .string();
    start({"--headless", show});
    ASSERT_TRUE(events_->waitFor("load done 5 cues 1 outputs")) << context();

    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.media);
        type(std::to_string(k + 1));
        ASSERT_TRUE(events_->waitFor("current cue " + std::to_string(k + 1) + ".0 \"Shape\""))
            << context();
        // BGRA as published; the picture may take a few frames to arrive.
        std::string wrong = "no frames";
        const auto deadline = std::chrono::steady_clock::now() + test::scaled(60s);
        while (!wrong.empty() && std::chrono::steady_clock::now() < deadline) {
            const auto frames = test::receiveFrames("Stage", kWidth, kHeight, 2);
            if (frames.empty()) continue;
            const auto pixel = [&](int x, int y) { return &frames.back()[(y * kWidth + x) * 4]; };
            wrong.clear();
            const auto expect = [&](int x, int y, bool covered, const char* what) {
                const std::uint8_t* p = pixel(x, y);
                const bool opaque = p[3] > 200;
                if (opaque != covered) {
                    wrong += " (" + std::to_string(x) + "," + std::to_string(y) + ") " + what;
                }
            };
            const int midX = (c.left + c.right) / 2;
            const int midY = (c.top + c.bottom) / 2;
            for (const int x : {c.left, c.right})
                expect(x, midY, true, "inside, at the edge");
            if (c.left > 1) {
                expect(c.left - 2, midY, false, "left bar");
                expect(c.right + 2, midY, false, "right bar");
            }
            if (c.top > 1) {
                expect(midX, c.top - 2, false, "top bar");
                expect(midX, c.bottom + 2, false, "bottom bar");
            }
            const std::uint8_t* upper = pixel(midX, c.top + 4);
            const std::uint8_t* lower = pixel(midX, c.bottom - 4);
            const bool upright =
                c.halves ? upper[2] > 150 && upper[0] < 90 && lower[0] > 150 && lower[2] < 90
                         : upper[0] > 200 && upper[2] > 200 && lower[1] > 200;
            if (!upright) wrong += " not upright";
        }
        EXPECT_EQ(wrong, "") << context();
    }
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
    ASSERT_TRUE(player_.wait(10s).has_value());
}

// A show that is not there is reported and the player keeps running; once
// the file exists, a reload loads it. "quit" ends the player.
TEST_F(HeadlessPlayerTest, AFailedLoadIsReportedAndAReloadTriesTheFileAgain) {
    const std::string show = (dir_ / "show.bwshow").string();
    start({"--headless", show});
    ASSERT_TRUE(events_->waitFor("load begin " + show)) << context();
    const std::string failed = events_->waitForPrefix("load failed ");
    EXPECT_NE(failed.find("cannot be read"), std::string::npos) << context();

    type("save");
    ASSERT_EQ(events_->waitForPrefix("save failed "), "save failed the show has no file location")
        << context();
    EXPECT_FALSE(fs::exists(show));

    writeShow();
    type("reload");
    ASSERT_TRUE(events_->waitFor("load done 3 cues 2 outputs")) << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
    const auto status = player_.wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

// A show file larger than memory (sparse, so it takes no disk) is refused
// before it is read: the check says so and exits 1, and the player's load
// ends as a failure, so a save answers for the missing file location rather
// than for a load that never ends.
TEST_F(HeadlessPlayerTest, AShowFileTooLargeToReadIsNotAShow) {
    const fs::path show = dir_.write("huge.bwshow", "");
    fs::resize_file(show, std::uintmax_t{64} << 30);

    start({"--check", show.string()});
    const auto checked = player_.wait(10s);
    ASSERT_TRUE(checked.has_value());
    EXPECT_TRUE(WIFEXITED(*checked) && WEXITSTATUS(*checked) == 1) << *checked << "\n" << context();
    EXPECT_NE(test::readFile(dir_ / "stderr.txt").find("not a show: too large"), std::string::npos)
        << context();

    start({"--headless", show.string()});
    EXPECT_EQ(events_->waitForPrefix("load failed "),
              "load failed " + fs::canonical(show).string() + " is not a show: too large")
        << context();
    type("save");
    EXPECT_EQ(events_->waitForPrefix("save failed "), "save failed the show has no file location")
        << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
}

TEST_F(HeadlessPlayerTest, RefusesABadCommandLine) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--headless"},
                                               {"--headless", "a.bwshow", "--fps", "0"},
                                               {"--headless", "a.bwshow", "--fps", "fast"},
                                               {"--headless", "a.bwshow", "b.bwshow"}}) {
        start(arguments);
        const auto status = player_.wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 64) << arguments.back();
    }
}

// Verifies that the ports given on the command line win over the
// environment's, and that a port option without a port is refused.
TEST_F(HeadlessPlayerTest, PortOptionsChooseWhereRemoteCommandsAreTaken) {
    std::uint16_t osc = 0;
    std::uint16_t crep = 0;
    while (osc == 0 || osc == oscPort_ || osc == crepPort_)
        osc = freePort();
    while (crep == 0 || crep == oscPort_ || crep == crepPort_ || crep == osc)
        crep = freePort();
    const std::string show = writeShow();
    start({"--osc-port", std::to_string(osc), "--headless", show, "--crep-port",
           std::to_string(crep)});
    ASSERT_TRUE(
        events_->waitFor("remote osc " + std::to_string(osc) + " crep " + std::to_string(crep)))
        << context();
    ASSERT_TRUE(events_->waitFor("load done 3 cues 2 outputs")) << context();
    sendOsc(osc, "/go");
    ASSERT_TRUE(events_->waitFor("current cue 1.0 \"Grid\"")) << context();
    sendCrep(crep, "cue 3.5");
    ASSERT_TRUE(events_->waitFor("current cue 3.5 \"Blackout\"")) << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();

    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--headless", show, "--osc-port"},
                                               {"--osc-port", "0", "--headless", show},
                                               {"--headless", show, "--crep-port", "65536"}}) {
        start(arguments);
        const auto status = player_.wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 64) << arguments[1];
    }
}

// Verifies that with no PipeWire daemon to publish to, the player says so on
// its terminal, and plays the show all the same.
TEST_F(HeadlessPlayerTest, SaysWhenNoPipeWireDaemonAnswers) {
    ::setenv("PIPEWIRE_REMOTE", "beamwright-test-no-daemon", 1);
    start({"--headless", writeShow()});
    ::unsetenv("PIPEWIRE_REMOTE");
    const std::string line = events_->waitForPrefix("pipewire unreachable ");
    EXPECT_NE(line.find(": outputs are not published until a daemon answers"), std::string::npos)
        << context();
    ASSERT_TRUE(events_->waitFor("load done 3 cues 2 outputs")) << context();
    type("go");
    ASSERT_TRUE(events_->waitFor("current cue 1.0 \"Grid\"")) << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
}

// Verifies that the player says when a health warning appears and clears,
// on their real causes: a cue's picture taken off the disk and put back,
// and the PipeWire daemon stopped and started again.
TEST_F(HeadlessPlayerTest, SaysWhenAHealthWarningAppearsAndClears) {
    const std::filesystem::path picture = dir_ / "picture.png";
    std::filesystem::copy_file(test::testMediaDir() / "image.png", picture);
    const std::string show =
        dir_.write("health.bwshow", R"({"config":[{"name":"Stage","width":32,"height":24}],)"
                                    R"("cues":[{"id":4,"fadeLength":0,"outputStates":[)"
                                    R"({"mediaPath":")" +
                                        picture.string() +
                                        R"(","muted":true,"looped":true,"kenBurns":false}]}]})")
            .string();
    start({"--headless", show});
    ASSERT_TRUE(events_->waitFor("load done 1 cues 1 outputs")) << context();

    std::filesystem::rename(picture, dir_ / "away.png");
    ASSERT_TRUE(events_->waitFor("health warning missing media: 1 media file missing (cue 4.0)"))
        << context();
    std::filesystem::rename(dir_ / "away.png", picture);
    ASSERT_TRUE(events_->waitFor("health cleared missing media")) << context();

    daemon_.stop();
    ASSERT_FALSE(events_->waitForPrefix("health warning sharing: Outputs not shared: ").empty())
        << context();
    ASSERT_TRUE(daemon_.start()) << daemon_.log();
    ASSERT_TRUE(events_->waitFor("health cleared sharing", 30s)) << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
}

// Verifies that a show whose sound output the sound server does not have
// (here no PulseAudio server answers at all) says so on the terminal as it
// loads, and plays all the same.
TEST_F(HeadlessPlayerTest, SaysWhenTheShowsSoundOutputIsNotThere) {
    const std::string show =
        dir_.write("sound.bwshow", R"({"config":[{"name":"Stage","width":32,"height":24}],)"
                                   R"("cues":[],"soundOutput":"desk-speakers"})")
            .string();
    // Named outright, so that no client starts a server of its own.
    ::setenv("PULSE_SERVER", ("unix:" + (dir_ / "no-pulse-server").string()).c_str(), 1);
    start({"--headless", show});
    ::unsetenv("PULSE_SERVER");
    ASSERT_TRUE(events_->waitFor("load done 0 cues 1 outputs")) << context();
    ASSERT_TRUE(events_->waitFor(
        "health warning sound: No sound on \"desk-speakers\": that sound output is not there"))
        << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
}

// Verifies that a movie the process has too few file descriptors left for
// is refused with a warning on the terminal, and that the show plays on. The
// limit is the player's own use with the movie's cue showing black, plus
// less than a movie and the reserve it must leave.
TEST_F(HeadlessPlayerTest, AMovieIsRefusedWhenFileDescriptorsRunShortAndTheShowPlaysOn) {
    const std::string movie = (test::testMediaDir() / "movie-sound-long.mkv").string();
    ASSERT_TRUE(fs::exists(movie));
    const auto writeShowWith = [this](const std::string& media) {
        return dir_
            .write(
                "limits.bwshow",
                R"({"config":[{"name":"Stage","width":64,"height":48}],"cues":[)"
                R"({"id":1,"description":"Movie","fadeLength":0,"outputStates":[)"
                R"({"mediaPath":")" +
                    media +
                    R"(","muted":true,"looped":true,"kenBurns":false}]},)"
                    R"({"id":2,"description":"Black","fadeLength":0,"outputStates":[)"
                    R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false}]}]})")
            .string();
    };
    start({"--headless", writeShowWith("black://")});
    ASSERT_TRUE(events_->waitFor("load done 2 cues 1 outputs")) << context();
    std::size_t used = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(player_.pid()) + "/fd")) {
        ++used;
    }
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
    ASSERT_TRUE(player_.wait(10s).has_value());

    const std::size_t limit = used + 16;
    const std::string show = writeShowWith(movie);
    start({"--headless", show}, {"prlimit", "--nofile=" + std::to_string(limit)});
    const std::string warning = events_->waitForPrefix("warning cannot play " + movie);
    EXPECT_NE(warning.find("too few file descriptors left"), std::string::npos) << context();
    type("go");
    ASSERT_TRUE(events_->waitFor("current cue 1.0 \"Movie\"")) << context();
    type("2");
    ASSERT_TRUE(events_->waitFor("current cue 2.0 \"Black\"")) << context();
    const auto frames = test::receiveFrames("Stage", kStageSize.width, kStageSize.height, 2);
    EXPECT_FALSE(frames.empty()) << "the output is still published\n" << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
    const auto status = player_.wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << context();
}

// An outside receiver (gst-launch-1.0 with srtsrc) takes Stage's network
// stream: it sees the cue's picture, then the black a GO brings; the
// player says when it connects and when it leaves.
TEST_F(HeadlessPlayerTest, AReceiverTakesAnOutputsStreamAndIsSaidToComeAndGo) {
    if (!test::programOnPath("gst-launch-1.0"))
        BW_OUTSIDE_PEER_MISSING() << "gst-launch-1.0 is not installed";
    const std::uint16_t port = freePort();
    const std::string url = "srt://127.0.0.1:" + std::to_string(port);
    std::string json = test::readFile(writeShow());
    const std::string stage = R"("name":"Stage","width":64,"height":48)";
    json.replace(json.find(stage), stage.size(), stage + R"(,"stream":{"url":")" + url + R"("})");
    start({"--headless", dir_.write("show.bwshow", json).string()});
    ASSERT_TRUE(events_->waitFor("load done 3 cues 2 outputs")) << context();
    type("go");  // the grid
    ASSERT_TRUE(events_->waitFor("current cue 1.0 \"Grid\"")) << context();

    int pixels[2];
    ASSERT_EQ(::pipe2(pixels, O_CLOEXEC), 0);
    FileDescriptor pixelsRead(pixels[0]);
    test::ChildProcess receiver({"gst-launch-1.0",
                                 "-q",
                                 "srtsrc",
                                 "uri=" + url,
                                 "!",
                                 "tsdemux",
                                 "!",
                                 "h264parse",
                                 "!",
                                 "avdec_h264",
                                 "!",
                                 "videoconvert",
                                 "!",
                                 "videoscale",
                                 "!",
                                 "video/x-raw,format=RGB,width=1,height=1",
                                 "!",
                                 "fdsink",
                                 "fd=1",
                                 "sync=false"},
                                pixels[1], dir_ / "receiver.txt");
    ::close(pixels[1]);
    // The average colour of each picture the receiver decodes, until one
    // passes `wanted`.
    const auto receives = [&](auto wanted) {
        const auto deadline = SteadyClock::now() + test::scaled(30s);
        unsigned char pixel[3];
        std::size_t have = 0;
        while (SteadyClock::now() < deadline) {
            pollfd ready{pixelsRead.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            const ssize_t n = ::read(pixelsRead.get(), pixel + have, sizeof pixel - have);
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
            if (have < sizeof pixel) continue;
            have = 0;
            if (wanted(pixel[0], pixel[1], pixel[2])) return true;
        }
        return false;
    };
    const std::string connected = events_->waitForPrefix("stream \"Stage\": receiver 127.0.0.1:");
    EXPECT_TRUE(connected.ends_with(" connected (1 watching)")) << context();
    EXPECT_NE(events_->all().find("stream \"Stage\": listening on " + url + " ("),
              std::string::npos)
        << context();
    EXPECT_TRUE(receives([](int r, int g, int b) { return r + g + b > 60; }))
        << "no grid: " << context() << test::readFile(dir_ / "receiver.txt");
    type("go");  // a picture on Stage
    type("go");  // Stage black
    ASSERT_TRUE(events_->waitFor("current cue 3.5 \"Blackout\"")) << context();
    EXPECT_TRUE(receives([](int r, int g, int b) { return r <= 8 && g <= 8 && b <= 8; }))
        << "no black: " << context() << test::readFile(dir_ / "receiver.txt");
    receiver.stop(SIGINT, 5s);
    const std::string left = events_->waitForPrefix("stream \"Stage\": receiver 127.0.0.1:");
    EXPECT_TRUE(left.ends_with(" left (0 watching)")) << context();
    type("quit");
    ASSERT_TRUE(events_->waitFor("stopped")) << context();
}

}  // namespace
}  // namespace bw
