#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SystemLog.h"

namespace bw {
namespace {

using Lines = std::vector<std::string>;

TEST(SystemLogTest, EachCallIsOneLineAndLineBreaksBecomeSpaces) {
    SystemLog::ScopedCapture capture;
    SystemLog::shared().log("OSC: first");
    SystemLog::shared().log("one\ntwo\r\nthree\n");
    SystemLog::shared().log("100% %s %n");
    EXPECT_EQ(capture.lines(), (Lines{"OSC: first", "one two  three ", "100% %s %n"}));
}

TEST(SystemLogTest, CapturePutsThePreviousSinkBack) {
    SystemLog::ScopedCapture outer;
    SystemLog::shared().log("a");
    {
        SystemLog::ScopedCapture inner;
        SystemLog::shared().log("b");
        EXPECT_EQ(inner.lines(), (Lines{"b"}));
    }
    SystemLog::shared().log("c");
    EXPECT_EQ(outer.lines(), (Lines{"a", "c"}));
}

}  // namespace
}  // namespace bw
