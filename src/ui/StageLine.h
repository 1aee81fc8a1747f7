#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QString>
#include <QWidget>
#include <optional>

#include "engine/MediaEngine.h"

namespace bw {

// The stage manager's line at the top of the show window, readable from a
// few feet away: the cue on stage and the cue GO runs next, one above the
// other in large type, and beside them the running crossfade (its progress,
// elapsed and remaining seconds) and the movie on stage (elapsed, and what
// is left of it, or its place in the loop). What is left counts down in
// whole seconds, with tenths and in the warning colour under ten seconds.
//
// It only draws what it is given: ShowView reads the engine and sets the
// texts and the timing. The type is at least twice the body size, times the
// zoom. Main thread only.
class StageLine final : public QWidget {
    Q_OBJECT

public:
    // Under this many seconds left, a movie's remaining time turns amber
    // and shows tenths.
    static constexpr double kWarningSeconds = 10.0;
    // The line's type against the window's body type, at zoom 1.
    static constexpr double kTypeScale = 2.0;

    explicit StageLine(QWidget* parent = nullptr);

    // "Now: …" and "Next: …"; `nextWarns` draws the next line in the
    // warning colour (GO goes back to the first cue).
    void setCues(const QString& now, const QString& next, bool nextWarns);
    void setTiming(const MediaEngine::StageTiming& timing);
    void setZoom(double zoom);
    void setDarkMode(bool dark);

    // A time on the line: whole seconds as "0:42", "1:05" or "1:02:03";
    // `countingDown` rounds up (a countdown reads 0:10 until ten seconds
    // are left) and shows tenths below kWarningSeconds ("9.4", down to
    // "0.0"), elapsed times round down.
    static QString formatTime(double seconds, bool countingDown);
    // "Movie 0:12 · 0:48 left", "Loop 0:12 of 0:30", "Movie 0:12"; empty
    // without a movie.
    static QString describeMovie(const std::optional<MediaPlayer::PlaybackTime>& movie);
    // "Fade 1.2 s · 3.8 s left"; empty without a crossfade.
    static QString describeFade(const std::optional<MediaEngine::StageTiming::Fade>& fade);
    // Whether the movie's remaining time is shown in the warning colour.
    static bool movieWarns(const std::optional<MediaPlayer::PlaybackTime>& movie);

private:
    void applyFonts();
    void applyColours();

    QLabel* nowLabel_;
    QLabel* nextLabel_;
    QLabel* movieLabel_;
    QLabel* fadeLabel_;
    QProgressBar* fadeProgress_;
    double zoom_ = 1.0;
    bool dark_ = false;
    bool nextWarns_ = false;
    bool movieWarns_ = false;
};

}  // namespace bw
