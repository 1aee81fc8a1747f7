#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <optional>

#include "show/Cue.h"

namespace bw {

class MediaEngine;

// The show window's central area. For now it holds the "now and next"
// line: the cue on stage, the cue GO runs next (each by ID and
// description) and the running crossfade's progress. The cue list will sit
// beneath it in this widget.
//
// It reads the engine when told to refresh(); the window calls that on every
// engine notice (GO from any source: keys, OSC, CREP) and on its one-second
// timer. While a crossfade runs, the view also refreshes itself ten times a
// second, so that the progress moves.
//
// Main thread only; the engine must outlive the view.
class ShowView : public QWidget {
    Q_OBJECT

public:
    explicit ShowView(MediaEngine& engine, QWidget* parent = nullptr);

    // "1.0 Opening", "2.5" (no description) or "none".
    static QString describeCue(const std::optional<Cue>& cue);

public slots:
    void refresh();

private:
    MediaEngine& engine_;
    QLabel* currentCueLabel_;
    QLabel* nextCueLabel_;
    QProgressBar* fadeProgress_;
    QTimer fadeTimer_;
};

}  // namespace bw
