#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <QPoint>
#include <QRect>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>
#include <optional>

namespace bw {

class CueListController;

// Where the cue cell's texts sit: the ID large on the left, the description
// above the fade length on the right, "s" after the fade.
struct CueCellLayout {
    QRect id;
    QRect description;
    QRect fade;
    QRect seconds;

    // The layout of `cell`, its sizes scaled with the cell's height against
    // the designed row height (the list's zoom).
    static CueCellLayout of(const QRect& cell);
    // `size` at the zoom `cell` is drawn at.
    static int scaled(int size, const QRect& cell);
};

// The cue cell's editor: the ID, fade and description fields over the
// painted texts. Return or Enter ends the edit and keeps it; Escape drops it;
// Tab moves between the fields; leaving the editor for another widget of
// the window keeps the edit. An ID the list refuses (another cue's, or not
// finite) keeps the editor open on the ID field, however the edit would end.
class CueCellEditor final : public QWidget {
    Q_OBJECT

public:
    enum class Field { ID, Fade, Description };

    // `acceptsID` says whether the ID text may end the edit.
    CueCellEditor(QWidget* parent, std::function<bool(const QString&)> acceptsID);

    // Hears once that the edit ended (true: keep it).
    void setFinished(std::function<void(bool)> finished) { finished_ = std::move(finished); }

    // Fills the fields once; later calls (the row repainted while the
    // operator types) leave them alone and return false.
    bool load(const QString& id, const QString& fade, const QString& description);
    void focusField(Field field);

    QLineEdit* idField() const { return idField_; }
    QLineEdit* fadeField() const { return fadeField_; }
    QLineEdit* descriptionField() const { return descriptionField_; }
    // The texts as loaded, to tell which fields the operator changed.
    const QString& loadedID() const { return loadedID_; }
    const QString& loadedFade() const { return loadedFade_; }
    const QString& loadedDescription() const { return loadedDescription_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Ends the edit unless the ID is refused; false when refused.
    bool tryFinish();
    void finish(bool keep);

    QLineEdit* idField_;
    QLineEdit* fadeField_;
    QLineEdit* descriptionField_;
    QLabel* secondsLabel_;
    std::function<bool(const QString&)> acceptsID_;
    std::function<void(bool)> finished_;
    bool loaded_ = false;
    bool finishedOnce_ = false;
    QString loadedID_;
    QString loadedFade_;
    QString loadedDescription_;
};

// Paints and edits the cue column: the cue's ID, its fade length in seconds
// and its description. Edits go through the model to the cue list
// controller; the editor opens on the field under the click.
class CueCellDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int kRowHeight = 52;
    static constexpr int kColumnWidth = 240;

    explicit CueCellDelegate(CueListController& controller, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    // Whether `text`, typed as the ID of the cue at `index`, may end the edit:
    // text that is no number (the ID is then left as it was) may; another
    // cue's ID and a number that is not finite may not.
    bool acceptsIDText(const QModelIndex& index, const QString& text) const;

    // Shared with the output cells: the row's background (its highlight
    // colour, the selection, or the plain base) and the colour of text on it.
    static void paintBackground(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index);
    static QColor textColour(const QStyleOptionViewItem& option, const QModelIndex& index);
    // The colour paintBackground() fills the cell with.
    static QColor backgroundColour(const QStyleOptionViewItem& option, const QModelIndex& index);
    // The focus mark around the cell, on its background.
    static void paintFocusMark(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index);

private:
    CueListController& controller_;
    // The field under the last click, for the editor that click opens.
    mutable std::optional<CueCellEditor::Field> clickedField_;
};

}  // namespace bw
