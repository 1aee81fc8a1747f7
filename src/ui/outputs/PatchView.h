#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/SoundSinks.h"
#include "ui/outputs/ScreenIdentifier.h"

namespace bw {

class MediaEngine;
class MediaOutput;

// The show's outputs: listed by name, added ("+", named "Screen<N>" and
// sized as the last output, or 512x512), removed ("−", the row above is
// selected next), renamed and resized in the fields of the selected one.
// The cue list's columns follow every change.
//
// A name must not be empty, nor another output's (compared trimmed and in
// any letter case; a note under the field says so); a width or height must
// be a whole number from 1 to the largest texture the GPU takes. Anything
// else puts the field back as it was. An edit that leaves a value as it was changes nothing (and
// does not modify the show). When publishing had to give an output another name (another program
// already publishes one by that name), the view says so. While a show loads the list is empty and
// the controls are disabled; while the show is locked the controls are disabled too.
//
// Each output may be given a screen to fill, full screen, from the screens
// connected now (listed by connector, model, size and refresh rate), or
// "None". A saved choice whose screen is not connected stays chosen and says
// so. The view warns where the chosen screen shows another output already,
// or refreshes at another rate than the one the outputs are paced at.
// "Identify screens" shows each screen's name on it.
//
// Each output may send a network stream: an SRT URL (srt://HOST:PORT, where
// it listens; empty: none) and a bitrate in kbit/s (empty: fitted to its size
// and rate). Under them, whether it listens, how many receivers watch, and
// that the stream carries no alpha. A URL that does not read, or a bitrate
// that is no whole number from 1 to 1000000, is put back with the reason.
//
// Below, the show's Sound Output: "System Default" or one of the sound
// server's outputs, listed anew each time the view opens or a show loads;
// a saved output the server does not have stays chosen, marked "(not
// there)". The choice is the window's to apply (an undoable show edit).
//
// Beside the fields, a live picture of the selected output: its published
// frames, scaled down on the render thread, shown up to 15 times a second
// while the view is open.
//
// A non-modal tool window of the show window. Main thread only; the engine
// and notification centre must outlive it.
class PatchView final : public QDialog {
    Q_OBJECT

public:
    // Makes an output with a name and size (tests give their own).
    using OutputFactory =
        std::function<std::shared_ptr<MediaOutput>(const std::string&, double, double)>;

    static constexpr int kDefaultSide = 512;
    static constexpr int kPreviewWidth = 240;
    static constexpr int kPreviewHeight = 135;
    static constexpr double kPreviewRate = 15.0;

    PatchView(MediaEngine& engine, NotificationCenter& center, int maxTextureSize,
              std::function<void()> outputsChanged, QWidget* parent = nullptr,
              OutputFactory makeOutput = {});
    ~PatchView() override;

    // "Screen" + the first number from 1 that no name of the form
    // "screen<N>" (any letter case, N a whole decimal number) takes.
    static QString defaultName(const QStringList& names);

    // What the view says of a screen refreshing at `screenRate` while the
    // outputs are paced at `pacedRate`; empty when the rates agree (or one
    // is unknown: 0).
    static QString rateNote(double screenRate, double pacedRate);

    std::optional<int> selectedRow() const;
    void selectRow(std::optional<int> row);

    // Locked for the performance: the outputs are listed and previewed but
    // not changed, and a note says why.
    void setLocked(bool locked);

    // The show's sound output as the view offers it. Until set, the chooser
    // is disabled.
    struct SoundOutputChoice {
        // The output chosen now, by name; empty: the system default.
        std::function<std::string()> chosen;
        // Makes the operator's choice (an output's name, or empty).
        std::function<void(const std::string&)> choose;
        // The outputs to offer; SoundSinks::list() when not given.
        std::function<std::optional<std::vector<SoundSink>>()> sinks{};
    };
    void setSoundOutputChoice(SoundOutputChoice choice);
    // Lists the sound outputs again and marks the chosen one (after a
    // change made elsewhere: an undo, a load).
    void showSoundOutput();

    // One entry of the chooser: what it says and the name it stands for.
    struct SoundOutputEntry {
        QString text;
        std::string name;
        friend bool operator==(const SoundOutputEntry&, const SoundOutputEntry&) = default;
    };
    // "System Default", then each of `sinks`, then `chosen` marked not there
    // where `sinks` lacks it (or no server answered: none).
    static std::vector<SoundOutputEntry> soundOutputEntries(
        const std::optional<std::vector<SoundSink>>& sinks, const std::string& chosen);

public slots:
    void addOutput();
    void removeSelectedOutput();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void showWillLoad();
    void showDidLoad();
    // Lists the engine's outputs again, keeping the selected row.
    void updateOutputs();
    void selectionChanged();
    void nameEdited();
    void sizeEdited();
    // The other output's name when one other than `row` is named `name`
    // (trimmed, in any letter case).
    std::optional<QString> nameTakenByAnother(const QString& name, int row) const;
    void screenChosen(int index);
    void streamEdited();
    // What the selected output's stream does (none: empties the note).
    void showStream(const MediaOutput* output);
    // Grows the view where its notes no longer fit.
    void fitContents();
    // Lists the screens for `output` (row `row`; none: empty and disabled).
    void showScreens(const MediaOutput* output, int row);
    // Fills the fields from the selected output, or empties them.
    void showSelected();
    // A whole number from 1 to the largest texture, or none.
    std::optional<int> sideFrom(const QString& text) const;
    // Previews `output` (none: nothing) while the view is visible.
    void previewOutput(std::shared_ptr<MediaOutput> output);
    void showPreview();
    void soundOutputChosen(int index);

    MediaEngine& engine_;
    NotificationCenter& center_;
    int maxTextureSize_;
    std::function<void()> outputsChanged_;
    OutputFactory makeOutput_;
    std::vector<NotificationCenter::Token> observers_;
    bool loading_ = false;
    bool locked_ = false;
    bool editable() const { return !loading_ && !locked_; }

    QListWidget* list_;
    QLineEdit* nameField_;
    QLineEdit* widthField_;
    QLineEdit* heightField_;
    QLabel* publishedLabel_;
    QLabel* nameNoteLabel_;
    QComboBox* screenBox_;
    QLabel* screenNoteLabel_;
    QPushButton* identifyButton_;
    QLineEdit* streamField_;
    QLineEdit* bitrateField_;
    QLabel* streamNoteLabel_;
    QString streamRefusal_;  // why the last stream edit was put back
    ScreenIdentifier identifier_;
    QLabel* previewLabel_;
    QLabel* lockNoteLabel_;
    QTimer previewTimer_;
    std::shared_ptr<MediaOutput> previewed_;
    QComboBox* soundBox_;
    QLabel* soundNoteLabel_;
    SoundOutputChoice soundChoice_;
    std::vector<SoundOutputEntry> soundEntries_;
    QPushButton* addButton_;
    QPushButton* removeButton_;
};

}  // namespace bw
