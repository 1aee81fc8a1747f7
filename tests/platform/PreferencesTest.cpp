#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "platform/Preferences.h"
#include "support/Deadline.h"
#include "support/TempDir.h"

namespace bw {
namespace {

class PreferencesTest : public testing::Test {
protected:
    void writeFile(const std::string& contents) { dir_.write("beamwright.conf", contents); }

    test::TempDir dir_;
    // Looks at the file at every read, so the cases need not wait.
    Preferences preferences_{dir_ / "beamwright.conf", std::chrono::nanoseconds(0)};
};

TEST_F(PreferencesTest, MissingFileKeyOrGroupReadsAsAbsent) {
    EXPECT_EQ(preferences_.stringValue(Preferences::kInterfaceStyle), std::nullopt);
    writeFile("[General]\nInterfaceStyle=Dark\n[Other]\ndebugIncomingOSC=true\n");
    EXPECT_EQ(preferences_.stringValue(Preferences::kInterfaceStyle), "Dark");
    EXPECT_EQ(preferences_.stringValue("missing"), std::nullopt);
    EXPECT_EQ(preferences_.boolValue(Preferences::kDebugIncomingOSC), std::nullopt);
    writeFile("not an ini file\n[General\nInterfaceStyle=Dark\n");
    EXPECT_EQ(preferences_.stringValue(Preferences::kInterfaceStyle), std::nullopt);
}

// Verifies the accepted spellings, and that an edit made outside the program,
// even one that keeps the file's size, is seen by the next read.
TEST_F(PreferencesTest, BoolReadsTrueFalseOneZeroAnewEachTime) {
    const struct {
        const char* text;
        std::optional<bool> expected;
    } cases[] = {{"true", true}, {"false", false}, {"1", true},  {"0", false},
                 {"yes", {}},    {"on", {}},       {"maybe", {}}};
    for (const auto& c : cases) {
        writeFile(std::string("[General]\ndebugIncomingOSC=") + c.text + "\n");
        EXPECT_EQ(preferences_.boolValue(Preferences::kDebugIncomingOSC), c.expected) << c.text;
    }
}

TEST_F(PreferencesTest, SettersRoundTripKeepOtherKeysAndCreateTheFolder) {
    Preferences nested(dir_ / "config" / "beamwright" / "beamwright.conf");
    const std::string awkward = "  leading spaces, a = sign,\na newline and \\ backslash";
    ASSERT_TRUE(nested.setString(Preferences::kInterfaceStyle, awkward));
    ASSERT_TRUE(nested.setBool(Preferences::kDebugIncomingOSC, true));
    EXPECT_EQ(nested.stringValue(Preferences::kInterfaceStyle), awkward);
    EXPECT_EQ(nested.boolValue(Preferences::kDebugIncomingOSC), true);

    ASSERT_TRUE(nested.setBool(Preferences::kDebugIncomingOSC, false));
    EXPECT_EQ(nested.boolValue(Preferences::kDebugIncomingOSC), false);
    EXPECT_EQ(nested.stringValue(Preferences::kInterfaceStyle), awkward);
}

// Verifies that a setter never replaces a file it cannot read back: the
// user's hand-edited settings would be lost.
TEST_F(PreferencesTest, SettersLeaveAFileThatDoesNotParseAlone) {
    const std::string broken = "[General\nInterfaceStyle=Dark\n";
    writeFile(broken);
    EXPECT_FALSE(preferences_.setBool(Preferences::kDebugIncomingOSC, true));
    EXPECT_EQ(test::readFile(dir_ / "beamwright.conf"), broken);
}

// Verifies that reads between two looks at the file come from memory, and
// that an edit, even one that keeps the file's size and comes within the
// same tick of the file system's clock, is seen at the next look.
TEST_F(PreferencesTest, ReadsComeFromMemoryBetweenLooksAtTheFile) {
    Preferences hourly(dir_ / "beamwright.conf", std::chrono::hours(1));
    writeFile("[General]\ndebugIncomingOSC=1\n");
    EXPECT_EQ(hourly.boolValue(Preferences::kDebugIncomingOSC), true);
    writeFile("[General]\ndebugIncomingOSC=0\n");
    std::filesystem::remove(dir_ / "beamwright.conf");
    EXPECT_EQ(hourly.boolValue(Preferences::kDebugIncomingOSC), true);

    // An interval no busy machine passes between two lines of this test;
    // the sleep then passes it for certain.
    const auto interval = test::scaled(std::chrono::seconds(1));
    Preferences often(dir_ / "beamwright.conf", interval);
    writeFile("[General]\ndebugIncomingOSC=1\n");
    EXPECT_EQ(often.boolValue(Preferences::kDebugIncomingOSC), true);
    writeFile("[General]\ndebugIncomingOSC=0\n");
    EXPECT_EQ(often.boolValue(Preferences::kDebugIncomingOSC), true);  // not looked yet
    std::this_thread::sleep_for(interval + std::chrono::milliseconds(50));
    EXPECT_EQ(often.boolValue(Preferences::kDebugIncomingOSC), false);
    // A setter is seen at once, whatever the interval.
    ASSERT_TRUE(hourly.setBool(Preferences::kDebugIncomingOSC, false));
    EXPECT_EQ(hourly.boolValue(Preferences::kDebugIncomingOSC), false);
}

TEST(PreferencesPathTest, DefaultPathFollowsXdgConfigHomeThenHome) {
    const std::string saved = std::getenv("XDG_CONFIG_HOME");  // set by the test main
    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(Preferences::defaultPath(), "/xdg/config/beamwright/beamwright.conf");
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(Preferences::defaultPath(),
              std::filesystem::path(home) / ".config/beamwright/beamwright.conf");
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace bw
