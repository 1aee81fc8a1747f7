#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "show/ShowCheck.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

struct CheckRun {
    int status;
    std::string out;
    std::string err;
};

// Puts a copy of the test medium `name` at `relativePath` inside `dir`: the
// check opens media as playback does, so a present file must be real.
void copyMedium(const test::TempDir& dir, const std::string& name,
                const std::string& relativePath) {
    std::filesystem::create_directories((dir / relativePath).parent_path());
    std::filesystem::copy_file(test::testMediaDir() / name, dir / relativePath);
}

CheckRun check(const std::string& path) {
    std::ostringstream out;
    std::ostringstream err;
    int status = ShowCheck::run(path, out, err);
    return {status, out.str(), err.str()};
}

TEST(ShowCheckTest, ListsOutputsCuesAndMissingMedia) {
    test::TempDir dir;
    copyMedium(dir, "movie.webm", "media/here.mov");
    auto show = dir.write("gala.bwshow", R"({"config":[
            {"name":"Screen \"L\"","width":1920,"height":1080},{"name":"Rück","width":640.5,"height":480}],
        "cues":[
            {"id":1,"description":"Walk-in","fadeLength":3,"outputStates":[
                {"mediaPath":"media/here.mov","muted":false,"looped":true,"kenBurns":false},
                {"mediaPath":"grid://","muted":true,"looped":true,"kenBurns":false}]},
            {"id":1e16,"fadeLength":2.5,"outputStates":[
                {"mediaPath":"gone dir/x.png","muted":true,"looped":true,"kenBurns":true}]}]})");

    CheckRun run = check(show.string());
    EXPECT_EQ(run.status, ShowCheck::kMediaMissing);
    EXPECT_EQ(run.err, show.string() + ": 1 media missing, 0 unreadable\n");
    const std::string folder = dir.path().string();
    EXPECT_EQ(run.out,
              "output 0 \"Screen \\\"L\\\"\" 1920x1080\n"
              "output 1 \"Rück\" 640x480\n"
              "cue 1.0 fade 3.0 \"Walk-in\"\n"
              "  state 0 " +
                  folder +
                  "/media/here.mov muted=0 looped=1 kenBurns=0\n"
                  "  state 1 grid:// muted=1 looped=1 kenBurns=0\n"
                  "cue 1e+16 fade 2.5 \"\"\n"
                  "  state 0 " +
                  folder +
                  "/gone dir/x.png (missing) muted=1 looped=1 kenBurns=1\n"
                  "  state 1 black:// muted=1 looped=1 kenBurns=0\n"
                  "2 cues, 2 outputs, 1 missing media\n");
}

TEST(ShowCheckTest, ExitCodesSayWhatIsWrong) {
    test::TempDir dir;
    CheckRun unreadable = check((dir / "none.bwshow").string());
    EXPECT_EQ(unreadable.status, ShowCheck::kNotAShow);
    EXPECT_NE(unreadable.err.find("cannot be read"), std::string::npos) << unreadable.err;

    CheckRun notShow = check(dir.write("a.bwshow", "[1,2]").string());
    EXPECT_EQ(notShow.status, ShowCheck::kNotAShow);
    EXPECT_NE(notShow.err.find("not a show: the top level is not a JSON object"), std::string::npos)
        << notShow.err;
    EXPECT_EQ(notShow.out, "");

    CheckRun failed = check(dir.write("b.bwshow", R"({"config":[],"cues":[{"id":1,
        "outputStates":[]}]})")
                                .string());
    EXPECT_EQ(failed.status, ShowCheck::kShowFailed);
    EXPECT_NE(failed.err.find("cue 1 (ID 1.0): \"fadeLength\" is missing or not a number"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(failed.out, "");
}

// Verifies that a show naming a sound output is checked against the sound
// server (here none: this process's runtime folder is an empty one) and
// fails with a status of its own, while one playing to the system default is
// not asked about sound at all.
TEST(ShowCheckTest, AChosenSoundOutputWithoutASoundServerFailsTheCheck) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "runtime");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::optional<std::string> saved =
        runtime != nullptr ? std::optional<std::string>(runtime) : std::nullopt;
    ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
    // Named outright, so that no client starts a server of its own.
    const char* server = std::getenv("PULSE_SERVER");
    const std::optional<std::string> savedServer =
        server != nullptr ? std::optional<std::string>(server) : std::nullopt;
    ::setenv("PULSE_SERVER", ("unix:" + (dir / "runtime" / "none").string()).c_str(), 1);
    const struct {
        const char* members;
        int status;
        const char* line;  // in the listing; null: no sound output line
    } cases[] = {
        {"", ShowCheck::kShowOK, nullptr},
        {R"(,"soundOutput":"hdmi")", ShowCheck::kSoundOutputMissing,
         "sound output \"hdmi\" (no sound server)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        const CheckRun run =
            check(dir.write("s.bwshow", std::string(R"({"config":[],"cues":[])") + c.members + "}")
                      .string());
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out.find("sound output") != std::string::npos, c.line != nullptr) << run.out;
        if (c.line != nullptr) {
            EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
            EXPECT_NE(run.err.find("sound output \"hdmi\": no sound server answered"),
                      std::string::npos)
                << run.err;
        }
    }
    for (const auto& [name, value] :
         {std::pair{"XDG_RUNTIME_DIR", saved}, std::pair{"PULSE_SERVER", savedServer}}) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
}

// Verifies the status pre-show scripts go by: 0 only when every file is there
// and is a movie or a picture that plays.
TEST(ShowCheckTest, MissingOrUnreadableMediaFailTheCheck) {
    test::TempDir dir;
    copyMedium(dir, "movie-h264.mp4", "clip.mov");
    dir.write("notes.txt", "not a picture");
    std::filesystem::create_directory(dir / "folder.png");
    const struct {
        const char* media;
        int status;
        const char* marker;  // on the state's line
        const char* summary;
    } cases[] = {
        {"clip.mov", ShowCheck::kShowOK, "clip.mov muted", "1 cues, 1 outputs, 0 missing media\n"},
        {"black://", ShowCheck::kShowOK, "black:// muted", "1 cues, 1 outputs, 0 missing media\n"},
        {"gone.mov", ShowCheck::kMediaMissing, "gone.mov (missing)",
         "1 cues, 1 outputs, 1 missing media\n"},
        {"folder.png", ShowCheck::kMediaMissing, "folder.png (missing)",
         "1 cues, 1 outputs, 1 missing media\n"},
        {"notes.txt", ShowCheck::kMediaMissing, "notes.txt (unreadable)",
         "1 cues, 1 outputs, 0 missing media, 1 unreadable media\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.media);
        const auto show = dir.write(
            "show.bwshow", std::string(R"({"config":[{"name":"A","width":8,"height":6}],"cues":[)"
                                       R"({"id":1,"fadeLength":0,"outputStates":[{"mediaPath":")") +
                               c.media + R"(","muted":true,"looped":true,"kenBurns":false}]}]})");
        const CheckRun run = check(show.string());
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.out.find(c.marker), std::string::npos) << run.out;
        EXPECT_TRUE(run.out.ends_with(c.summary)) << run.out;
        EXPECT_EQ(run.err.empty(), c.status == ShowCheck::kShowOK) << run.err;
    }
}

// Verifies that media which is there but would not play (the way playback
// opens it) is reported by file and reason, with status 3, each file once.
TEST(ShowCheckTest, MediaThatWouldNotPlayIsReportedWithItsReason) {
    test::TempDir dir;
    const struct {
        const char* medium;  // from the test media
        const char* reason;  // none: it plays
    } cases[] = {
        {"movie-h264.mp4", nullptr},
        {"image.heic", nullptr},
        {"image.avif", nullptr},
        {"anim-once.gif", nullptr},
        {"sound.wav", "has sound but no picture"},
        {"sound-only.mkv", "has sound but no picture"},
        {"empty.mov", "empty file (zero length)"},
        {"corrupt.png", "the picture does not decode ("},
        {"image.jp2", "no loader for this picture format (image/jp2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.medium);
        if (!std::filesystem::exists(test::testMediaDir() / c.medium)) {
            // Not made by this machine's encoders (see MediaProbeTest).
            if (test::outsidePeersRequired()) ADD_FAILURE() << "test medium not made";
            continue;
        }
        const std::string name = std::string("media/").append(c.medium);
        copyMedium(dir, c.medium, name);
        // The same file on two outputs: one reason a state, one line a file.
        std::string state = R"({"mediaPath":")";
        state.append(name).append(R"(","muted":true,"looped":true,"kenBurns":false})");
        std::string text =
            R"({"config":[{"name":"A","width":8,"height":6},{"name":"B","width":8,"height":6}],)"
            R"("cues":[{"id":1,"fadeLength":0,"outputStates":[)";
        text.append(state).append(",").append(state).append("]}]}");
        const auto show = dir.write("show.bwshow", text);
        const CheckRun run = check(show.string());
        const std::string path = (dir / name).string();
        if (c.reason == nullptr) {
            EXPECT_EQ(run.status, ShowCheck::kShowOK) << run.out << run.err;
            EXPECT_TRUE(run.out.ends_with("1 cues, 2 outputs, 0 missing media\n")) << run.out;
            continue;
        }
        EXPECT_EQ(run.status, ShowCheck::kMediaMissing);
        std::string stateLine = path;
        stateLine.append(" (unreadable) muted=1 looped=1 kenBurns=0\n    unreadable: ")
            .append(c.reason);
        EXPECT_NE(run.out.find("  state 0 " + stateLine), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("  state 1 " + stateLine), std::string::npos) << run.out;
        EXPECT_TRUE(run.out.ends_with("1 cues, 2 outputs, 0 missing media, 2 unreadable media\n"))
            << run.out;
        EXPECT_TRUE(run.err.starts_with(path + ": " + c.reason)) << run.err;
        std::string summary = show.string();
        summary.append(": 0 media missing, 2 unreadable\n");
        EXPECT_TRUE(run.err.ends_with(summary)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
    }
}

// Verifies that the check opens the file the system opens: ".." after a
// linked folder climbs out of the folder the link points at, and media named
// with ".." beside a show reached through a linked folder is found.
TEST(ShowCheckTest, PathsThroughSymbolicLinksResolveAsTheSystemDoes) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path base = fs::canonical(dir.path());
    const auto show = [](const std::string& output, const std::string& media) {
        return R"({"config":[{"name":")" + output +
               R"(","width":8,"height":6}],"cues":[{"id":1,)"
               R"("fadeLength":0,"outputStates":[{"mediaPath":")" +
               media + R"(","muted":true,"looped":true,"kenBurns":false}]}]})";
    };
    dir.write("show.bwshow", show("Decoy", "grid://"));
    dir.write("real/show.bwshow", show("Real", "grid://"));
    dir.write("real/deep/inner.bwshow", show("Inner", "../up.png"));
    copyMedium(dir, "image.png", "real/up.png");
    fs::create_directory_symlink(dir / "real/deep", dir / "linkdir");

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"linkdir/../show.bwshow", "output 0 \"Real\" 8x6\n"},
        {"linkdir/inner.bwshow", "  state 0 " + (base / "real/up.png").string() + " muted=1"},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        const CheckRun run = check((dir / path).string());
        EXPECT_EQ(run.status, ShowCheck::kShowOK) << run.err;
        EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(", 0 missing media\n"), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace bw
