#include "ui/outputs/OutputWindows.h"

#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "sharing/FrameServer.h"
#include "ui/outputs/OutputWindow.h"

namespace bw {

OutputWindows::OutputWindows(MediaEngine& engine, std::function<void()> focusTaken,
                             std::function<void(QKeyEvent&)> keyTaken, QObject* parent)
    : QObject(parent),
      engine_(engine),
      focusTaken_(std::move(focusTaken)),
      keyTaken_(std::move(keyTaken)) {
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (application != nullptr) {
        connect(application, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
            watchScreen(screen);
            update();
        });
        // Queued: the screen is still listed while the signal runs.
        connect(application, &QGuiApplication::screenRemoved, this, &OutputWindows::update,
                Qt::QueuedConnection);
        connect(application, &QGuiApplication::primaryScreenChanged, this, &OutputWindows::update);
    }
    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
}

OutputWindows::~OutputWindows() {
    for (Shown& shown : windows_)
        detach(shown);
}

void OutputWindows::closeAll() {
    for (Shown& shown : windows_)
        detach(shown);
    windows_.clear();
    emit changed();
}

void OutputWindows::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, &OutputWindows::update);
    connect(screen, &QScreen::refreshRateChanged, this, &OutputWindows::update);
}

std::vector<std::optional<std::size_t>> OutputWindows::assignment(
    const std::vector<std::optional<ScreenChoice>>& choices,
    const std::vector<ScreenChoice>& screens) {
    std::vector<std::optional<std::size_t>> shows(screens.size());
    for (std::size_t j = 0; j < choices.size(); ++j) {
        if (!choices[j]) continue;
        const std::optional<std::size_t> k = ScreenList::match(*choices[j], screens);
        if (k && !shows[*k]) shows[*k] = j;
    }
    return shows;
}

void OutputWindows::update() {
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    const std::vector<ScreenList::Screen> screens = ScreenList::connected();
    std::vector<std::optional<ScreenChoice>> choices;
    for (const auto& output : outputs)
        choices.push_back(output->screen());
    std::vector<ScreenChoice> identities;
    for (const ScreenList::Screen& screen : screens)
        identities.push_back(screen.identity);
    const std::vector<std::optional<std::size_t>> shows = assignment(choices, identities);

    // Windows whose screen is gone or shows nothing now close; the others
    // take the output their screen shows, keeping their last frame meanwhile.
    std::vector<Shown> kept;
    for (Shown& shown : windows_) {
        const auto on = std::find_if(screens.begin(), screens.end(), [&](const auto& screen) {
            return screen.screen == shown.window->targetScreen();
        });
        const std::size_t k = static_cast<std::size_t>(on - screens.begin());
        if (on == screens.end() || !shows[k]) {
            detach(shown);
            continue;
        }
        const std::size_t j = *shows[k];
        if (shown.output != outputs[j]) attach(shown, outputs[j], j);
        shown.index = j;
        // The screen's geometry may have changed.
        shown.window->start();
        kept.push_back(std::move(shown));
    }
    windows_ = std::move(kept);

    for (std::size_t k = 0; k < screens.size(); ++k) {
        if (!shows[k]) continue;
        const bool open = std::any_of(windows_.begin(), windows_.end(), [&](const Shown& shown) {
            return shown.window->targetScreen() == screens[k].screen;
        });
        if (open) continue;
        const std::size_t j = *shows[k];
        Shown shown;
        shown.window = std::make_unique<OutputWindow>(
            screens[k].screen, QString::fromStdString(outputs[j]->name()), focusTaken_, keyTaken_);
        attach(shown, outputs[j], j);
        shown.window->start();
        windows_.push_back(std::move(shown));
    }
    std::sort(windows_.begin(), windows_.end(),
              [](const Shown& a, const Shown& b) { return a.index < b.index; });
    pace();
    emit changed();
}

void OutputWindows::attach(Shown& shown, std::shared_ptr<MediaOutput> output, std::size_t index) {
    if (shown.output) shown.output->frameServer().removeFeed(shown.window->feed().get());
    shown.output = std::move(output);
    shown.index = index;
    shown.window->setTitle(QString::fromStdString(shown.output->name()));
    shown.output->frameServer().addFeed(shown.window->feed());
}

void OutputWindows::detach(Shown& shown) {
    if (shown.output) shown.output->frameServer().removeFeed(shown.window->feed().get());
    shown.output.reset();
    shown.window.reset();
}

OutputWindow* OutputWindows::windowFor(std::size_t j) const {
    for (const Shown& shown : windows_) {
        if (shown.output && shown.index == j) return shown.window.get();
    }
    return nullptr;
}

std::optional<ScreenList::Screen> OutputWindows::screenFor(std::size_t j) const {
    const OutputWindow* window = windowFor(j);
    if (window == nullptr) return std::nullopt;
    for (const ScreenList::Screen& screen : ScreenList::connected()) {
        if (screen.screen == window->targetScreen()) return screen;
    }
    return std::nullopt;
}

void OutputWindows::pace() {
    double rate = 0.0;
    if (!windows_.empty()) {
        rate = windows_.front().window->targetScreen()->refreshRate();
    } else if (QScreen* primary = QGuiApplication::primaryScreen()) {
        rate = primary->refreshRate();
    }
    if (rate <= 0.0 || std::fabs(rate - engine_.displayRefreshRate()) < kSameRate) return;
    engine_.setDisplayRefreshRate(rate);
}

}  // namespace bw
