#include "ui/StageLine.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QGridLayout>
#include <QSizePolicy>
#include <algorithm>
#include <cmath>

#include "ui/AccessibleText.h"
#include "ui/Look.h"

namespace bw {

namespace {

constexpr int kProgressSteps = 1000;
// The fade's bar, in body-type heights: long enough to read across a booth.
constexpr double kProgressWidth = 12.0;

QLabel* makeLabel(const char* objectName, const QString& accessibleName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setAccessibleName(accessibleName);
    label->setTextFormat(Qt::PlainText);
    // Long descriptions are cut at the window's edge rather than widening it.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // A label that has never held text asks for a few pixels more than one
    // whose text was emptied, so the times would sit apart from where they
    // rest after the first crossfade; each starts out as an emptied one.
    label->setText(QStringLiteral(" "));
    label->setText(QString());
    return label;
}

void setColour(QLabel* label, const std::optional<QColor>& colour) {
    label->setStyleSheet(colour ? QStringLiteral("color: %1;").arg(colour->name()) : QString());
}

}  // namespace

StageLine::StageLine(QWidget* parent)
    : QWidget(parent),
      nowLabel_(makeLabel("currentCueLabel", tr("Cue on stage"), this)),
      nextLabel_(makeLabel("nextCueLabel", tr("Next cue"), this)),
      movieLabel_(makeLabel("movieTimeLabel", tr("Movie on stage"), this)),
      fadeLabel_(makeLabel("fadeTimeLabel", tr("Crossfade time"), this)),
      fadeProgress_(new QProgressBar(this)) {
    setObjectName("stageLine");
    setAccessibleName(tr("Stage"));
    fadeProgress_->setObjectName("fadeProgress");
    fadeProgress_->setAccessibleName(tr("Crossfade progress"));
    fadeProgress_->setRange(0, kProgressSteps);
    fadeProgress_->setFormat(tr("fade %p %"));
    fadeProgress_->setEnabled(false);
    movieLabel_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    fadeLabel_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);

    // Now above next, so that they stay together at any width; the times
    // beside them.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(nowLabel_, 0, 0);
    grid->addWidget(movieLabel_, 0, 1, 1, 2);
    grid->addWidget(nextLabel_, 1, 0);
    grid->addWidget(fadeProgress_, 1, 1);
    grid->addWidget(fadeLabel_, 1, 2);
    grid->setColumnStretch(0, 1);
    applyFonts();
}

void StageLine::setCues(const QString& now, const QString& next, bool nextWarns) {
    showAccessibleText(nowLabel_, now);
    showAccessibleText(nextLabel_, next);
    if (nextWarns != nextWarns_) {
        nextWarns_ = nextWarns;
        applyColours();
    }
}

void StageLine::setTiming(const MediaEngine::StageTiming& timing) {
    showAccessibleText(movieLabel_, describeMovie(timing.movie));
    showAccessibleText(fadeLabel_, describeFade(timing.fade));
    if (timing.fade) {
        fadeProgress_->setValue(
            static_cast<int>(std::lround(timing.fade->progress * kProgressSteps)));
    } else {
        fadeProgress_->reset();
    }
    fadeProgress_->setEnabled(timing.fade.has_value());
    const bool warns = movieWarns(timing.movie);
    if (warns != movieWarns_) {
        movieWarns_ = warns;
        applyColours();
    }
}

void StageLine::setZoom(double zoom) {
    zoom_ = zoom;
    applyFonts();
}

void StageLine::setDarkMode(bool dark) {
    dark_ = dark;
    applyColours();
}

void StageLine::applyFonts() {
    const QFont body = QApplication::font();
    QFont large = body;
    large.setPointSizeF(body.pointSizeF() * kTypeScale * zoom_);
    QFont cue = large;
    cue.setBold(true);
    nowLabel_->setFont(cue);
    nextLabel_->setFont(large);
    movieLabel_->setFont(large);
    QFont fade = body;
    fade.setPointSizeF(body.pointSizeF() * 1.5 * zoom_);
    fadeLabel_->setFont(fade);
    fadeProgress_->setFont(fade);
    const QFontMetrics metrics(fade);
    fadeProgress_->setFixedWidth(static_cast<int>(metrics.height() * kProgressWidth));
}

void StageLine::applyColours() {
    const QColor warning = Look::warningColour(dark_);
    setColour(nextLabel_, nextWarns_ ? std::optional(warning) : std::nullopt);
    setColour(movieLabel_, movieWarns_ ? std::optional(warning) : std::nullopt);
}

QString StageLine::formatTime(double seconds, bool countingDown) {
    if (!std::isfinite(seconds) || seconds < 0.0) seconds = 0.0;
    if (countingDown && seconds < kWarningSeconds) {
        // Down to the tenth, so that 0.0 is the end itself.
        const double tenths = std::floor(seconds * 10.0 + 1e-6) / 10.0;
        return QString::number(tenths, 'f', 1);
    }
    const auto whole =
        static_cast<long long>(countingDown ? std::ceil(seconds - 1e-6) : std::floor(seconds));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long secs = whole % 60;
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secs, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(secs, 2, 10, QLatin1Char('0'));
}

QString StageLine::describeMovie(const std::optional<MediaPlayer::PlaybackTime>& movie) {
    if (!movie) return {};
    const QString elapsed = formatTime(movie->position, false);
    if (!movie->duration) return tr("Movie %1").arg(elapsed);
    if (movie->looped) return tr("Loop %1 of %2").arg(elapsed, formatTime(*movie->duration, false));
    return tr("Movie %1 · %2 left")
        .arg(elapsed, formatTime(*movie->duration - movie->position, true));
}

QString StageLine::describeFade(const std::optional<MediaEngine::StageTiming::Fade>& fade) {
    if (!fade) return {};
    return tr("Fade %1 s · %2 s left")
        .arg(fade->elapsed, 0, 'f', 1)
        .arg(std::ceil(fade->remaining * 10.0 - 1e-6) / 10.0, 0, 'f', 1);
}

bool StageLine::movieWarns(const std::optional<MediaPlayer::PlaybackTime>& movie) {
    return movie && movie->duration && !movie->looped &&
           *movie->duration - movie->position < kWarningSeconds;
}

}  // namespace bw
