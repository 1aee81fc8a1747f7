#include "ui/outputs/ScreenIdentifier.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/outputs/ScreenList.h"

namespace bw {

ScreenIdentifier::ScreenIdentifier(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    timer_.setInterval(kShownMilliseconds);
    connect(&timer_, &QTimer::timeout, this, &ScreenIdentifier::hidePanels);
    // A screen unplugged while its panel is up takes the panel with it.
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(application, &QGuiApplication::screenRemoved, this, &ScreenIdentifier::hidePanels);
    }
}

ScreenIdentifier::~ScreenIdentifier() = default;

void ScreenIdentifier::identify() {
    hidePanels();
    for (const ScreenList::Screen& screen : ScreenList::connected()) {
        auto panel = std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint |
                                                            Qt::WindowStaysOnTopHint |
                                                            Qt::WindowDoesNotAcceptFocus);
        panel->setObjectName("screenIdentityPanel");
        panel->setAttribute(Qt::WA_ShowWithoutActivating);
        panel->setStyleSheet(QStringLiteral("background: black; color: white;"));
        auto* layout = new QVBoxLayout(panel.get());
        auto* name = new QLabel(QString::fromStdString(screen.identity.connector), panel.get());
        name->setObjectName("screenNameLabel");
        QFont large = name->font();
        large.setPixelSize(std::max(24, screen.screen->geometry().height() / 6));
        large.setBold(true);
        name->setFont(large);
        name->setAlignment(Qt::AlignCenter);
        auto* details = new QLabel(ScreenList::describe(screen), panel.get());
        QFont medium = details->font();
        medium.setPixelSize(std::max(14, screen.screen->geometry().height() / 24));
        details->setFont(medium);
        details->setAlignment(Qt::AlignCenter);
        layout->addWidget(name);
        layout->addWidget(details);

        const QRect area = screen.screen->geometry();
        const QSize size(area.width() * 2 / 3, area.height() / 2);
        panel->setScreen(screen.screen);
        panel->setGeometry(
            QRect(area.center() - QPoint(size.width() / 2, size.height() / 2), size));
        panel->show();
        panels_.push_back(std::move(panel));
    }
    timer_.start();
}

void ScreenIdentifier::hidePanels() {
    timer_.stop();
    panels_.clear();
}

}  // namespace bw
