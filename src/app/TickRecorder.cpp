#include "app/TickRecorder.h"

#include <epoxy/gl.h>
#include <time.h>

#include <cinttypes>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/ShowClock.h"
#include "platform/Clock.h"
#include "render/DisplayLink.h"
#include "render/GpuBuffer.h"

namespace bw {

namespace {

std::int64_t nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * Clock::kHostTicksPerSecond + now.tv_nsec;
}

}  // namespace

std::unique_ptr<TickRecorder> TickRecorder::open(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        if (error) *error = "cannot write " + path;
        return nullptr;
    }
    return std::unique_ptr<TickRecorder>(new TickRecorder(file));
}

TickRecorder::~TickRecorder() {
    std::fclose(file_);
}

void TickRecorder::attach(MediaEngine& engine) {
    DisplayLink* link = engine.displayLink();
    const bool running = link != nullptr && link->isRunning();
    if (running) link->stop();
    engine.setTickObserver(
        [this, &engine](const DisplayTimeStamp& timeStamp, std::optional<double> progress) {
            record(engine, timeStamp, progress);
        });
    if (running) link->start();
}

void TickRecorder::record(MediaEngine& engine, const DisplayTimeStamp& timeStamp,
                          const std::optional<double>& progress) {
    const auto hostTime = static_cast<std::int64_t>(timeStamp.hostTime);
    const std::int64_t realTime =
        hostTime - systemClock().hostTimeNanoseconds() + nanoseconds(CLOCK_REALTIME);
    const ShowClock* clock = engine.showClock();
    const std::int64_t showTime = clock != nullptr ? clock->showTimeAt(hostTime) : hostTime;
    char progressText[32] = "-";
    if (progress) std::snprintf(progressText, sizeof progressText, "%.6f", *progress);
    const std::optional<Cue> cue = engine.currentCue();
    char pixelText[16] = "-";
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine.outputs();
    if (!outputs.empty()) {
        if (GpuBufferRef frame = outputs.front()->outputBuffer()) {
            std::uint8_t rgba[4] = {};
            glBindFramebuffer(GL_READ_FRAMEBUFFER, frame->framebuffer());
            glReadPixels(frame->size().width / 2, frame->size().height / 2, 1, 1, GL_RGBA,
                         GL_UNSIGNED_BYTE, rgba);
            glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
            std::snprintf(pixelText, sizeof pixelText, "%02x%02x%02x", rgba[0], rgba[1], rgba[2]);
        }
    }
    std::fprintf(file_, "%" PRId64 " %" PRId64 " %s %.17g %s\n", realTime, showTime, progressText,
                 cue ? cue->id : -1.0, pixelText);
    // Whole lines for a reader that follows the file while the show runs.
    std::fflush(file_);
}

}  // namespace bw
