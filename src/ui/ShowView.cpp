#include "ui/ShowView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "engine/MediaEngine.h"
#include "show/NumberText.h"

namespace bw {

namespace {

constexpr std::chrono::milliseconds kFadeRefreshInterval{100};
constexpr int kProgressSteps = 1000;

QLabel* makeLabel(const char* objectName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

ShowView::ShowView(MediaEngine& engine, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      currentCueLabel_(makeLabel("currentCueLabel", this)),
      nextCueLabel_(makeLabel("nextCueLabel", this)),
      fadeProgress_(new QProgressBar(this)) {
    setObjectName("showView");
    setAccessibleName(tr("Show"));
    currentCueLabel_->setAccessibleName(tr("Cue on stage"));
    nextCueLabel_->setAccessibleName(tr("Next cue"));
    fadeProgress_->setObjectName("fadeProgress");
    fadeProgress_->setAccessibleName(tr("Crossfade progress"));
    fadeProgress_->setRange(0, kProgressSteps);
    fadeProgress_->setFormat(tr("fade %p %"));
    fadeProgress_->setMaximumWidth(220);

    auto* line = new QHBoxLayout;
    line->addWidget(currentCueLabel_, 1);
    line->addWidget(nextCueLabel_, 1);
    line->addWidget(fadeProgress_);
    auto* column = new QVBoxLayout(this);
    column->addLayout(line);
    // The cue list takes the rest of the area.
    column->addStretch(1);

    fadeTimer_.setInterval(kFadeRefreshInterval);
    connect(&fadeTimer_, &QTimer::timeout, this, &ShowView::refresh);
    refresh();
}

QString ShowView::describeCue(const std::optional<Cue>& cue) {
    if (!cue) return tr("none");
    QString text = QString::fromStdString(formatCueNumber(cue->id));
    if (!cue->description.empty()) text += ' ' + QString::fromStdString(cue->description);
    return text;
}

void ShowView::refresh() {
    // The text is the accessible description too: the accessible name says
    // which line it is.
    currentCueLabel_->setText(tr("Now: %1").arg(describeCue(engine_.currentCue())));
    currentCueLabel_->setAccessibleDescription(currentCueLabel_->text());
    nextCueLabel_->setText(tr("Next: %1").arg(describeCue(engine_.nextCue())));
    nextCueLabel_->setAccessibleDescription(nextCueLabel_->text());

    // A crossfade runs while a previous cue is still fading out.
    const std::optional<double> progress = engine_.fadeTransitionProgress();
    const bool fading = progress && engine_.previousCue().has_value();
    if (fading) {
        // A cut's progress jumps past 1 on its last tick.
        const double shown = std::isfinite(*progress) ? std::clamp(*progress, 0.0, 1.0) : 1.0;
        fadeProgress_->setValue(static_cast<int>(std::lround(shown * kProgressSteps)));
        if (!fadeTimer_.isActive()) fadeTimer_.start();
    } else {
        fadeProgress_->reset();
        fadeTimer_.stop();
    }
    fadeProgress_->setEnabled(fading);
}

}  // namespace bw
