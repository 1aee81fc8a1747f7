#include <gtest/gtest.h>

#include <cmath>

#include "remote/SyncMessage.h"

namespace bw {
namespace {

using Body = SyncMessage::Body;

TEST(SyncMessageTest, EveryMessageReadsBackAsSent) {
    const std::vector<Body> bodies = {
        SyncMessage::Hello{"stage-left pid 42", 4500, 7},
        SyncMessage::Hello{"", -1, 0},
        SyncMessage::Welcome{2147483647},
        // Cue IDs that float32 would change, and show times past 32 bits.
        SyncMessage::Go{1234, 5, 0.1, 98'765'432'101'234},
        SyncMessage::Go{-1, 2147483647, -1.0, -5},
        SyncMessage::State{1234, 5, 12.5, 13.0, 98'765'432'101'234},
        SyncMessage::State{1234, 0, std::nullopt, 1.1, std::nullopt},
    };
    for (const Body& body : bodies) {
        const SyncMessage::Parsed parsed = SyncMessage::parse(SyncMessage::encode(body));
        ASSERT_TRUE(parsed.body) << parsed.error;
        EXPECT_EQ(*parsed.body, body) << SyncMessage::encode(body).description();
    }
}

TEST(SyncMessageTest, MalformedMessagesSayWhy) {
    const struct {
        OscMessage message;
        const char* why;
    } cases[] = {
        {OscMessage("/beamwright/sync/go", {1, 2, "12.5"}), "expected session, sequence, cue and start"},
        {OscMessage("/beamwright/sync/go", {1, 2, "twelve", "5"}), "cue ID is not a number"},
        {OscMessage("/beamwright/sync/go", {1, 2, "12.5 ", "5"}), "cue ID is not a number"},
        {OscMessage("/beamwright/sync/go", {1, 2, "12", "5.5"}), "start time is not a whole number"},
        {OscMessage("/beamwright/sync/go", {1, 2, 12.5F, "5"}), "expected session"},
        {OscMessage("/beamwright/sync/state", {1, 2, "x", "", ""}), "current cue ID is not a number"},
        {OscMessage("/beamwright/sync/state", {1, 2, "", "", "soon"}), "start time is not"},
        {OscMessage("/beamwright/sync/hello", {1, 2, 3}), "expected a name"},
        {OscMessage("/beamwright/sync/welcome", {"7"}), "expected a token"},
        {OscMessage("/beamwright/sync/hello/x", {"a", 1, 2}), "not a sync message"},
        {OscMessage("/go"), "not a sync message"},
    };
    for (const auto& c : cases) {
        const SyncMessage::Parsed parsed = SyncMessage::parse(c.message);
        EXPECT_FALSE(parsed.body) << c.message.description();
        EXPECT_NE(parsed.error.find(c.why), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.rfind(c.message.addressPattern(), 0), 0U) << parsed.error;
    }
}

TEST(SyncMessageTest, CueIDTextIsShortAndExact) {
    for (const double id : {12.5, 0.1, 1.0 / 3.0, -1.0, 1e300, 5e-324}) {
        const std::string text = SyncMessage::cueIDText(id);
        EXPECT_EQ(SyncMessage::parseCueID(text), id) << text;
    }
    EXPECT_EQ(SyncMessage::cueIDText(12.5), "12.5");
    EXPECT_EQ(SyncMessage::cueIDText(3.0), "3");
    EXPECT_TRUE(std::isnan(*SyncMessage::parseCueID(SyncMessage::cueIDText(NAN))));
}

}  // namespace
}  // namespace bw
