#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Preferences.h"
#include "support/TempDir.h"

namespace bw {
namespace {

class PreferencesTest : public testing::Test {
protected:
    void writeFile(const std::string& contents) { dir_.write("beamwright.conf", contents); }

    test::TempDir dir_;
    Preferences preferences_{dir_ / "beamwright.conf"};
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
