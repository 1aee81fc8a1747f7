#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/MediaEngine.h"
#include "engine/MediaEngineDelegate.h"
#include "engine/MediaOutput.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderTestSupport.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace bw::test {

// Writes down every notice as a short line ("began", "complete",
// "current 1", "next none"), and whether each came on the main thread.
class RecordingEngineDelegate : public MediaEngineDelegate {
public:
    void cueTransitionBegan() override { record("began"); }
    void cueTransitionComplete() override { record("complete"); }
    void currentCueChanged(const std::optional<Cue>& cue) override {
        record("current " + describe(cue));
    }
    void nextCueChanged(const std::optional<Cue>& cue) override { record("next " + describe(cue)); }

    std::vector<std::string> notices;
    bool allOnMainThread = true;

private:
    static std::string describe(const std::optional<Cue>& cue);
    void record(std::string notice) {
        allOnMainThread = allOnMainThread && MainQueue::shared().isMainThread();
        notices.push_back(std::move(notice));
    }
};

// An engine of its own with a manual media clock and no display link: the
// test ticks it by hand on its own thread, where the GL context is current.
class EngineTest : public RenderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A cue with the given ID and fade length, showing `urls` on outputs 0, 1...
    static Cue makeCue(double id, double fadeLength, const std::vector<std::string>& urls);
    // Adds `count` outputs of `size`, as the patch view does.
    void addOutputs(std::size_t count, PixelSize size = {8, 6});
    void advance(double seconds);
    // One tick at the clock's present time (in refresh slot `frameNumber`),
    // then the main queue's work.
    void tick(std::uint64_t frameNumber = 0);
    // The pixels output j published last.
    Image outputPixels(std::size_t j);

    NotificationCenter center_{MainQueue::shared()};
    ShowStatus status_{center_};
    CueStack stack_{status_};
    ManualClock clock_{1'000'000'000};
    std::unique_ptr<MediaEngine> engine_;
    std::shared_ptr<RecordingEngineDelegate> delegate_ =
        std::make_shared<RecordingEngineDelegate>();
};

}  // namespace bw::test
