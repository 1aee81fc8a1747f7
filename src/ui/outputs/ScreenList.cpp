#include "ui/outputs/ScreenList.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <cmath>
#include <map>

namespace bw {

std::vector<ScreenList::Screen> ScreenList::connected() {
    return from(QGuiApplication::screens());
}

std::vector<ScreenList::Screen> ScreenList::from(const QList<QScreen*>& screens) {
    std::vector<Screen> list;
    std::map<QString, int> seen;
    for (QScreen* screen : screens) {
        // A platform that names no screen has them told apart by order.
        const QString name = screen->name().isEmpty() ? QStringLiteral("screen") : screen->name();
        const int count = ++seen[name];
        Screen entry;
        entry.screen = screen;
        entry.identity.connector =
            (count == 1 ? name : name + QStringLiteral("-%1").arg(count)).toStdString();
        const QString model =
            (screen->manufacturer() + QLatin1Char(' ') + screen->model()).trimmed();
        entry.identity.model = model.toStdString();
        entry.identity.serial = screen->serialNumber().toStdString();
        entry.size = screen->geometry().size() * screen->devicePixelRatio();
        entry.refreshRate = screen->refreshRate();
        list.push_back(std::move(entry));
    }
    return list;
}

std::optional<std::size_t> ScreenList::match(const ScreenChoice& choice,
                                             const std::vector<ScreenChoice>& screens) {
    if (!choice.serial.empty()) {
        for (std::size_t k = 0; k < screens.size(); ++k) {
            if (screens[k].model == choice.model && screens[k].serial == choice.serial) return k;
        }
    }
    if (!choice.connector.empty()) {
        for (std::size_t k = 0; k < screens.size(); ++k) {
            if (screens[k].connector == choice.connector) return k;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> ScreenList::match(const ScreenChoice& choice,
                                             const std::vector<Screen>& screens) {
    std::vector<ScreenChoice> identities;
    identities.reserve(screens.size());
    for (const Screen& screen : screens)
        identities.push_back(screen.identity);
    return match(choice, identities);
}

QString ScreenList::describe(const ScreenChoice& choice) {
    QStringList parts;
    for (const std::string* part : {&choice.connector, &choice.model}) {
        if (!part->empty()) parts.push_back(QString::fromStdString(*part));
    }
    return parts.join(QStringLiteral(" · "));
}

QString ScreenList::describe(const Screen& screen) {
    QStringList parts{describe(screen.identity)};
    parts.push_back(QStringLiteral("%1×%2").arg(screen.size.width()).arg(screen.size.height()));
    if (screen.refreshRate > 0.0) {
        parts.push_back(QStringLiteral("%1 Hz").arg(
            screen.refreshRate, 0, 'f',
            std::fabs(screen.refreshRate - std::round(screen.refreshRate)) < 0.005 ? 0 : 2));
    }
    return parts.join(QStringLiteral(" · "));
}

}  // namespace bw
