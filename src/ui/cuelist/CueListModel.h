#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "media/MediaCatalog.h"
#include "show/Cue.h"
#include "show/CueStack.h"

namespace bw {

class MediaEngine;

// The cue list's table: one row per cue in stack order; column 0 the cue
// itself (ID, fade length, description), then one column per output, headed
// by the output's name, showing what that output plays in the cue, then the
// cue's timing: its pre-wait, what follows it by itself and its post-wait
// (the view shows these three beside the cue column; timingColumn()).
//
// The model reads only its own copy of the cues and output names, never the
// stack itself, so a view never sees a list half changed. The copy is taken
// afresh at each change: the cue list's own edits announce exactly which rows
// they insert, remove, move or change (within beginOwnEdit/endOwnEdit); any
// other change of the stack (a load, an output added or removed, an undo)
// resets the model.
//
// A cell's media kind and thumbnail come from the media catalog, which looks
// files up off the main thread; a cell whose lookup has not come back yet
// shows its name and an empty picture, and is repainted when it arrives.
//
// Edits through setData (the cells' checkboxes, the cue cell's editor) go to
// the edit handler; the model itself never changes the stack.
//
// Main thread only; engine, stack and catalog must outlive the model.
class CueListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Role {
        // Column identifiers in headerData: "CueColumn", "MediaOutput",
        // "PreWaitColumn", "ContinueColumn", "PostWaitColumn".
        ColumnIdentifierRole = Qt::UserRole + 1,
        // Output cells: "VideoStateCell", "ImageStateCell", "GeneratorStateCell".
        CellTemplateRole,
        // Cue cells: the ID (double), fade length (double) and description
        // (QString) as stored; editing them sets them.
        CueIDRole,
        FadeLengthRole,
        DescriptionRole,
        // The fade length by the display rule.
        FadeLengthTextRole,
        // Output cells: the state's flags (checkbox roles: setData edits
        // them) and the media's absolute text.
        AudioRole,  // not muted
        LoopedRole,
        KenBurnsRole,
        // Movie and still cells: the state's PictureFit as an int (setData
        // edits it).
        FitRole,
        MediaURLRole,
        // Whether the cell's picture is still being made.
        PendingRole,
        // Timing cells: the cue's pre-wait and post-wait (seconds, double)
        // and its CueContinue as an int; setData edits them.
        PreWaitRole,
        ContinueRole,
        PostWaitRole,
        // Any cell: whether the cue runs the next one by itself (the list
        // links the two rows).
        ChainsRole,
        // The cell under a drag that may be dropped there.
        DropTargetRole,
    };

    static constexpr int kOutputColumnWidth = 166;
    static constexpr int kTimingColumnWidth = 78;
    static constexpr int kContinueColumnWidth = 112;

    enum class Timing { PreWait, Continue, PostWait };
    // The logical column of a timing field, after the output columns.
    int timingColumn(Timing timing) const {
        return 1 + static_cast<int>(outputNames_.size()) + static_cast<int>(timing);
    }
    // The timing field a column shows, if any.
    std::optional<Timing> timingOf(int column) const;
    // How a continue mode reads in the list ("", "Auto-continue",
    // "Auto-follow").
    static QString continueText(CueContinue mode);

    // An edit asked for through setData: the row, the output (none for the
    // cue cell), the role and the new value. True when it was taken.
    using EditHandler =
        std::function<bool(int row, std::optional<int> output, Role role, const QVariant& value)>;

    CueListModel(MediaEngine& engine, CueStack& stack, MediaCatalog& catalog,
                 QObject* parent = nullptr);
    ~CueListModel() override;
    CueListModel(const CueListModel&) = delete;
    CueListModel& operator=(const CueListModel&) = delete;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    void setEditHandler(EditHandler handler) { editHandler_ = std::move(handler); }

    // The cues as the model shows them.
    const std::vector<Cue>& cues() const { return cues_; }
    const Cue* cueAt(int row) const;
    const MediaOutputState* stateAt(int row, int output) const;

    // The cue list's own edits of the stack, announced row by row. Between
    // begin and end the stack's change notices do not reset the model.
    void beginOwnEdit() { ++ownEdits_; }
    void endOwnEdit() { --ownEdits_; }
    // After the stack gained row `row`, lost it, moved it, or changed it.
    // A change that does not fit the announcement resets the model.
    void rowInserted(int row);
    void rowRemoved(int row);
    void rowMoved(int from, int to);
    void rowChanged(int row);
    void cellChanged(int row, int output);
    // Takes cues and outputs afresh: every row and column.
    void reload();

    // The rows of the engine's current and next cue (the alignment grid,
    // which is no row of the list, has none).
    std::optional<int> currentRow() const { return currentRow_; }
    std::optional<int> nextRow() const { return nextRow_; }
    // Finds both rows again from the engine's cues; repaints the rows whose
    // colour changed. The next row is the cue a GO would run: the armed cue
    // (below) when there is one, else the engine's answer, which during a
    // crossfade is the cue after the one fading in.
    void recomputeHighlights();
    // A selected row armed GO for the cue with ID `id` (none: nothing armed).
    void setArmedCue(std::optional<double> id);

    bool darkMode() const { return darkMode_; }
    void setDarkMode(bool dark);
    QColor currentCueColor() const;
    QColor nextCueColor() const;
    static QColor currentCueColor(bool dark);
    static QColor nextCueColor(bool dark);

    // The output cell a drag would drop on; an invalid index for none.
    void setDropTarget(const QModelIndex& index);
    QModelIndex dropTarget() const { return dropTarget_; }

    // The built-in pictures of the generators and of missing media.
    static QImage generatorImage(const QString& name);
    static QPixmap generatorPixmap(const QString& name);

    // The display texts of an output cell's state.
    static QString missingText(const MediaURL& url);

private:
    struct CellForm {
        QString templateName;
        QString text;
        QPixmap picture;
        bool pending = false;
    };

    CellForm formOf(const MediaOutputState& state) const;
    // The thumbnail made ready to draw, once per thumbnail.
    QPixmap pixmapOf(const ThumbnailImageRef& thumbnail) const;
    void takeSnapshot();
    void stackChanged();
    void catalogChanged(const std::string& path);
    void repaintRow(int row);
    void setHighlightRows(std::optional<int> current, std::optional<int> next);

    MediaEngine& engine_;
    CueStack& stack_;
    MediaCatalog& catalog_;
    CueStack::ObserverToken stackObserver_;
    MediaCatalog::ObserverToken catalogObserver_;
    EditHandler editHandler_;
    int ownEdits_ = 0;

    std::vector<Cue> cues_;
    QStringList outputNames_;
    std::optional<int> currentRow_;
    std::optional<int> nextRow_;
    std::optional<double> armedCue_;
    bool darkMode_ = false;
    QPersistentModelIndex dropTarget_;
    // Keyed by the thumbnail, which the entry keeps alive.
    mutable std::map<const ThumbnailImage*, std::pair<ThumbnailImageRef, QPixmap>> pixmaps_;
};

}  // namespace bw
