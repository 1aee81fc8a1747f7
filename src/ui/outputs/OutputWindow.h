#pragma once

#include <xcb/xcb.h>

#include <QKeyEvent>
#include <QRect>
#include <QSize>
#include <QString>
#include <QSurfaceFormat>
#include <QWindow>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "render/PixelSize.h"

namespace bw {

class FrameFeed;

// One output shown full screen on one screen, for a projector: no
// decorations, no mouse pointer, never the keyboard's focus, nothing but the
// output's frames on black.
//
// A thread of its own presents the frames: it takes each new frame from the
// window's feed (which the output's frame server fills on the render
// thread), uploads it into a texture of the window's own GL context and
// draws it with the screen's swap interval, so that a swap never holds up the
// main thread or another output's window. Where that GL draws on the CPU, a
// frame of the window's own size is put into the window through X shared
// memory instead: one pass over its pixels, where GL would take three (an
// upload, a textured draw, a copy of the back buffer to the server). A frame
// of the screen's size is drawn pixel for pixel; any other is scaled to fit
// with its proportions kept, between black bars. Until the first frame
// arrives, and whenever the window is shown again, the last frame (or black)
// is drawn at once.
//
// It never asks for the keyboard focus. Should it get it all the same (a
// compositor that gives it, a tool that forces it), `focusTaken` is called
// for the show window to take the focus back, and each key that reaches it
// goes to `keyTaken`, for the show window to handle as its own: Escape does
// not take an output off its screen, and a GO typed meanwhile is not lost.
//
// Main thread only, but for the presented-frame counters.
class OutputWindow final : public QWindow {
public:
    // Called on the presenting thread after each completed swap of a frame:
    // the frame's sequence in the feed, when it was put in and when its swap
    // returned (CLOCK_MONOTONIC nanoseconds).
    using PresentedCallback = std::function<void(std::uint64_t sequence, std::uint64_t publishedAt,
                                                 std::uint64_t swappedAt)>;

    // A window for `screen`, which it keeps: a window is never moved to
    // another screen (on X11 that would replace its native window under the
    // presenting thread); it hides itself if the system moves it.
    OutputWindow(QScreen* screen, const QString& title, std::function<void()> focusTaken,
                 std::function<void(QKeyEvent&)> keyTaken);
    // Stops the presenting thread before the window goes.
    ~OutputWindow() override;
    OutputWindow(const OutputWindow&) = delete;
    OutputWindow& operator=(const OutputWindow&) = delete;

    // The feed a frame server fills for this window; the window's for its life.
    const std::shared_ptr<FrameFeed>& feed() const { return feed_; }

    // Shows the window full screen on its screen and starts presenting.
    void start();
    QScreen* targetScreen() const { return targetScreen_; }

    // Any thread.
    std::uint64_t framesPresented() const { return framesPresented_.load(); }
    // Whether the presenting thread has its GL context; false after a failure.
    bool isPresenting() const { return presenting_.load(); }
    void setPresentedCallback(PresentedCallback callback);

    // Where a frame of `frame` size is drawn in a window of `window` pixels:
    // all of it at its own size where the sizes match, else the largest
    // rectangle of the frame's proportions that fits, centred. Top-left origin.
    static QRect fittedRect(PixelSize frame, QSize window);

protected:
    void exposeEvent(QExposeEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    void giveFocusBack();
    void showBlackUnderneath();
    // The presenting thread's body; `name` names the window in the log,
    // `connection` and `window` are the X11 ones (null and 0 elsewhere).
    void present(const QSurfaceFormat& format, const std::string& name,
                 xcb_connection_t* connection, xcb_window_t window);

    QScreen* const targetScreen_;
    const std::shared_ptr<FrameFeed> feed_;
    std::function<void()> focusTaken_;
    std::function<void(QKeyEvent&)> keyTaken_;
    std::thread presenter_;
    std::atomic<bool> exposed_ = false;
    std::atomic<int> pixelWidth_ = 0;
    std::atomic<int> pixelHeight_ = 0;
    std::atomic<bool> presenting_ = false;
    std::atomic<std::uint64_t> framesPresented_ = 0;
    std::mutex callbackMutex_;
    // Guarded by callbackMutex_.
    PresentedCallback presented_;
};

}  // namespace bw
