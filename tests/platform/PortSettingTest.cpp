#include "platform/PortSetting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "platform/Preferences.h"
#include "support/TempDir.h"

namespace bw {
namespace {

constexpr const char* kVariable = "BW_TEST_PORT_SETTING";

TEST(PortSettingTest, ParsesWholePortNumbersOnly) {
    for (const char* port : {"1", "17777", "65535"}) {
        EXPECT_EQ(parsePort(port), std::atoi(port)) << port;
    }
    for (const char* value : {"", "0", "65536", "-1", "+80", " 80", "80 ", "80x", "0x50", "port"}) {
        EXPECT_EQ(parsePort(value), std::nullopt) << value;
    }
}

// Verifies the order the sources are asked in: command line, environment,
// preference, default; a value that is not a port is passed over with one
// line that names where it came from.
TEST(PortSettingTest, CommandLineBeatsEnvironmentBeatsPreferenceBeatsDefault) {
    test::TempDir dir;
    const Preferences preferences(dir / "beamwright.conf", std::chrono::nanoseconds(0));
    const auto write = [&](const char* value) {
        dir.write("beamwright.conf", value ? std::string("[General]\nTestPort=") + value + "\n"
                                           : std::string());
    };
    const struct {
        const char* environment;  // null: unset
        const char* preference;   // null: absent
        std::uint16_t expected;
        const char* warnsOf;  // null: no warning
    } cases[] = {
        {nullptr, nullptr, 7777, nullptr},
        {"", nullptr, 7777, nullptr},
        {nullptr, " 9000 ", 9000, nullptr},
        {"8000", "9000", 8000, nullptr},
        {"80x", "9000", 9000, kVariable},
        {nullptr, "0", 7777, "TestPort"},
        {"65536", "nine", 7777, "TestPort"},
    };
    constexpr PortSource kSource{"--test-port", kVariable, "TestPort"};
    for (const auto& c : cases) {
        const std::string label = std::string(c.environment ? c.environment : "(unset)") + " / " +
                                  (c.preference ? c.preference : "(absent)");
        if (c.environment) {
            ::setenv(kVariable, c.environment, 1);
        } else {
            ::unsetenv(kVariable);
        }
        write(c.preference);
        std::ostringstream log;
        EXPECT_EQ(portSetting(kSource, 7777, preferences, log), c.expected) << label;
        const std::string lines = log.str();
        if (c.warnsOf) {
            EXPECT_NE(lines.find(c.warnsOf), std::string::npos) << label << ": " << lines;
            EXPECT_GE(std::count(lines.begin(), lines.end(), '\n'), 1) << label;
        } else {
            EXPECT_EQ(lines, "") << label;
        }
    }

    ::setenv(kVariable, "8000", 1);
    write("9000");
    setCommandLinePort(kSource, 6000);
    std::ostringstream log;
    EXPECT_EQ(portSetting(kSource, 7777, preferences, log), 6000);
    EXPECT_EQ(log.str(), "");
    ::unsetenv(kVariable);
}

}  // namespace
}  // namespace bw
