#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media/AudioOutput.h"
#include "media/VideoPlayer.h"
#include "media/support/SoundServer.h"
#include "platform/SoundSinks.h"
#include "platform/SystemLog.h"
#include "render/RenderTestSupport.h"
#include "show/ShowCheck.h"
#include "show/ShowFile.h"
#include "support/Deadline.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

const std::chrono::milliseconds kSoundDeadline = test::scaled(20s);
constexpr const char* kDefaultSink = "bw-test-default";
constexpr const char* kChosenSink = "bw-test-chosen";
// Tenths of a second of sound read from a sink's monitor: the test movie's
// tone sounds in every one.
constexpr int kIntervals = 10;

// Movies played for real through a private sound server with two null sinks,
// the default one and the one the tests choose.
class SoundOutputTest : public test::RenderTest {
protected:
    void SetUp() override {
        ::unsetenv("BEAMWRIGHT_AUDIO_SINK");
        ::setenv("GST_REGISTRY", BW_TEST_MEDIA_DIR "/../gst-registry.bin", 0);
        test::RenderTest::SetUp();
        const std::vector<std::string> missing = test::SoundServer::missingPrograms();
        if (!missing.empty()) {
            std::string names;
            for (const std::string& name : missing)
                names += " " + name;
            const std::string why = "no sound server to test with: not installed:" + names;
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
        server_.emplace();
    }
    void TearDown() override {
        AudioOutput::shared().setTarget("");
        VideoPlayer::waitForStoppedPipelines();
        server_.reset();
        ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
        test::RenderTest::TearDown();
    }

    // Starts the server with its two sinks.
    void startServer() {
        const std::optional<std::string> failure = server_->start();
        ASSERT_FALSE(failure) << *failure;
        ASSERT_TRUE(server_->addSink(kDefaultSink, "Test Default", 2000, kSoundDeadline))
            << server_->log();
        ASSERT_TRUE(server_->addSink(kChosenSink, "Test Chosen", 1000, kSoundDeadline))
            << server_->log();
    }

    std::optional<test::SoundServer> server_;
};

// Verifies that the chooser's list is the server's sinks, by name and
// description, and that no server reads as none.
TEST_F(SoundOutputTest, ListsTheSoundServersSinks) {
    EXPECT_FALSE(SoundSinks::list()) << "no server runs yet";
    startServer();
    if (HasFatalFailure()) return;
    const std::optional<std::vector<SoundSink>> sinks = SoundSinks::list();
    ASSERT_TRUE(sinks);
    const std::vector<SoundSink> expected{{kChosenSink, "Test Chosen"},
                                          {kDefaultSink, "Test Default"}};
    ASSERT_EQ(sinks->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*sinks)[i].name, expected[i].name);
        EXPECT_EQ((*sinks)[i].description, expected[i].description);
    }
}

// Records each sink's monitor while a movie with sound plays to the chosen
// output: unmuted, its tone is on the chosen sink and not the default;
// muted, the chosen sink gets the movie's stream and only silence; an output
// the server lacks is warned about, and the movie plays to the default.
TEST_F(SoundOutputTest, MoviesPlayToTheChosenOutputAndAMutedOneIsSilent) {
    const std::string movie = std::string(BW_TEST_MEDIA_DIR) + "/movie-sound-long.mkv";
    if (!std::filesystem::exists(movie)) GTEST_SKIP() << "no movie with sound on this machine";
    startServer();
    if (HasFatalFailure()) return;
    const struct {
        const char* name;
        std::string target;
        bool muted;
        const char* loudSink;  // the sink the tone reaches; null: none does
        bool missing;
    } cases[] = {
        {"chosen, unmuted", kChosenSink, false, kChosenSink, false},
        {"chosen, muted", kChosenSink, true, nullptr, false},
        {"missing, unmuted", "bw-test-unplugged", false, kDefaultSink, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SystemLog::ScopedCapture log;
        AudioOutput::shared().setTarget(c.target);
        auto movieNow = std::make_unique<VideoPlayer>(MediaURL::fileURL(movie), c.muted, false);
        VideoPlayer& player = *movieNow;
        player.setVolume(1.0F);
        player.play();
        // The pictures are taken as the render thread would, so the movie
        // (and its sound) keeps going while the monitors are read.
        auto keepTaking = [&](const std::function<bool()>& done) {
            return test::waitFor(
                [&] {
                    player.frameForTime(DisplayTimeStamp{});
                    return done();
                },
                kSoundDeadline);
        };
        const std::string into = c.loudSink != nullptr ? c.loudSink : kChosenSink;
        ASSERT_TRUE(keepTaking([&] { return test::SoundServer::hasInput(into); }))
            << "the movie's sound never reached " << into << "\n"
            << server_->log();
        EXPECT_EQ(AudioOutput::shared().chosen(), "pulsesink");
        EXPECT_EQ(AudioOutput::shared().missingTarget(),
                  c.missing ? std::optional(c.target) : std::nullopt);
        for (const char* sink : {kDefaultSink, kChosenSink}) {
            auto recording = std::async(std::launch::async, [&] {
                return test::recordPeak(sink, kIntervals, kSoundDeadline);
            });
            keepTaking([&] { return recording.wait_for(0s) == std::future_status::ready; });
            const std::optional<double> peak = recording.get();
            ASSERT_TRUE(peak) << "nothing recorded from " << sink;
            std::cout << c.name << ": " << sink << " peaks at " << *peak << " dBFS\n";
            if (c.loudSink != nullptr && std::string(sink) == c.loudSink) {
                EXPECT_GT(*peak, -40.0) << sink;
            } else {
                EXPECT_LT(*peak, -100.0) << sink;
            }
        }
        EXPECT_FALSE(player.failed());
        // The next case hears only its own movie.
        movieNow.reset();
        ASSERT_TRUE(VideoPlayer::waitForStoppedPipelines(kSoundDeadline));
        ASSERT_TRUE(test::waitFor(
            [] {
                return !test::SoundServer::hasInput(kDefaultSink) &&
                       !test::SoundServer::hasInput(kChosenSink);
            },
            kSoundDeadline));
    }
}

// Verifies that the show check finds the chosen output on the server, and
// reports one the server lacks as a problem of its own.
TEST_F(SoundOutputTest, TheShowCheckReportsAMissingSoundOutput) {
    startServer();
    if (HasFatalFailure()) return;
    test::TempDir dir;
    const std::string path = (dir.path() / "show.bwshow").string();
    const struct {
        std::string output;
        int status;
        const char* line;
    } cases[] = {
        {kChosenSink, ShowCheck::kShowOK, "sound output \"bw-test-chosen\"\n"},
        {"bw-test-unplugged", ShowCheck::kSoundOutputMissing,
         "sound output \"bw-test-unplugged\" (missing)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ShowSettings settings;
        settings.soundOutput = c.output;
        const EncodedShow encoded = ShowFile::encode({}, {}, path, settings);
        ASSERT_TRUE(encoded.ok);
        std::ofstream(path) << encoded.json;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(ShowCheck::run(path, out, err), c.status) << err.str();
        EXPECT_NE(out.str().find(c.line), std::string::npos) << out.str();
    }
}

}  // namespace
}  // namespace bw
