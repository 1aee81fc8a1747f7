#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "show/ShowFile.h"
#include "support/TempDir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using Status = DecodedShow::Status;

MediaOutputState fileState(const fs::path& path, bool muted = true, bool looped = true,
                           bool kenBurns = false) {
    return {MediaURL::fileURL(path.string()), muted, looped, kenBurns};
}

MediaOutputState generatorState(MediaURL::Generator kind) {
    return {MediaURL::generator(kind), true, true, false};
}

// A one-output show document around the given cue objects.
std::string showWithCues(const std::string& cues) {
    return R"({"config":[{"name":"A","width":64,"height":36}],"cues":[)" + cues + "]}";
}

std::string cueWithState(const std::string& state) {
    return R"({"id":1,"fadeLength":2,"outputStates":[)" + state + "]}";
}

TEST(ShowFileTest, RelativePathFollowsTheShowFolder) {
    const std::string show = "/Users/op/Shows/gala.bwshow";
    const struct {
        const char* media;
        const char* relative;
    } cases[] = {
        {"/Users/op/Shows/loop.mov", "loop.mov"},
        {"/Users/op/Shows/media/loop.mov", "media/loop.mov"},
        {"/Users/op/Movies/a.mov", "../Movies/a.mov"},
        {"/Volumes/Media/b.mov", "../../../Volumes/Media/b.mov"},
        {"/Users/op/Shows2/c.mov", "../Shows2/c.mov"},
        {"/Users/OP/Shows/d.mov", "../../OP/Shows/d.mov"},  // case-sensitive
        {"/e.mov", "../../../e.mov"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShowFile::relativePath(show, c.media), c.relative) << c.media;
    }
}

TEST(ShowFileTest, RoundTripKeepsTheWholeShow) {
    test::TempDir dir;
    fs::path media = dir.write("media/Vidéo de fond 1.mov", "x");
    fs::path image = dir.write("stills/a b.png", "x");
    // The folder exists, as it does for any show read from disk: "../" out of
    // it is resolved through the file system.
    fs::create_directories(dir / "Show folder");
    const std::string showPath = (dir / "Show folder/gala.bwshow").string();

    std::vector<OutputConfig> outputs{{"Screen L", 1920, 1080}, {"Écran \"R\"", 1280, 720}};
    std::vector<Cue> cues{
        {3.0,
         "Walk-in",
         3.0,
         {fileState(media, false, true), generatorState(MediaURL::Generator::Black)}},
        {1.0,
         "",
         0.0,
         {generatorState(MediaURL::Generator::Clear), fileState(image, true, true, true)}},
        {2.5,
         "Tab\there\nnew line",
         0.125,
         {generatorState(MediaURL::Generator::Grid), fileState(dir / "gone.mov")}},
        {1e16,
         "big",
         1e-3,
         {generatorState(MediaURL::Generator::Black), generatorState(MediaURL::Generator::Black)}},
        {0.1 + 0.2,
         "inexact",
         2.0 / 3.0,
         {generatorState(MediaURL::Generator::Black), generatorState(MediaURL::Generator::Black)}},
    };

    EncodedShow encoded = ShowFile::encode(outputs, cues, showPath);
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    EXPECT_EQ(encoded.json.find('\n'), std::string::npos) << "compact JSON";
    EXPECT_EQ(encoded.json.find(": "), std::string::npos) << "compact JSON";

    auto document = nlohmann::json::parse(encoded.json);
    EXPECT_EQ(document["show"], showPath);
    EXPECT_EQ(document["cues"][0]["outputStates"][0]["mediaPath"], "../media/Vidéo de fond 1.mov");
    EXPECT_EQ(document["cues"][0]["outputStates"][1]["mediaPath"], "black://");
    EXPECT_EQ(document["config"][1]["width"], 1280);

    DecodedShow decoded = ShowFile::decode(encoded.json, showPath);
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.outputs, outputs);
    EXPECT_EQ(decoded.cues, cues) << "cues keep file order and every value";
    EXPECT_EQ(decoded.savedLocation, showPath);
}

// Verifies that text JSON can hold, NUL characters included, reads back and
// saves again: a show that loads must never be one that cannot be saved.
TEST(ShowFileTest, NulCharactersInTextSurviveARoundTrip) {
    const std::string bytes =
        R"({"config":[{"name":"A\u0000B","width":1,"height":1}],)"
        R"("cues":[{"id":1,"description":"a\u0000b","fadeLength":1,"outputStates":[]}]})";
    DecodedShow decoded = ShowFile::decode(bytes, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.outputs[0].name, std::string("A\0B", 3));
    EXPECT_EQ(decoded.cues[0].description, std::string("a\0b", 3));

    EncodedShow encoded = ShowFile::encode(decoded.outputs, decoded.cues, "/s/show.bwshow");
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    EXPECT_EQ(ShowFile::decode(encoded.json, "/s/show.bwshow").cues, decoded.cues);
}

TEST(ShowFileTest, ShowCopiedAloneFindsMediaAtTheSavedLocation) {
    test::TempDir dir;
    fs::path media = dir.write("A/m/x.mov", "x");
    EncodedShow encoded =
        ShowFile::encode({{"Out", 640, 480}}, {{1.0, "", 3.0, {fileState(media)}}},
                         (dir / "A/show.bwshow").string());
    ASSERT_TRUE(encoded.ok);

    // Copied alone: m/x.mov is not beside the copy, so the saved location wins.
    fs::path copy = dir.write("B/show.bwshow", encoded.json);
    DecodedShow alone = ShowFile::decode(encoded.json, copy.string());
    ASSERT_EQ(alone.status, Status::Decoded);
    EXPECT_EQ(alone.cues[0].outputStates[0].mediaURL.path(), media.string());

    // Copied with its media: the copy beside the show is found first.
    fs::path copiedMedia = dir.write("B/m/x.mov", "x");
    DecodedShow together = ShowFile::decode(encoded.json, copy.string());
    EXPECT_EQ(together.cues[0].outputStates[0].mediaURL.path(), copiedMedia.string());

    // A saved location that is not absolute is no base to search from.
    std::string relativeSaved = encoded.json;
    relativeSaved.replace(relativeSaved.find((dir / "A/show.bwshow").string()),
                          (dir / "A/show.bwshow").string().size(), "A/show.bwshow");
    DecodedShow relative = ShowFile::decode(relativeSaved, (dir / "C/show.bwshow").string());
    EXPECT_EQ(relative.savedLocation, std::nullopt);
    EXPECT_EQ(relative.cues[0].outputStates[0].mediaURL.path(), (dir / "C/m/x.mov").string());

    // Neither exists: the media stays where the show's own folder says.
    fs::remove(media);
    fs::remove(copiedMedia);
    DecodedShow missing = ShowFile::decode(encoded.json, copy.string());
    ASSERT_EQ(missing.status, Status::Decoded) << "missing media is not a failure";
    EXPECT_EQ(missing.cues[0].outputStates[0].mediaURL.path(), copiedMedia.string());
}

TEST(ShowFileTest, AbsoluteMediaPathsAreUsedAsTheyStand) {
    std::string bytes = showWithCues(cueWithState(
        R"({"mediaPath":"/Volumes/Media/b.mov","muted":true,"looped":true,"kenBurns":false})"));
    DecodedShow decoded = ShowFile::decode(bytes, "/elsewhere/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded);
    EXPECT_EQ(decoded.cues[0].outputStates[0].mediaURL.path(), "/Volumes/Media/b.mov");

    // A ".." the file system cannot resolve stays in the path; such a path is
    // saved as it stands, so it reads back the same from anywhere.
    const std::string unresolved = "/no such folder/../b.mov";
    decoded.cues[0].outputStates[0].mediaURL = MediaURL::fileURL(unresolved);
    ASSERT_EQ(decoded.cues[0].outputStates[0].mediaURL.path(), unresolved);
    EncodedShow encoded = ShowFile::encode(decoded.outputs, decoded.cues, "/tmp/a/show.bwshow");
    ASSERT_TRUE(encoded.ok);
    EXPECT_NE(encoded.json.find(R"("mediaPath":"/no such folder/../b.mov")"), std::string::npos)
        << encoded.json;
    DecodedShow reread = ShowFile::decode(encoded.json, "/tmp/a/show.bwshow");
    ASSERT_EQ(reread.status, Status::Decoded);
    EXPECT_EQ(reread.cues[0].outputStates[0].mediaURL.path(), unresolved);
}

// Verifies that a screen choice is written for the outputs that have one and
// reads back, and that a show from before screen choices loads without any
// and saves as it was.
TEST(ShowFileTest, ScreenChoicesAreWrittenOnlyWhereMadeAndReadBack) {
    const std::vector<OutputConfig> outputs{
        {"Stage", 1920, 1080, ScreenChoice{"HDMI-A-1", "Projektor \"X\"", "SN 0042"}},
        {"Foyer", 1280, 720},
        {"Side", 64, 36, ScreenChoice{"DP-2", "", ""}},
    };
    EncodedShow encoded = ShowFile::encode(outputs, {}, "/s/show.bwshow");
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    auto document = nlohmann::json::parse(encoded.json);
    EXPECT_EQ(document["config"][0]["screen"],
              (nlohmann::json{
                  {"connector", "HDMI-A-1"}, {"model", "Projektor \"X\""}, {"serial", "SN 0042"}}));
    EXPECT_FALSE(document["config"][1].contains("screen"));
    DecodedShow decoded = ShowFile::decode(encoded.json, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.outputs, outputs);

    const std::string old = R"({"config":[{"name":"A","width":64,"height":36}],"cues":[]})";
    decoded = ShowFile::decode(old, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_FALSE(decoded.outputs[0].screen.has_value());
    encoded = ShowFile::encode(decoded.outputs, decoded.cues, "/s/show.bwshow");
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    EXPECT_EQ(encoded.json.find("screen"), std::string::npos) << encoded.json;
}

// Where a picture goes never keeps a show from opening: a "screen" member that
// does not read is no choice; a text member left out reads as empty.
// The show's settings are written only where they differ from the
// defaults, read back as written, and read as the defaults where a file
// has none or one not understood.
TEST(ShowFileTest, ShowSettingsAreWrittenOnlyWhereSetAndReadLeniently) {
    using AtEnd = ShowSettings::AtEnd;
    const struct {
        ShowSettings settings;
        const char* written;  // the members in the file, null: none
    } saved[] = {
        {{}, nullptr},
        {{AtEnd::Stop, 1.0}, R"("atEnd":"stop")"},
        {{AtEnd::Wrap, 2.5}, R"("panicSeconds":2.5)"},
    };
    for (const auto& c : saved) {
        SCOPED_TRACE(c.written != nullptr ? c.written : "defaults");
        const EncodedShow encoded = ShowFile::encode({}, {}, "/s/show.bwshow", c.settings);
        ASSERT_TRUE(encoded.ok) << encoded.failure;
        EXPECT_EQ(encoded.json.find("atEnd") != std::string::npos ||
                      encoded.json.find("panicSeconds") != std::string::npos,
                  c.written != nullptr);
        if (c.written != nullptr) {
            EXPECT_NE(encoded.json.find(c.written), std::string::npos);
        }
        EXPECT_EQ(ShowFile::decode(encoded.json, "/s/show.bwshow").settings, c.settings);
    }
    EXPECT_FALSE(ShowFile::encode({}, {}, "/s/show.bwshow", {AtEnd::Wrap, -1.0}).ok);

    const struct {
        const char* members;
        ShowSettings settings;
    } read[] = {
        {"", {}},
        {R"(,"atEnd":"wrap")", {}},
        {R"(,"atEnd":"loop")", {}},
        {R"(,"atEnd":true)", {}},
        {R"(,"atEnd":"stop","panicSeconds":0)", {AtEnd::Stop, 0.0}},
        {R"(,"panicSeconds":"2")", {}},
        {R"(,"panicSeconds":-1)", {}},
        {R"(,"panicSeconds":61)", {}},
    };
    for (const auto& c : read) {
        SCOPED_TRACE(c.members);
        const std::string json = std::string(R"({"config":[],"cues":[])") + c.members + "}";
        const DecodedShow decoded = ShowFile::decode(json, "/s/show.bwshow");
        ASSERT_EQ(decoded.status, Status::Decoded);
        EXPECT_EQ(decoded.settings, c.settings);
    }
}

// Verifies that an output state's placement is written only where it is not
// Stretch, reads back as written, and that a file from before placements
// existed reads as Stretch and is written back byte for byte.
TEST(ShowFileTest, PictureFitIsWrittenOnlyWhereNotStretchAndOldFilesKeepTheirBytes) {
    const struct {
        PictureFit fit;
        const char* written;  // null: no member
    } fits[] = {{PictureFit::Stretch, nullptr},
                {PictureFit::Fit, R"("fit":"fit")"},
                {PictureFit::Fill, R"("fit":"fill")"}};
    for (const auto& c : fits) {
        MediaOutputState state = generatorState(MediaURL::Generator::Grid);
        state.fit = c.fit;
        const std::vector<Cue> cues{{1.0, "", 1.0, {state}}};
        const EncodedShow encoded = ShowFile::encode({{"A", 64, 36}}, cues, "/s/show.bwshow");
        ASSERT_TRUE(encoded.ok) << encoded.failure;
        EXPECT_EQ(encoded.json.find("\"fit\"") != std::string::npos, c.written != nullptr);
        if (c.written != nullptr) {
            EXPECT_NE(encoded.json.find(c.written), std::string::npos);
        }
        const DecodedShow decoded = ShowFile::decode(encoded.json, "/s/show.bwshow");
        ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
        EXPECT_EQ(decoded.cues, cues);
    }

    const std::string old =
        R"({"atEnd":"stop","config":[{"height":36,"name":"A","width":64}],"cues":[)"
        R"({"description":"Walk-in","fadeLength":2.5,"id":1.0,"outputStates":[)"
        R"({"kenBurns":true,"looped":false,"mediaPath":"grid://","muted":true}]}],)"
        R"("panicSeconds":3.0,"show":"/s/show.bwshow"})";
    const DecodedShow decoded = ShowFile::decode(old, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.cues[0].outputStates[0].fit, PictureFit::Stretch);
    EXPECT_EQ(decoded.settings.defaultFit, PictureFit::Fit);
    EXPECT_EQ(decoded.settings.bars, PictureBars::Transparent);
    const EncodedShow again =
        ShowFile::encode(decoded.outputs, decoded.cues, "/s/show.bwshow", decoded.settings);
    ASSERT_TRUE(again.ok) << again.failure;
    EXPECT_EQ(again.json, old);
}

// Verifies that a cue's timing and an output's end-of-movie choice are written
// only where set, read back as written, and that a show with them reads and
// writes back byte for byte (an old one is covered above).
TEST(ShowFileTest, CueTimingIsWrittenOnlyWhereSetAndKeepsTheFileBytes) {
    MediaOutputState black = generatorState(MediaURL::Generator::Black);
    MediaOutputState ending = black;
    ending.atMovieEnd = AtMovieEnd::Black;
    Cue plain{1.0, "", 1.0, {black}};
    Cue timed{2.0, "", 1.0, {ending}, 1.5, CueContinue::AutoContinue, 2.25};
    Cue follows{3.0, "", 0.0, {black}, 0.0, CueContinue::AutoFollow, 0.0};
    const std::vector<Cue> cues{plain, timed, follows};
    const EncodedShow encoded = ShowFile::encode({{"A", 64, 36}}, cues, "/s/show.bwshow");
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    const std::string expected =
        R"({"config":[{"height":36,"name":"A","width":64}],"cues":[)"
        R"({"description":"","fadeLength":1.0,"id":1.0,"outputStates":[)"
        R"({"kenBurns":false,"looped":true,"mediaPath":"black://","muted":true}]},)"
        R"({"continue":"autoContinue","description":"","fadeLength":1.0,"id":2.0,)"
        R"("outputStates":[{"atMovieEnd":"black","kenBurns":false,"looped":true,)"
        R"("mediaPath":"black://","muted":true}],"postWait":2.25,"preWait":1.5},)"
        R"({"continue":"autoFollow","description":"","fadeLength":0.0,"id":3.0,"outputStates":[)"
        R"({"kenBurns":false,"looped":true,"mediaPath":"black://","muted":true}]}],)"
        R"("show":"/s/show.bwshow"})";
    EXPECT_EQ(encoded.json, expected);
    const DecodedShow decoded = ShowFile::decode(encoded.json, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.cues, cues);
    const EncodedShow again =
        ShowFile::encode(decoded.outputs, decoded.cues, "/s/show.bwshow", decoded.settings);
    EXPECT_EQ(again.json, expected);

    Cue endless = timed;
    endless.postWait = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ShowFile::encode({{"A", 64, 36}}, {endless}, "/s/show.bwshow").failure,
              "cue 1 (ID 2.0): the postWait is inf, which a show file cannot hold");
}

// The placement settings follow the other settings: written where not the
// default, read back, and read as the default where not understood.
TEST(ShowFileTest, PlacementSettingsAreWrittenOnlyWhereSetAndReadLeniently) {
    ShowSettings set;
    set.defaultFit = PictureFit::Fill;
    set.bars = PictureBars::Black;
    ShowSettings stretch;
    stretch.defaultFit = PictureFit::Stretch;
    const struct {
        ShowSettings settings;
        std::vector<const char*> written;
    } saved[] = {
        {{}, {}},
        {set, {R"("defaultFit":"fill")", R"("bars":"black")"}},
        {stretch, {R"("defaultFit":"stretch")"}},
    };
    for (const auto& c : saved) {
        const EncodedShow encoded = ShowFile::encode({}, {}, "/s/show.bwshow", c.settings);
        ASSERT_TRUE(encoded.ok) << encoded.failure;
        EXPECT_EQ(encoded.json.find("defaultFit") != std::string::npos ||
                      encoded.json.find("bars") != std::string::npos,
                  !c.written.empty())
            << encoded.json;
        for (const char* member : c.written) {
            EXPECT_NE(encoded.json.find(member), std::string::npos) << member;
        }
        EXPECT_EQ(ShowFile::decode(encoded.json, "/s/show.bwshow").settings, c.settings);
    }

    const struct {
        const char* members;
        PictureFit defaultFit;
        PictureBars bars;
    } read[] = {
        {R"(,"defaultFit":"stretch","bars":"transparent")", PictureFit::Stretch,
         PictureBars::Transparent},
        {R"(,"defaultFit":"fit","bars":"black")", PictureFit::Fit, PictureBars::Black},
        {R"(,"defaultFit":"contain","bars":"white")", PictureFit::Fit, PictureBars::Transparent},
        {R"(,"defaultFit":2,"bars":true)", PictureFit::Fit, PictureBars::Transparent},
    };
    for (const auto& c : read) {
        const std::string json = std::string(R"({"config":[],"cues":[])") + c.members + "}";
        const DecodedShow decoded = ShowFile::decode(json, "/s/show.bwshow");
        ASSERT_EQ(decoded.status, Status::Decoded) << c.members;
        EXPECT_EQ(decoded.settings.defaultFit, c.defaultFit) << c.members;
        EXPECT_EQ(decoded.settings.bars, c.bars) << c.members;
    }
}

// Verifies that the sound output is written only when one is chosen (so
// older files save back as they were), reads back as it was, and that a
// value no sink could be named fails the show with a reason.
TEST(ShowFileTest, SoundOutputIsWrittenOnlyWhereChosenAndRefusedWhereNoName) {
    const std::string named = "alsa_output.usb-Focusrite_Scarlett-00.analog-stereo";
    for (const std::string& output : {std::string(), named, std::string("Bühne \"links\"")}) {
        ShowSettings settings;
        settings.soundOutput = output;
        const EncodedShow encoded = ShowFile::encode({}, {}, "/s/show.bwshow", settings);
        ASSERT_TRUE(encoded.ok) << encoded.failure;
        EXPECT_EQ(encoded.json.find("soundOutput") != std::string::npos, !output.empty())
            << encoded.json;
        const DecodedShow decoded = ShowFile::decode(encoded.json, "/s/show.bwshow");
        ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
        EXPECT_EQ(decoded.settings.soundOutput, output);
    }

    const struct {
        const char* member;
        const char* failure;  // empty: decodes
    } read[] = {
        {R"("soundOutput":"")", ""},
        {R"("soundOutput":"hdmi")", ""},
        {R"("soundOutput":3)", R"("soundOutput" is not a string)"},
        {R"("soundOutput":null)", R"("soundOutput" is not a string)"},
        {R"("soundOutput":["hdmi"])", R"("soundOutput" is not a string)"},
        {R"("soundOutput":"a\nb")", R"("soundOutput" holds a control character)"},
    };
    for (const auto& c : read) {
        const std::string json =
            std::string(R"({"config":[{"name":"A","width":64,"height":36}],"cues":[],)") +
            c.member + "}";
        const DecodedShow decoded = ShowFile::decode(json, "/s/show.bwshow");
        if (*c.failure == '\0') {
            EXPECT_EQ(decoded.status, Status::Decoded) << c.member << ": " << decoded.failure;
        } else {
            EXPECT_EQ(decoded.status, Status::Failed) << c.member;
            EXPECT_TRUE(decoded.outputs.empty()) << "nothing of a failed show is installed";
            EXPECT_EQ(decoded.failure.rfind(c.failure, 0), 0U) << decoded.failure;
        }
    }
}

TEST(ShowFileTest, ScreenMembersThatDoNotReadAreNoChoice) {
    const struct {
        const char* screen;
        std::optional<ScreenChoice> expected;
    } cases[] = {
        {R"("HDMI-A-1")", std::nullopt},
        {"null", std::nullopt},
        {R"(["HDMI-A-1","M","S"])", std::nullopt},
        {"true", std::nullopt},
        {R"({"connector":1,"model":"M","serial":"S"})", std::nullopt},
        {R"({"connector":"HDMI-A-1","model":null,"serial":"S"})", std::nullopt},
        {R"({"connector":"HDMI-A-1","model":"M","serial":{"n":1}})", std::nullopt},
        {R"({})", ScreenChoice{}},
        {R"({"model":"M","extra":5})", ScreenChoice{"", "M", ""}},
        {R"({"connector":"DP-1","model":"","serial":"S"})", ScreenChoice{"DP-1", "", "S"}},
    };
    for (const auto& c : cases) {
        const std::string bytes = std::string(R"({"config":[{"name":"A","width":8,"height":8,)") +
                                  R"("screen":)" + c.screen + R"(}],"cues":[]})";
        DecodedShow decoded = ShowFile::decode(bytes, "/s/show.bwshow");
        ASSERT_EQ(decoded.status, Status::Decoded) << c.screen << ": " << decoded.failure;
        EXPECT_EQ(decoded.outputs[0], (OutputConfig{"A", 8, 8, c.expected})) << c.screen;
    }
}

// A stream is written only where chosen (its bitrate only where set) and
// reads back; a file from before streams has none. A "stream" member that
// does not read fails the show with the reason: the operator is told, and
// a save cannot drop the stream silently.
TEST(ShowFileTest, StreamsAreWrittenOnlyWhereChosenAndRefusedWhereTheyDoNotRead) {
    const std::vector<OutputConfig> outputs{
        {"Stage", 1920, 1080, std::nullopt, StreamChoice{"srt://:9000", 0}},
        {"Foyer", 1280, 720},
        {"Side", 64, 36, std::nullopt, StreamChoice{"srt://10.0.0.5:9001", 12000}},
    };
    const EncodedShow encoded = ShowFile::encode(outputs, {}, "/s/show.bwshow");
    ASSERT_TRUE(encoded.ok) << encoded.failure;
    const auto document = nlohmann::json::parse(encoded.json);
    EXPECT_EQ(document["config"][0]["stream"], (nlohmann::json{{"url", "srt://:9000"}}));
    EXPECT_FALSE(document["config"][1].contains("stream"));
    EXPECT_EQ(document["config"][2]["stream"]["bitrate"], 12000);
    DecodedShow decoded = ShowFile::decode(encoded.json, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.outputs, outputs);

    const struct {
        const char* stream;
        const char* reason;  // none: decodes, as no stream
    } cases[] = {
        {"null", nullptr},
        {R"("srt://:9000")", "output 1: \"stream\" is not an object"},
        {R"({"bitrate":100})", "output 1: the stream's \"url\" is missing or not a string"},
        {R"({"url":"srt://:9000","bitrate":-1})",
         "output 1: the stream's \"bitrate\" is not a whole number of kbit/s from 0 to 1000000"},
        {R"({"url":"srt://:9000","bitrate":2.5})",
         "output 1: the stream's \"bitrate\" is not a whole number of kbit/s from 0 to 1000000"},
    };
    for (const auto& c : cases) {
        const std::string bytes = std::string(R"({"config":[{"name":"A","width":8,"height":8,)") +
                                  R"("stream":)" + c.stream + R"(}],"cues":[]})";
        decoded = ShowFile::decode(bytes, "/s/show.bwshow");
        if (c.reason == nullptr) {
            ASSERT_EQ(decoded.status, Status::Decoded) << c.stream << ": " << decoded.failure;
            EXPECT_FALSE(decoded.outputs[0].stream) << c.stream;
        } else {
            EXPECT_NE(decoded.status, Status::Decoded) << c.stream;
            EXPECT_EQ(decoded.failure, c.reason) << c.stream;
        }
    }
}

TEST(ShowFileTest, ReadsLenientlyWhereTheFormatAllows) {
    // Numbers given as booleans, booleans as numbers, a description that is
    // not text, a fractional size.
    std::string bytes = R"({"config":[{"name":"A","width":640.5,"height":true}],
        "cues":[{"id":true,"fadeLength":false,"description":7,"outputStates":[
            {"mediaPath":"grid://","muted":0,"looped":2.5,"kenBurns":-1}]},
        {"id":2,"fadeLength":1,"outputStates":[
            {"muted":false,"looped":false,"kenBurns":true}]},
        {"id":3,"fadeLength":1,"outputStates":[
            {"mediaPath":42,"muted":false,"looped":false,"kenBurns":true}]}]})";
    DecodedShow decoded = ShowFile::decode(bytes, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    EXPECT_EQ(decoded.outputs[0], (OutputConfig{"A", 640, 1}));
    const Cue& first = decoded.cues[0];
    EXPECT_EQ(first.id, 1.0);
    EXPECT_EQ(first.fadeLength, 0.0);
    EXPECT_EQ(first.description, "");
    EXPECT_EQ(
        first.outputStates[0],
        (MediaOutputState{MediaURL::generator(MediaURL::Generator::Grid), false, true, true}));
    // Without a media path (or with one that is not text) the state is the
    // default one, whatever its flags say.
    EXPECT_EQ(decoded.cues[1].outputStates[0], MediaOutputState::defaultState());
    EXPECT_EQ(decoded.cues[2].outputStates[0], MediaOutputState::defaultState());
    EXPECT_FALSE(decoded.savedLocation.has_value());
}

TEST(ShowFileTest, KeepsFileOrderAndPadsOrTrimsStatesToTheOutputs) {
    std::string bytes =
        R"({"config":[{"name":"A","width":8,"height":8},{"name":"B","width":8,"height":8}],
        "cues":[{"id":3,"fadeLength":1,"outputStates":[]},
                {"id":1,"fadeLength":1,"outputStates":[
                    {"mediaPath":"grid://","muted":1,"looped":1,"kenBurns":0},
                    {"mediaPath":"clear://","muted":1,"looped":1,"kenBurns":0},
                    {"mediaPath":"grid://","muted":1,"looped":1,"kenBurns":0}]},
                {"id":2,"fadeLength":1,"outputStates":[
                    {"mediaPath":"clear://","muted":1,"looped":1,"kenBurns":0}]},
                {"id":2,"fadeLength":1,"outputStates":[]}]})";
    DecodedShow decoded = ShowFile::decode(bytes, "/s/show.bwshow");
    ASSERT_EQ(decoded.status, Status::Decoded) << decoded.failure;
    ASSERT_EQ(decoded.cues.size(), 4u);
    EXPECT_EQ(decoded.cues[0].id, 3.0);
    EXPECT_EQ(decoded.cues[1].id, 1.0);
    EXPECT_EQ(decoded.cues[2].id, 2.0);
    EXPECT_EQ(decoded.cues[3].id, 2.0) << "equal IDs are accepted";
    for (const Cue& cue : decoded.cues)
        EXPECT_EQ(cue.outputStates.size(), 2u);
    EXPECT_EQ(decoded.cues[1].outputStates[1].mediaURL.absoluteString(), "clear://");
    EXPECT_EQ(decoded.cues[2].outputStates[0].mediaURL.absoluteString(), "clear://");
    EXPECT_EQ(decoded.cues[2].outputStates[1], MediaOutputState::defaultState());
}

TEST(ShowFileTest, FilesThatAreNotShows) {
    const char* cases[] = {
        "",
        "not json",
        "[]",
        "\"text\"",
        "{}",
        R"({"config":[]})",
        R"({"cues":[]})",
        R"({"config":{},"cues":[]})",
        R"({"config":[],"cues":[1]})",
        R"({"config":[[]],"cues":[]})",
        R"({"config":[],"cues":[]} trailing)",
        "{\"config\":[],\"cues\":[],\"show\":\"\xff\"}",
    };
    for (const char* bytes : cases) {
        DecodedShow decoded = ShowFile::decode(bytes, "/s/show.bwshow");
        EXPECT_EQ(decoded.status, Status::NotAShow) << bytes;
        EXPECT_FALSE(decoded.failure.empty()) << bytes;
    }
}

TEST(ShowFileTest, OneBadEntryFailsTheWholeShow) {
    const std::string good =
        R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false})";
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {showWithCues(cueWithState(R"({"mediaPath":"black://","muted":true,"looped":true})")),
         "cue 1 (ID 1.0), output 1: \"kenBurns\" is missing or not a boolean"},
        {showWithCues(cueWithState(good) + "," + R"({"id":2.5,"outputStates":[]})"),
         "cue 2 (ID 2.5): \"fadeLength\" is missing or not a number"},
        {showWithCues(R"({"id":"1","fadeLength":1,"outputStates":[]})"),
         "cue 1: \"id\" is missing or not a number"},
        {showWithCues(R"({"id":1,"fadeLength":1,"outputStates":[1]})"),
         "cue 1 (ID 1.0): \"outputStates\" is missing or not an array of objects"},
        {showWithCues(R"({"id":1,"fadeLength":1})"),
         "cue 1 (ID 1.0): \"outputStates\" is missing or not an array of objects"},
        {R"({"config":[{"name":"A","width":"64","height":36}],"cues":[]})",
         "output 1: \"width\" is missing or not a number"},
        {R"({"config":[{"name":"A","width":64,"height":36},{"width":64,"height":36}],"cues":[]})",
         "output 2: \"name\" is missing or not a string"},
        {R"({"config":[{"name":"A","width":0.5,"height":36}],"cues":[]})",
         "output 1: \"width\" must be between 1 and 16384 pixels"},
        {R"({"config":[{"name":"A","width":64,"height":1e300}],"cues":[]})",
         "output 1: \"height\" must be between 1 and 16384 pixels"},
        {R"({"config":[{"name":"A","width":-64,"height":36}],"cues":[]})",
         "output 1: \"width\" must be between 1 and 16384 pixels"},
        {showWithCues(R"({"id":2.5,"fadeLength":1,"outputStates":[)" + good + "," +
                      R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false,)"
                      R"("fit":"contain"}]})"),
         "cue 1 (ID 2.5), output 2: \"fit\" must be \"fit\", \"fill\" or \"stretch\""},
        {showWithCues(cueWithState(
             R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false,"fit":1})")),
         "cue 1 (ID 1.0), output 1: \"fit\" must be \"fit\", \"fill\" or \"stretch\""},
        {showWithCues(cueWithState(
             R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false,"fit":null})")),
         "cue 1 (ID 1.0), output 1: \"fit\" must be \"fit\", \"fill\" or \"stretch\""},
        {showWithCues(cueWithState(
             R"({"mediaPath":"black://","muted":true,"looped":true,"kenBurns":false,"fit":"Fit"})")),
         "cue 1 (ID 1.0), output 1: \"fit\" must be \"fit\", \"fill\" or \"stretch\""},
        {showWithCues(R"({"id":1,"fadeLength":1,"preWait":"2","outputStates":[]})"),
         "cue 1 (ID 1.0): \"preWait\" must be a number of seconds from 0 to 86400"},
        {showWithCues(R"({"id":1,"fadeLength":1,"postWait":-1,"outputStates":[]})"),
         "cue 1 (ID 1.0): \"postWait\" must be a number of seconds from 0 to 86400"},
        {showWithCues(R"({"id":1,"fadeLength":1,"postWait":true,"outputStates":[]})"),
         "cue 1 (ID 1.0): \"postWait\" must be a number of seconds from 0 to 86400"},
        {showWithCues(R"({"id":1,"fadeLength":1,"continue":"auto","outputStates":[]})"),
         "cue 1 (ID 1.0): \"continue\" must be \"none\", \"autoContinue\" or \"autoFollow\""},
        {showWithCues(R"({"id":1,"fadeLength":1,"continue":1,"outputStates":[]})"),
         "cue 1 (ID 1.0): \"continue\" must be \"none\", \"autoContinue\" or \"autoFollow\""},
        {showWithCues(cueWithState(R"({"mediaPath":"black://","muted":true,"looped":true,)"
                                   R"("kenBurns":false,"atMovieEnd":"fade"})")),
         "cue 1 (ID 1.0), output 1: \"atMovieEnd\" must be \"hold\" or \"black\""},
    };
    for (const auto& c : cases) {
        DecodedShow decoded = ShowFile::decode(c.bytes, "/s/show.bwshow");
        EXPECT_EQ(decoded.status, Status::Failed) << c.bytes;
        EXPECT_EQ(decoded.failure, c.reason);
        EXPECT_TRUE(decoded.outputs.empty()) << "nothing partial is handed out";
        EXPECT_TRUE(decoded.cues.empty());
    }
}

TEST(ShowFileTest, EncodeRefusesValuesThatWouldNotReadBack) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<OutputConfig> outputs{{"A", 8, 8}};
    const MediaOutputState black;
    const struct {
        std::vector<OutputConfig> outputs;
        Cue cue;
        const char* reason;
    } cases[] = {
        {outputs,
         {std::nan(""), "", 1.0, {black}},
         "cue 1: the ID is nan, which a show file cannot hold"},
        {outputs,
         {1.0, "", inf, {black}},
         "cue 1 (ID 1.0): the fade length is inf, which a show file cannot hold"},
        {outputs, {-inf, "", 1.0, {black}}, "cue 1: the ID is -inf, which a show file cannot hold"},
        {outputs,
         {1.0, "bad \xc3", 1.0, {black}},
         "cue 1 (ID 1.0): the description is not valid UTF-8"},
        {{{"\xff", 8, 8}}, {1.0, "", 1.0, {black}}, "output 1's name is not valid UTF-8"},
        {{{"A", 8, 8}, {"B", 8, 8, ScreenChoice{"HDMI-A-1", "Proj\xe9", ""}}},
         {1.0, "", 1.0, {black, black}},
         "output 2's screen model is not valid UTF-8"},
        {outputs,
         {1.0, "", 1.0, {{MediaURL::fileURL("/s/\xfe.mov"), true, true, false}}},
         "cue 1 (ID 1.0), output 1: the media path is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        EncodedShow encoded = ShowFile::encode(c.outputs, {c.cue}, "/s/show.bwshow");
        EXPECT_FALSE(encoded.ok);
        EXPECT_TRUE(encoded.json.empty());
        EXPECT_EQ(encoded.failure, c.reason);
    }
}

TEST(ShowFileTest, NestingTooDeepOrHugeInputIsNotAShowButNoCrash) {
    std::string deep(100000, '[');
    EXPECT_EQ(ShowFile::decode(deep, "/s/show.bwshow").status, Status::NotAShow);
    std::string nested = R"({"config":[],"cues":[],"extra":)" + std::string(50000, '[') +
                         std::string(50000, ']') + "}";
    EXPECT_EQ(ShowFile::decode(nested, "/s/show.bwshow").status, Status::Decoded);
}

TEST(ShowFileTest, ReadFileReadsWholeFilesAndRefusesUnreadableOrTooLargeOnes) {
    using Read = ShowFileBytes::Status;
    test::TempDir dir;
    std::string bytes(100000, 'x');
    bytes[5] = '\0';
    fs::path path = dir.write("big.bwshow", bytes);
    const ShowFileBytes read = ShowFile::readFile(path.string());
    EXPECT_EQ(read.status, Read::Read);
    EXPECT_EQ(read.bytes, bytes);

    // Over the limit by one byte, and far over it; sparse, so no disk is used.
    const fs::path huge = dir.write("huge.bwshow", "");
    for (const std::uintmax_t size : {ShowFile::kMaxFileSize + 1, std::uintmax_t{64} << 30}) {
        fs::resize_file(huge, size);
        EXPECT_EQ(ShowFile::readFile(huge.string()).status, Read::TooLarge) << size;
    }
    EXPECT_EQ(ShowFile::readFile((dir / "none.bwshow").string()).status, Read::Unreadable);
    EXPECT_EQ(ShowFile::readFile(dir.path().string()).status, Read::Unreadable) << "a folder";
}

}  // namespace
}  // namespace bw
