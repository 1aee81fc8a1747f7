#include <gtest/gtest.h>

#include <vector>

#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "remote/RemoteTestSupport.h"
#include "remote/SyncFollower.h"
#include "remote/SyncLeader.h"
#include "remote/net/AsyncUdpSocket.h"

namespace bw {
namespace {

class RecordingFollower : public SyncFollowerDelegate {
public:
    void syncGo(const SyncMessage::Go& go) override { gos.push_back(go); }
    void syncState(const SyncMessage::State& state, bool fresh) override {
        states.emplace_back(state, fresh);
    }
    std::vector<SyncMessage::Go> gos;
    std::vector<std::pair<SyncMessage::State, bool>> states;
};

// A leader and a follower on loopback, the leader's time moved by hand.
class SyncPeersTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = test::freePort();
        leader_ = std::make_unique<SyncLeader>(
            port_, [] { return SyncMessage::State{0, 0, 2.0, 3.0, 1000}; },
            [this](const std::string& line) { events_.push_back(line); }, leaderClock_);
        std::string error;
        ASSERT_TRUE(leader_->start(&error)) << error;
        follower_ = std::make_unique<SyncFollower>("127.0.0.1", port_, "test follower", delegate_,
                                                   systemClock());
        ASSERT_TRUE(follower_->start(&error)) << error;
        ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return follower_->roundTrip().has_value(); }));
    }

    std::uint16_t port_ = 0;
    ManualClock leaderClock_{1'000'000'000};
    std::vector<std::string> events_;
    RecordingFollower delegate_;
    std::unique_ptr<SyncLeader> leader_;
    std::unique_ptr<SyncFollower> follower_;
};

TEST_F(SyncPeersTest, AFollowerJoinsLearnsTheStateAndReportsItsRoundTrip) {
    // The welcome times the round trip; the newcomer gets the state at once.
    ASSERT_EQ(leader_->followers().size(), 1U);
    EXPECT_EQ(leader_->followers()[0].name, "test follower");
    EXPECT_EQ(leader_->followers()[0].host, "127.0.0.1");
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return !delegate_.states.empty(); }));
    EXPECT_TRUE(delegate_.states[0].second);
    EXPECT_EQ(delegate_.states[0].first.currentCue, 2.0);
    EXPECT_EQ(delegate_.states[0].first.session, leader_->session());
    EXPECT_LT(*follower_->roundTrip(), 1'000'000'000);
    // The next hello carries it to the leader.
    follower_->sayHello();
    EXPECT_TRUE(MainQueue::shared().pumpUntil([&] { return leader_->largestRoundTrip().has_value(); }));
    EXPECT_EQ(events_.size(), 1U);
    EXPECT_NE(events_[0].find("joined (test follower)"), std::string::npos) << events_[0];
}

TEST_F(SyncPeersTest, EachGoIsActedOnOnceAndAMissedOneShowsInTheState) {
    leader_->sendGo(12.5, 5'000'000'000);
    leader_->sendGo(13.0, 6'000'000'000);
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return delegate_.gos.size() == 2; }));
    MainQueue::shared().pumpUntil([] { return false; }, std::chrono::milliseconds(100));
    ASSERT_EQ(delegate_.gos.size(), 2U);  // six datagrams, two GOs
    EXPECT_EQ(delegate_.gos[0], (SyncMessage::Go{leader_->session(), 1, 12.5, 5'000'000'000}));
    EXPECT_EQ(delegate_.gos[1].sequence, 2);

    // A state naming a sequence already acted on is not news; a later one is.
    delegate_.states.clear();
    leader_->sendState();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return delegate_.states.size() == 1; }));
    EXPECT_FALSE(delegate_.states[0].second);
}

TEST_F(SyncPeersTest, ALeaderForgetsAFollowerSilentForFiveSeconds) {
    leaderClock_.advance(std::chrono::seconds(4));
    leader_->everySecond();
    EXPECT_EQ(leader_->followers().size(), 1U);
    leaderClock_.advance(std::chrono::milliseconds(1500));
    leader_->everySecond();
    EXPECT_TRUE(leader_->followers().empty());
    EXPECT_NE(events_.back().find("left"), std::string::npos);
}

TEST_F(SyncPeersTest, MalformedDatagramsAreLoggedAndChangeNothing) {
    SystemLog::ScopedCapture log;
    AsyncUdpSocket sender;
    for (const auto& bytes : {std::vector<std::uint8_t>{'x', 'y'},
                              SyncMessage::encode(SyncMessage::Go{1, 1, 1.0, 1}).packetData(),
                              OscMessage("/beamwright/sync/hello", {1}).packetData()}) {
        sender.sendData(bytes, "127.0.0.1", port_, 1.0, 0);
    }
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return log.lines().size() >= 3; }));
    EXPECT_EQ(leader_->followers().size(), 1U);
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(lines[0].find("Unrecognized OSC message"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("is not for a leader"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("expected a name"), std::string::npos) << lines[2];
}

}  // namespace
}  // namespace bw
