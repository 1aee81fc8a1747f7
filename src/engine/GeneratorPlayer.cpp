#include "engine/GeneratorPlayer.h"

#include "render/ShaderScene.h"

namespace bw {

namespace {

template <typename Player>
MediaPlayerRef resizedCopy(const Player& player, PixelSize size) {
    auto copy = std::make_shared<Player>(size);
    if (player.state()) {
        copy->setState(*player.state());
    }
    return copy;
}

}  // namespace

GpuBufferRef GeneratorPlayer::frameForTime(const DisplayTimeStamp& /*timeStamp*/) {
    warmUp();
    return buffer_;
}

void GeneratorPlayer::warmUp() {
    if (!buffer_) {
        buffer_ = scene().allocAndRenderToBufferSized(size_);
    }
}

MediaPlayerRef BlackPlayer::resized(PixelSize size) const {
    return resizedCopy(*this, size);
}

ShaderScene& BlackPlayer::scene() const {
    return ShaderScene::blackScene();
}

MediaPlayerRef ClearPlayer::resized(PixelSize size) const {
    return resizedCopy(*this, size);
}

ShaderScene& ClearPlayer::scene() const {
    return ShaderScene::clearScene();
}

MediaPlayerRef GridPlayer::resized(PixelSize size) const {
    return resizedCopy(*this, size);
}

ShaderScene& GridPlayer::scene() const {
    return ShaderScene::gridScene();
}

}  // namespace bw
