#include "ui/outputs/OutputWindow.h"

#include <xcb/xcb.h>

#include <QExposeEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QScreen>
#include <QSurfaceFormat>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/SystemLog.h"
#include "render/SoftwareRenderer.h"
#include "sharing/FrameFeed.h"
#include "ui/outputs/SharedMemoryPresenter.h"

namespace bw {

namespace {

using namespace std::chrono_literals;

// A texture holding the newest frame, with a framebuffer to blit from.
// Presenting thread only, with the window's context current.
class FrameTexture {
public:
    explicit FrameTexture(QOpenGLExtraFunctions& gl) : gl_(gl) {}
    ~FrameTexture() {
        if (framebuffer_ != 0) gl_.glDeleteFramebuffers(1, &framebuffer_);
        if (texture_ != 0) gl_.glDeleteTextures(1, &texture_);
    }
    FrameTexture(const FrameTexture&) = delete;
    FrameTexture& operator=(const FrameTexture&) = delete;

    void upload(const FramePixels& pixels) {
        if (pixels.size.width <= 0 || pixels.size.height <= 0 ||
            pixels.rgba.size() < static_cast<std::size_t>(pixels.size.width) *
                                     static_cast<std::size_t>(pixels.size.height) * 4) {
            return;
        }
        if (texture_ == 0) {
            gl_.glGenTextures(1, &texture_);
            gl_.glGenFramebuffers(1, &framebuffer_);
        }
        gl_.glBindTexture(GL_TEXTURE_2D, texture_);
        gl_.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        if (size_ != pixels.size) {
            gl_.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, pixels.size.width, pixels.size.height, 0,
                             GL_RGBA, GL_UNSIGNED_BYTE, pixels.rgba.data());
            gl_.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            gl_.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            gl_.glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
            gl_.glFramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                                       texture_, 0);
            size_ = pixels.size;
        } else {
            gl_.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, size_.width, size_.height, GL_RGBA,
                                GL_UNSIGNED_BYTE, pixels.rgba.data());
        }
        gl_.glBindTexture(GL_TEXTURE_2D, 0);
    }

    // Clears `target` (of `window` pixels) to black and draws the frame, if
    // there is one, in its fitted place.
    void draw(GLuint target, QSize window) {
        gl_.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, target);
        gl_.glViewport(0, 0, window.width(), window.height());
        const QRect place = OutputWindow::fittedRect(size_, window);
        // Black where the frame leaves the window uncovered; a frame that
        // covers it all is drawn over whatever the buffer held.
        if (texture_ == 0 || place != QRect(QPoint(0, 0), window)) {
            gl_.glClearColor(0.0F, 0.0F, 0.0F, 1.0F);
            gl_.glClear(GL_COLOR_BUFFER_BIT);
        }
        if (texture_ == 0) return;
        // The frame's top row is its first; GL counts rows from the bottom.
        const GLint top = window.height() - place.y();
        const GLint bottom = window.height() - (place.y() + place.height());
        const bool sameSize = place.width() == size_.width && place.height() == size_.height;
        gl_.glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
        gl_.glBlitFramebuffer(0, 0, size_.width, size_.height, place.x(), top,
                              place.x() + place.width(), bottom, GL_COLOR_BUFFER_BIT,
                              sameSize ? GL_NEAREST : GL_LINEAR);
        gl_.glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    }

private:
    QOpenGLExtraFunctions& gl_;
    GLuint texture_ = 0;
    GLuint framebuffer_ = 0;
    PixelSize size_;
};

// Whether frames of the window's size go through X shared memory rather than
// GL: where `renderer` draws on the CPU, unless BEAMWRIGHT_SHARED_MEMORY_WINDOWS
// says otherwise ("0": never, "1": on any renderer).
bool drawsThroughSharedMemory(const char* renderer) {
    const char* choice = std::getenv("BEAMWRIGHT_SHARED_MEMORY_WINDOWS");
    if (choice != nullptr && std::strcmp(choice, "0") == 0) return false;
    if (choice != nullptr && std::strcmp(choice, "1") == 0) return true;
    return renderer != nullptr && isSoftwareRenderer(renderer);
}

}  // namespace

OutputWindow::OutputWindow(QScreen* screen, const QString& title, std::function<void()> focusTaken,
                           std::function<void(QKeyEvent&)> keyTaken)
    : targetScreen_(screen),
      feed_(std::make_shared<FrameFeed>()),
      focusTaken_(std::move(focusTaken)),
      keyTaken_(std::move(keyTaken)) {
    setSurfaceType(QSurface::OpenGLSurface);
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    // Opaque: nothing behind the window may show through, not even where a
    // frame is transparent.
    format.setAlphaBufferSize(0);
    // Eight bits a channel, as the frames have: left open, a driver may pick
    // a 16-bit surface first, and the pictures would band.
    format.setRedBufferSize(8);
    format.setGreenBufferSize(8);
    format.setBlueBufferSize(8);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    format.setSwapInterval(1);
    setFormat(format);
    setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
    setTitle(title);
    setCursor(Qt::BlankCursor);
    setScreen(screen);
    connect(this, &QWindow::screenChanged, this, [this](QScreen* now) {
        if (now != targetScreen_) hide();
    });
}

OutputWindow::~OutputWindow() {
    feed_->close();
    if (presenter_.joinable()) presenter_.join();
}

void OutputWindow::start() {
    if (targetScreen_ == nullptr) return;
    setGeometry(targetScreen_->geometry());
    showBlackUnderneath();
    // Not showFullScreen(): that would ask for the focus as well.
    setWindowStates(Qt::WindowFullScreen);
    setVisible(true);
    if (!presenter_.joinable()) {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
        const auto window = connection != nullptr ? static_cast<xcb_window_t>(winId()) : 0;
        presenter_ =
            std::thread([this, format = requestedFormat(), name = title().toStdString(), connection,
                         window] { present(format, name, connection, window); });
    }
}

void OutputWindow::showBlackUnderneath() {
    // X11 windows for GL have no background by default: what was on the
    // screen stays in view until the first swap. A black one shows from the
    // moment the window is mapped.
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr) return;
    const std::uint32_t black = 0;
    xcb_change_window_attributes(x11->connection(), static_cast<xcb_window_t>(winId()),
                                 XCB_CW_BACK_PIXEL, &black);
    xcb_flush(x11->connection());
}

void OutputWindow::setPresentedCallback(PresentedCallback callback) {
    std::lock_guard lock(callbackMutex_);
    presented_ = std::move(callback);
}

QRect OutputWindow::fittedRect(PixelSize frame, QSize window) {
    if (frame.width <= 0 || frame.height <= 0 || window.isEmpty()) return {};
    if (frame.width == window.width() && frame.height == window.height())
        return {0, 0, frame.width, frame.height};
    const double scale = std::min(static_cast<double>(window.width()) / frame.width,
                                  static_cast<double>(window.height()) / frame.height);
    const int width =
        std::clamp(static_cast<int>(std::lround(frame.width * scale)), 1, window.width());
    const int height =
        std::clamp(static_cast<int>(std::lround(frame.height * scale)), 1, window.height());
    return {(window.width() - width) / 2, (window.height() - height) / 2, width, height};
}

void OutputWindow::exposeEvent(QExposeEvent* event) {
    QWindow::exposeEvent(event);
    const QSize pixels = size() * devicePixelRatio();
    pixelWidth_.store(pixels.width());
    pixelHeight_.store(pixels.height());
    exposed_.store(isExposed());
    feed_->wake();
}

void OutputWindow::resizeEvent(QResizeEvent* event) {
    QWindow::resizeEvent(event);
    const QSize pixels = size() * devicePixelRatio();
    pixelWidth_.store(pixels.width());
    pixelHeight_.store(pixels.height());
    feed_->wake();
}

void OutputWindow::keyPressEvent(QKeyEvent* event) {
    // The operator's keys belong to the show window. A key reaching this
    // window means it has the focus: the focus goes back too.
    event->accept();
    if (keyTaken_) keyTaken_(*event);
    giveFocusBack();
}

void OutputWindow::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
    if (keyTaken_) keyTaken_(*event);
}

void OutputWindow::focusInEvent(QFocusEvent* event) {
    QWindow::focusInEvent(event);
    giveFocusBack();
}

void OutputWindow::giveFocusBack() {
    // Once the focus change has been handled: asked for from inside it, the
    // show window's activation would be undone by the change itself.
    if (focusTaken_) QMetaObject::invokeMethod(this, focusTaken_, Qt::QueuedConnection);
}

void OutputWindow::present(const QSurfaceFormat& format, const std::string& name,
                           xcb_connection_t* connection, xcb_window_t window) {
    QOpenGLContext context;
    context.setFormat(format);
    context.setScreen(targetScreen_);
    if (!context.create() || !context.makeCurrent(this)) {
        SystemLog::shared().log("Output window \"" + name +
                                "\": no OpenGL context for its screen; nothing is shown there");
        return;
    }
    presenting_.store(true);
    {
        FrameTexture texture(*context.extraFunctions());
        const char* renderer =
            reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
        bool sharedMemory =
            connection != nullptr && window != 0 && drawsThroughSharedMemory(renderer);
        std::unique_ptr<SharedMemoryPresenter> putter;
        FrameFeed::Frame frame;
        bool haveFrame = false;
        bool uploaded = false;  // the texture holds `frame`
        bool blackShown = false;
        for (;;) {
            const FrameFeed::Wait wait = feed_->waitAndTake(frame, 250ms);
            if (wait == FrameFeed::Wait::Closed) break;
            if (wait == FrameFeed::Wait::Frame) {
                haveFrame = true;
                uploaded = false;
            }
            // Nothing new: draw again only to put black up for the first time.
            if (wait == FrameFeed::Wait::TimedOut && blackShown) continue;
            if (!exposed_.load()) continue;
            const QSize pixels(pixelWidth_.load(), pixelHeight_.load());
            bool put = false;
            if (sharedMemory && haveFrame &&
                frame.pixels.size == PixelSize{pixels.width(), pixels.height()}) {
                std::string whyNot;
                if (!putter || putter->size() != frame.pixels.size)
                    putter = SharedMemoryPresenter::create(connection, window, frame.pixels.size,
                                                           whyNot);
                put = putter && putter->present(frame.pixels);
                if (!put) {
                    putter.reset();
                    sharedMemory = false;
                    SystemLog::shared().log(
                        "Output window \"" + name + "\": frames drawn with OpenGL from now on: " +
                        (whyNot.empty() ? std::string("the X server refused a frame") : whyNot));
                }
            }
            if (!put) {
                if (!context.makeCurrent(this)) continue;
                if (haveFrame && !uploaded) texture.upload(frame.pixels);
                uploaded = true;
                texture.draw(context.defaultFramebufferObject(), pixels);
                context.swapBuffers(this);
            }
            blackShown = true;
            if (wait != FrameFeed::Wait::Frame) continue;
            framesPresented_.fetch_add(1);
            const auto swapped = static_cast<std::uint64_t>(MonotonicClock().hostTimeNanoseconds());
            std::lock_guard lock(callbackMutex_);
            if (presented_) presented_(frame.sequence, frame.publishedAt, swapped);
        }
        putter.reset();
    }
    context.doneCurrent();
    presenting_.store(false);
}

}  // namespace bw
