#include "platform/PortSetting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace bw {
namespace {

constexpr const char* kVariable = "BW_TEST_PORT_SETTING";

TEST(PortSettingTest, TakesAWholePortNumberAndIgnoresAnythingElseOnce) {
    std::ostringstream log;
    ::unsetenv(kVariable);
    EXPECT_EQ(portSetting(kVariable, 7777, log), 7777);
    ::setenv(kVariable, "", 1);
    EXPECT_EQ(portSetting(kVariable, 7777, log), 7777);
    EXPECT_EQ(log.str(), "");

    for (const char* port : {"1", "17777", "65535"}) {
        ::setenv(kVariable, port, 1);
        EXPECT_EQ(portSetting(kVariable, 7777, log), std::atoi(port));
    }
    EXPECT_EQ(log.str(), "");

    for (const char* value : {"0", "65536", "-1", "+80", " 80", "80 ", "80x", "0x50", "port"}) {
        std::ostringstream warning;
        ::setenv(kVariable, value, 1);
        EXPECT_EQ(portSetting(kVariable, 6553, warning), 6553) << value;
        const std::string line = warning.str();
        EXPECT_NE(line.find(kVariable), std::string::npos) << value;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << value;
    }
    ::unsetenv(kVariable);
}

}  // namespace
}  // namespace bw
