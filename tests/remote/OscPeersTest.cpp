// OSC peers this project did not write, sending to the server on loopback:
// liblo's oscsend over UDP and over TCP (length-prefixed), and osc.js over
// TCP with SLIP framing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/MainQueue.h"
#include "remote/RemoteTestSupport.h"
#include "remote/osc/OscServer.h"
#include "support/OutsidePeer.h"

namespace bw {
namespace {

class OscPeersTest : public test::ListeningServerTest {
protected:
    void oscsend(const std::string& transport, const std::string& arguments) {
        const std::string command = "timeout 20 oscsend osc." + transport +
                                    "://127.0.0.1:" + std::to_string(port_) + " " + arguments;
        ASSERT_EQ(test::runCommand(command), 0) << command;
    }
};

TEST_F(OscPeersTest, OscsendOverUdpAndLengthPrefixedTcp) {
    if (!test::haveProgram("oscsend"))
        BW_OUTSIDE_PEER_MISSING() << "oscsend (liblo-tools) is not installed";
    oscsend("udp", "/cue f 12.5");
    oscsend("udp", "/go");
    oscsend("tcp", "/cue sif Bühne 3 2.5");
    oscsend("tcp", "/go");
    MainQueue::shared().pumpUntil([&] { return destination_.messages.size() == 4; },
                                  std::chrono::seconds(10));
    ASSERT_EQ(destination_.messages.size(), 4u);
    const auto& m = destination_.messages;
    EXPECT_EQ(m[0], OscMessage("/cue", {12.5f}));
    EXPECT_EQ(m[1], OscMessage("/go"));
    EXPECT_EQ(m[2], OscMessage("/cue", {std::string("Bühne"), 3, 2.5f}));
    EXPECT_EQ(m[3], OscMessage("/go"));
}

TEST_F(OscPeersTest, OscJsOverSlipTcp) {
    const std::filesystem::path modules = std::filesystem::path(BW_OSC_JS_DIR) / "node_modules";
    if (!std::filesystem::exists(modules / "osc")) {
        BW_OUTSIDE_PEER_MISSING() << "osc.js is not installed in " << BW_OSC_JS_DIR;
    }
    if (!test::haveProgram("node")) BW_OUTSIDE_PEER_MISSING() << "node is not installed";
    const std::string command = "NODE_PATH='" + modules.string() + "' timeout 20 node '" +
                                std::string(BW_SOURCE_DIR) + "/tests/remote/osc-js-send.js' " +
                                std::to_string(port_) + " 20";
    ASSERT_EQ(test::runCommand(command), 0) << command;
    MainQueue::shared().pumpUntil([&] { return destination_.messages.size() == 20; },
                                  std::chrono::seconds(10));
    ASSERT_EQ(destination_.messages.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        OscBlob blob{std::vector<std::uint8_t>{1, 2, 3}};
        blob.bytes.resize(static_cast<std::size_t>(i % 3 + 1));
        EXPECT_EQ(
            destination_.messages[static_cast<std::size_t>(i)],
            OscMessage("/cue", {i, static_cast<float>(i + 0.5), std::string("from osc.js"), blob}))
            << "message " << i;
    }
}

// Verifies that only CI=true turns a missing outside peer into a failure.
TEST(OutsidePeerTest, AMissingPeerFailsUnderCiTrueAndSkipsElsewhere) {
    const char* before = std::getenv("CI");
    const std::optional<std::string> saved =
        before != nullptr ? std::optional<std::string>(before) : std::nullopt;
    const struct {
        const char* ci;
        testing::TestPartResult::Type outcome;
    } cases[] = {{"true", testing::TestPartResult::kFatalFailure},
                 {"false", testing::TestPartResult::kSkip},
                 {"", testing::TestPartResult::kSkip},
                 {nullptr, testing::TestPartResult::kSkip}};
    for (const auto& c : cases) {
        if (c.ci != nullptr) {
            ::setenv("CI", c.ci, 1);
        } else {
            ::unsetenv("CI");
        }
        EXPECT_EQ(test::missingPeerOutcome(), c.outcome) << (c.ci ? c.ci : "unset");
    }
    if (saved) {
        ::setenv("CI", saved->c_str(), 1);
    } else {
        ::unsetenv("CI");
    }
}

}  // namespace
}  // namespace bw
