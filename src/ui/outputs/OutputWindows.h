#pragma once

#include <QKeyEvent>
#include <QObject>
#include <QScreen>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ui/outputs/ScreenList.h"

namespace bw {

class MediaEngine;
class MediaOutput;
class OutputWindow;

// Puts each output whose screen choice names a connected screen on that
// screen, full screen, in an OutputWindow, and keeps it there: outputs added,
// removed, given another screen or replaced by a show load, and screens
// plugged in or unplugged, are followed at each update(). A window stays up
// through a change of the output it shows (a show load, a resize): it keeps
// the last frame until the next arrives, so the screen never shows anything
// but the show.
//
// One screen shows one output: where two outputs choose the same screen, the
// first of them in the show's order has it.
//
// It also sets the display link's rate: the refresh rate of the screen of the
// first output shown, or of the primary screen when no output is shown.
//
// Main thread only; the engine must outlive it.
class OutputWindows final : public QObject {
    Q_OBJECT

public:
    // Refresh rates closer than this are the same rate (a screen may report
    // 59.95 Hz one moment and 59.94 Hz the next).
    static constexpr double kSameRate = 0.01;

    // `focusTaken` and `keyTaken` are given to each window: see OutputWindow.
    OutputWindows(MediaEngine& engine, std::function<void()> focusTaken,
                  std::function<void(QKeyEvent&)> keyTaken, QObject* parent = nullptr);
    ~OutputWindows() override;

    // Shows every output on its screen as things stand now.
    void update();
    // The program ends: every window closes, until update() opens them again.
    void closeAll();

    // The window showing output j, if any.
    OutputWindow* windowFor(std::size_t j) const;
    std::size_t windowCount() const { return windows_.size(); }
    // The screen output j is shown on, as ScreenList::connected lists it.
    std::optional<ScreenList::Screen> screenFor(std::size_t j) const;
    // Which output, by index, each connected screen would show: the first
    // output that chooses it. Outputs with no choice, or whose screen is not
    // connected, are left out.
    static std::vector<std::optional<std::size_t>> assignment(
        const std::vector<std::optional<ScreenChoice>>& choices,
        const std::vector<ScreenChoice>& screens);

signals:
    // The windows were updated (or the screens changed).
    void changed();

private:
    struct Shown {
        std::unique_ptr<OutputWindow> window;
        std::shared_ptr<MediaOutput> output;  // none while a show loads
        std::size_t index = 0;
    };

    void watchScreen(QScreen* screen);
    void attach(Shown& shown, std::shared_ptr<MediaOutput> output, std::size_t index);
    static void detach(Shown& shown);
    void pace();

    MediaEngine& engine_;
    std::function<void()> focusTaken_;
    std::function<void(QKeyEvent&)> keyTaken_;
    std::vector<Shown> windows_;
};

}  // namespace bw
