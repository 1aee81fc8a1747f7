#include "engine/EngineTestSupport.h"

#include <chrono>

#include "platform/MediaURL.h"
#include "show/NumberText.h"

namespace bw::test {

std::string RecordingEngineDelegate::describe(const std::optional<Cue>& cue) {
    return cue ? formatCueNumber(cue->id) : std::string("none");
}

void EngineTest::SetUp() {
    RenderTest::SetUp();
    engine_ = std::make_unique<MediaEngine>(
        MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
    engine_->setDelegate(delegate_);
}

void EngineTest::TearDown() {
    engine_.reset();
    MainQueue::shared().drain();
    RenderTest::TearDown();
}

Cue EngineTest::makeCue(double id, double fadeLength, const std::vector<std::string>& urls) {
    Cue cue{id, "", fadeLength, {}};
    for (const std::string& url : urls) {
        MediaOutputState state;
        state.mediaURL = *MediaURL::fromString(url);
        cue.outputStates.push_back(state);
    }
    return cue;
}

void EngineTest::addOutputs(std::size_t count, PixelSize size) {
    for (std::size_t i = 0; i < count; ++i) {
        engine_->addOutput(std::make_shared<MediaOutput>("Output " + std::to_string(i + 1),
                                                         size.width, size.height));
    }
}

void EngineTest::advance(double seconds) {
    clock_.advance(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)));
}

void EngineTest::tick(std::uint64_t frameNumber) {
    DisplayTimeStamp stamp;
    stamp.hostTime = static_cast<std::uint64_t>(clock_.hostTimeNanoseconds());
    stamp.refreshPeriod = 16'666'667;
    stamp.frameNumber = frameNumber;
    engine_->renderFrame(stamp);
    MainQueue::shared().drain();
}

Image EngineTest::outputPixels(std::size_t j) {
    return readPixels(*engine_->outputs().at(j)->outputBuffer());
}

}  // namespace bw::test
