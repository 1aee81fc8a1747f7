#include <gtest/gtest.h>

#include <sstream>

#include "show/ShowCheck.h"
#include "support/TempDir.h"

namespace bw {
namespace {

struct CheckRun {
    int status;
    std::string out;
    std::string err;
};

CheckRun check(const std::string& path) {
    std::ostringstream out;
    std::ostringstream err;
    int status = ShowCheck::run(path, out, err);
    return {status, out.str(), err.str()};
}

TEST(ShowCheckTest, ListsOutputsCuesAndMissingMedia) {
    test::TempDir dir;
    dir.write("media/here.mov", "x");
    auto show = dir.write("gala.bwshow", R"({"config":[
            {"name":"Screen \"L\"","width":1920,"height":1080},{"name":"Rück","width":640.5,"height":480}],
        "cues":[
            {"id":1,"description":"Walk-in","fadeLength":3,"outputStates":[
                {"mediaPath":"media/here.mov","muted":false,"looped":true,"kenBurns":false},
                {"mediaPath":"grid://","muted":true,"looped":true,"kenBurns":false}]},
            {"id":1e16,"fadeLength":2.5,"outputStates":[
                {"mediaPath":"gone dir/x.png","muted":true,"looped":true,"kenBurns":true}]}]})");

    CheckRun run = check(show.string());
    EXPECT_EQ(run.status, ShowCheck::kShowOK);
    EXPECT_EQ(run.err, "");
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
    EXPECT_NE(failed.err.find("cues entry 0: \"fadeLength\" is missing or not a number"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(failed.out, "");
}

}  // namespace
}  // namespace bw
