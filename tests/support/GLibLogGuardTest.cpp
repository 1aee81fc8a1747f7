#include <glib.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <thread>

#include "support/GLibLogGuard.h"

namespace bw::test {
namespace {

// Verifies that warnings and criticals fail the test unless expected, from
// any thread and through both logging calls, and that lower levels pass.
TEST(GLibLogGuardTest, UnexpectedWarningsAndCriticalsFailTheTest) {
    EXPECT_NONFATAL_FAILURE(g_log("Beamwright-Test", G_LOG_LEVEL_WARNING, "a warning"),
                            "unexpected GLib log message: Beamwright-Test: a warning");
    EXPECT_NONFATAL_FAILURE(g_log("GStreamer", G_LOG_LEVEL_CRITICAL, "assertion failed"),
                            "GStreamer: assertion failed");
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
        {
            std::thread([] {
                g_log_structured("Beamwright-Test", G_LOG_LEVEL_WARNING, "MESSAGE",
                                 "from a thread");
            }).join();
        },
        "from a thread");
    g_log("Beamwright-Test", G_LOG_LEVEL_MESSAGE, "a message is fine");
    g_log("Beamwright-Test", G_LOG_LEVEL_DEBUG, "and so is debug output");
}

TEST(GLibLogGuardTest, ExpectedMessagesAreCountedInsteadOfFailing) {
    ExpectedGLibLog expected("GStreamer", "gst_sample_is_writable");
    g_log("GStreamer", G_LOG_LEVEL_CRITICAL,
          "gst_sample_set_caps: assertion 'gst_sample_is_writable (sample)' failed");
    EXPECT_EQ(expected.count(), 1);
    EXPECT_NONFATAL_FAILURE(g_log("GStreamer", G_LOG_LEVEL_CRITICAL, "something else"),
                            "something else");
    EXPECT_EQ(expected.count(), 1);
}

}  // namespace
}  // namespace bw::test
