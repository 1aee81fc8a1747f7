#include "engine/MediaOutput.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/BufferPlayer.h"
#include "engine/GeneratorPlayer.h"
#include "media/ImagePlayer.h"
#include "media/PicturePlacement.h"
#include "media/VideoPlayer.h"
#include "platform/DescriptorBudget.h"
#include "platform/Fatal.h"
#include "platform/FileTypes.h"
#include "platform/SystemLog.h"
#include "render/GpuBufferPool.h"
#include "render/ShaderScene.h"
#include "sharing/FrameFeed.h"
#include "sharing/FrameServer.h"
#include "sharing/NetworkStream.h"
#include "sharing/PipeWireConnection.h"

namespace bw {

namespace {

// The mixer's inputs, named once: setting them allocates nothing per frame.
const std::string kFirstImage = "inputImage";
const std::string kSecondImage = "input2Image";
const std::string kFirstPlace = "inputImage_place";
const std::string kSecondPlace = "input2Image_place";
const std::string kCrossfade = "crossfade";
const std::string kBars = "bars";

MediaPlayerRef generatorFor(const MediaOutputState& state, PixelSize size) {
    const std::string url = state.mediaURL.absoluteString();
    MediaPlayerRef player;
    if (url == "clear://") {
        player = std::make_shared<ClearPlayer>(size);
    } else if (url == "grid://") {
        player = std::make_shared<GridPlayer>(size);
    } else {
        player = std::make_shared<BlackPlayer>(size);
    }
    return player;
}

}  // namespace

MediaOutput::MediaOutput(std::string name, double width, double height)
    : MediaOutput(std::move(name), width, height, PipeWireConnection::shared()) {}

MediaOutput::MediaOutput(std::string name, double width, double height,
                         PipeWireConnection& connection)
    : mixer_(ShaderScene::mixScene()), name_(std::move(name)), width_(width), height_(height) {
    const PixelSize size = toPixels(width, height);
    outputBuffer_ = GpuBufferPool::global().allocBGRTexSized(size);
    frameServer_ = std::make_unique<FrameServer>(name_, size, connection);
    auto grid = std::make_shared<GridPlayer>(size);
    grid->setState(
        MediaOutputState{MediaURL::generator(MediaURL::Generator::Grid), true, true, false});
    players_.push_back(std::move(grid));
}

MediaOutput::~MediaOutput() = default;

PixelSize MediaOutput::toPixels(double width, double height) {
    const auto round = [](double value) {
        return std::isfinite(value) ? static_cast<int>(std::clamp(std::lround(value), 0L, 1L << 20))
                                    : 0;
    };
    return PixelSize{round(width), round(height)};
}

std::string MediaOutput::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void MediaOutput::setName(std::string name) {
    {
        std::lock_guard lock(mutex_);
        name_ = name;
    }
    frameServer_->setName(std::move(name));
}

std::optional<ScreenChoice> MediaOutput::screen() const {
    std::lock_guard lock(mutex_);
    return screen_;
}

void MediaOutput::setScreen(std::optional<ScreenChoice> screen) {
    std::lock_guard lock(mutex_);
    screen_ = std::move(screen);
}

std::optional<StreamChoice> MediaOutput::stream() const {
    return stream_;
}

void MediaOutput::setStream(std::optional<StreamChoice> stream, double rate) {
    if (stream == stream_ && (networkStream_ != nullptr) == stream.has_value()) return;
    networkStream_.reset();
    stream_ = std::move(stream);
    if (!stream_) return;
    FrameServer* server = frameServer_.get();
    networkStream_ = std::make_unique<NetworkStream>(
        NetworkStream::Settings{name(), stream_->url, rate, stream_->bitrateKbps, pixelSize()},
        [server](std::shared_ptr<FrameFeed> feed) { server->addFeed(std::move(feed)); },
        [server](const FrameFeed* feed) { server->removeFeed(feed); });
}

void MediaOutput::stopStreaming() {
    networkStream_.reset();
}

double MediaOutput::width() const {
    std::lock_guard lock(mutex_);
    return width_;
}

double MediaOutput::height() const {
    std::lock_guard lock(mutex_);
    return height_;
}

PixelSize MediaOutput::pixelSize() const {
    std::lock_guard lock(mutex_);
    return toPixels(width_, height_);
}

void MediaOutput::setSize(double width, double height) {
    const PixelSize size = toPixels(width, height);
    std::vector<MediaPlayerRef> replaced;
    {
        std::lock_guard lock(mutex_);
        width_ = width;
        height_ = height;
        for (MediaPlayerRef& player : players_) {
            if (MediaPlayerRef resized = player->resized(size)) {
                replaced.push_back(std::exchange(player, std::move(resized)));
            }
        }
        if (nextPlayer_) {
            if (MediaPlayerRef resized = nextPlayer_->resized(size)) {
                replaced.push_back(std::exchange(nextPlayer_, std::move(resized)));
            }
        }
    }
    frameServer_->setSize(size);
}

PictureBars MediaOutput::bars() const {
    std::lock_guard lock(mutex_);
    return bars_;
}

void MediaOutput::setBars(PictureBars bars) {
    std::lock_guard lock(mutex_);
    bars_ = bars;
}

float MediaOutput::crossfade() const {
    std::lock_guard lock(mutex_);
    return crossfade_;
}

MediaPlayerRef MediaOutput::makePlayer(const MediaOutputState& state, GstClock* movieClock) const {
    MediaPlayerRef player;
    if (state.mediaURL.isFileURL()) {
        switch (FileTypes::kindOf(state.mediaURL)) {
            case MediaKind::Movie:
                // A movie that cannot have its descriptors would end the
                // process; refused, the output shows black and the show
                // goes on.
                if (const std::optional<std::string> shortage = DescriptorBudget::shortage(
                        VideoPlayer::kDescriptorsNeeded, kDescriptorReserve)) {
                    SystemLog::shared().log("Warning: cannot play " + state.mediaURL.path() + ": " +
                                            *shortage + "; the output shows black");
                    break;
                }
                player = std::make_shared<VideoPlayer>(state.mediaURL, state.muted, state.looped,
                                                       movieClock, pixelSize());
                break;
            case MediaKind::Image: {
                auto image =
                    std::make_shared<ImagePlayer>(state.mediaURL, state.kenBurns, pixelSize());
                image->setLooped(state.looped);
                player = std::move(image);
                break;
            }
            case MediaKind::None:
                // A sound file is no movie here: say why the output is black.
                if (const auto type = FileTypes::contentType(state.mediaURL);
                    type && type->starts_with("audio/")) {
                    SystemLog::shared().log("Warning: cannot play " + state.mediaURL.path() +
                                            ": the file has sound but no picture; the output "
                                            "shows black");
                }
                break;
        }
    }
    if (!player) {
        player = generatorFor(state, pixelSize());
    }
    player->setState(state);
    return player;
}

std::vector<MediaPlayerRef> MediaOutput::players() const {
    std::lock_guard lock(mutex_);
    return players_;
}

MediaPlayerRef MediaOutput::nextPlayer() const {
    std::lock_guard lock(mutex_);
    return nextPlayer_;
}

void MediaOutput::setNextPlayer(MediaPlayerRef player) {
    MediaPlayerRef previous;
    std::lock_guard lock(mutex_);
    previous = std::exchange(nextPlayer_, std::move(player));
}

MediaPlayerRef MediaOutput::replaceRunningPlayer(MediaPlayerRef player) {
    std::lock_guard lock(mutex_);
    if (players_.empty()) {
        players_.push_back(std::move(player));
        return nullptr;
    }
    return std::exchange(players_.size() == 1 ? players_[0] : players_[1], std::move(player));
}

MediaPlayerRef MediaOutput::runningPlayer() const {
    std::lock_guard lock(mutex_);
    if (players_.empty()) {
        return nullptr;
    }
    return players_.size() == 1 ? players_[0] : players_[1];
}

MediaOutput::GoResult MediaOutput::go() {
    GoResult result;
    std::lock_guard lock(mutex_);
    if (players_.size() >= 2) {
        auto still = std::make_shared<BufferPlayer>(outputBuffer_);
        MediaPlayerRef keep = nextPlayer_ ? std::move(nextPlayer_) : players_.back();
        result.released = std::exchange(players_, {std::move(still), keep});
        nextPlayer_.reset();
        if (keep == result.released.back()) {
            // The incoming player goes on as it was: nothing starts.
            result.released.pop_back();
            return result;
        }
        result.started = std::move(keep);
    } else if (nextPlayer_) {
        result.started = std::exchange(nextPlayer_, nullptr);
        players_.push_back(result.started);
    }
    return result;
}

std::vector<MediaPlayerRef> MediaOutput::completeTransition() {
    std::lock_guard lock(mutex_);
    std::vector<MediaPlayerRef> dropped;
    if (players_.size() > 1) {
        MediaPlayerRef last = players_.back();
        dropped = std::exchange(players_, {std::move(last)});
        dropped.pop_back();
    }
    return dropped;
}

MediaOutput::RenderPlan MediaOutput::planRender() const {
    std::lock_guard lock(mutex_);
    return RenderPlan{players_, nextPlayer_, toPixels(width_, height_), bars_};
}

void MediaOutput::render(const DisplayTimeStamp& timeStamp, std::optional<double> progress) {
    render(planRender(), timeStamp, progress);
}

void MediaOutput::render(const RenderPlan& plan, const DisplayTimeStamp& timeStamp,
                         std::optional<double> progress) {
    // The mixer's programs are built at the first tick, not at the first
    // crossfade: a picture published unmixed (below) may leave the mixer
    // unused until then, and building every variant takes several refreshes.
    std::string failure;
    if (!mixer_.prepare(failure)) fatalError(failure);
    GpuBufferRef mixed;
    if (!plan.players.empty()) {
        MixInputs inputs;
        inputs.first = plan.players[0]->frameForTime(timeStamp);
        inputs.size = plan.size;
        inputs.bars = plan.bars;
        // During a crossfade both pictures are needed; until the incoming
        // one has a frame, the last one published stays.
        bool draw = inputs.first != nullptr;
        if (inputs.first) {
            inputs.firstPlace =
                PicturePlacement::forPicture(*inputs.first, plan.size, plan.players[0]->fit());
        }
        if (inputs.first && !(progress && plan.players.size() >= 2)) {
            mixMovieEndBlack(*plan.players[0], timeStamp, inputs);
        }
        if (inputs.first && progress && plan.players.size() >= 2) {
            inputs.second = plan.players[1]->frameForTime(timeStamp);
            draw = inputs.second != nullptr;
            if (inputs.second) {
                inputs.fade = static_cast<float>(*progress);
                inputs.secondPlace =
                    PicturePlacement::forPicture(*inputs.second, plan.size, plan.players[1]->fit());
                plan.players[0]->setVolume(static_cast<float>(1.0 - *progress));
            }
        }
        if (draw && !(inputs == lastMix_) && !inputs.second &&
            coversAsMixed(*inputs.first, inputs.firstPlace, plan.size)) {
            mixed = inputs.first;
            lastMix_ = std::move(inputs);
        } else if (draw && !(inputs == lastMix_)) {
            const bool both = inputs.second != nullptr;
            mixer_.setValue(kCrossfade, both ? static_cast<double>(inputs.fade) : 0.0);
            mixer_.setValue(kFirstImage, inputs.first);
            mixer_.setValue(kSecondImage, both ? inputs.second : inputs.first);
            mixer_.setValue(kFirstPlace, inputs.firstPlace);
            mixer_.setValue(kSecondPlace, both ? inputs.secondPlace : inputs.firstPlace);
            mixer_.setValue(kBars, inputs.bars == PictureBars::Black ? 1.0 : 0.0);
            mixed = mixer_.allocAndRenderToBufferSized(plan.size);
            // The mixer keeps no frames or placements between outputs: the
            // next user sets its own.
            mixer_.setValue(kFirstImage, GpuBufferRef());
            mixer_.setValue(kSecondImage, GpuBufferRef());
            mixer_.setValue(kFirstPlace, AffineMap{});
            mixer_.setValue(kSecondPlace, AffineMap{});
            mixer_.setValue(kBars, 0.0);
            lastMix_ = std::move(inputs);
            if (lastMix_.second) {
                std::lock_guard lock(mutex_);
                crossfade_ = lastMix_.fade;
            }
        }
    }
    GpuBufferRef published;
    {
        std::lock_guard lock(mutex_);
        if (mixed) {
            outputBuffer_ = std::move(mixed);
        }
        published = outputBuffer_;
    }
    frameServer_->publishFrame(*published, published != lastPublished_, timeStamp.hostTime);
    lastPublished_ = published;
    GpuBufferPool::global().housekeeping();
    if (plan.nextPlayer) {
        plan.nextPlayer->warmUp();
    }
}

bool MediaOutput::coversAsMixed(const GpuBuffer& picture, const AffineMap& place, PixelSize size) {
    const PictureEncoding& encoding = picture.encoding();
    return encoding.kind == PictureEncoding::Kind::Rgba && !encoding.straightAlpha &&
           !encoding.opaque && picture.format() == GL_RGBA8 && picture.size() == size &&
           !picture.flipped() && picture.srcRect() == PixelRect{0, 0, size.width, size.height} &&
           place == AffineMap{};
}

void MediaOutput::mixMovieEndBlack(const MediaPlayer& player, const DisplayTimeStamp& timeStamp,
                                   MixInputs& inputs) {
    std::optional<MediaPlayer::PlaybackTime> time;
    if (player.atMovieEnd() == AtMovieEnd::Black) time = player.playbackTime();
    if (!time || !time->ended || time->looped) {
        endedPlayer_ = nullptr;
        return;
    }
    if (endedPlayer_ != &player) {
        endedPlayer_ = &player;
        endedAt_ = timeStamp.hostTime;
    }
    if (!movieEndBlack_ || !(movieEndBlackSize_ == inputs.size)) {
        movieEndBlack_ = std::make_shared<BlackPlayer>(inputs.size);
        movieEndBlackSize_ = inputs.size;
    }
    GpuBufferRef frame = movieEndBlack_->frameForTime(timeStamp);
    if (!frame) return;
    const double since = static_cast<double>(timeStamp.hostTime - endedAt_) / 1e9;
    inputs.second = std::move(frame);
    inputs.fade = static_cast<float>(std::clamp(since / kMovieEndFadeSeconds, 0.0, 1.0));
    inputs.secondPlace =
        PicturePlacement::forPicture(*inputs.second, inputs.size, PictureFit::Stretch);
}

GpuBufferRef MediaOutput::outputBuffer() const {
    std::lock_guard lock(mutex_);
    return outputBuffer_;
}

}  // namespace bw
