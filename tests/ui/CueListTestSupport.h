#pragma once

#include <QAbstractItemView>
#include <QImage>
#include <QTest>
#include <chrono>
#include <string>
#include <vector>

#include "media/MediaCatalog.h"
#include "platform/FileTypes.h"
#include "show/NumberText.h"
#include "ui/ShowView.h"
#include "ui/WindowTestSupport.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw::test {

// A show window on a loaded show of two outputs, with the cue list's model,
// table and controller at hand, and a check of everything the list shows
// against the stack and the engine.
class CueListTest : public WindowTest {
protected:
    static Cue cueWith(double id, const std::vector<std::string>& urls, double fade = 0.0) {
        return makeCue(id, fade, urls);
    }

    // Saves `cues` (two outputs) as a show file, opens it in a new window and
    // waits until it has loaded and every cell's media has been looked at.
    void openShow(const std::vector<Cue>& cues, std::size_t outputs = 2) {
        addOutputs(outputs);
        stack_.replaceCues(cues);
        show_->setFileURL((dir_ / "list.bwshow").string());
        ASSERT_TRUE(show_->save());
        makeWindow();
        window_->show();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        window_->openShowFile(QString::fromStdString((dir_ / "list.bwshow").string()));
        finishLoading();
        settle();
    }

    CueListModel& model() { return window_->showView()->model(); }
    ShowTableView& table() { return *window_->showView()->tableView(); }
    CueListController& controller() { return window_->showView()->controller(); }

    // Runs the main queue until no cell waits for its media's kind or picture.
    void settle() {
        using namespace std::chrono_literals;
        const bool settled = MainQueue::shared().pumpUntil(
            [this] {
                QApplication::processEvents();
                for (int r = 0; r < model().rowCount(); ++r) {
                    for (int c = 1; c < model().columnCount(); ++c) {
                        if (model().index(r, c).data(CueListModel::PendingRole).toBool())
                            return false;
                    }
                }
                return true;
            },
            20s);
        ASSERT_TRUE(settled) << "cells still waiting for their media";
    }

    static std::string path(const char* name) { return (testMediaDir() / name).string(); }
    static std::string url(const char* name) { return MediaURL::fileURL(path(name)).absoluteString(); }

    // The row of cue `id` in the stack, or -1.
    int rowOf(double id) const {
        const std::optional<std::size_t> i = stack_.indexOfCue(id);
        return i ? static_cast<int>(*i) : -1;
    }

    // Every row and column against the stack and the engine.
    void expectListMatches(const std::string& step) {
        SCOPED_TRACE(step);
        CueListModel& list = model();
        const std::vector<Cue>& cues = stack_.cues();
        ASSERT_EQ(list.rowCount(), static_cast<int>(cues.size()));
        const int outputs = static_cast<int>(engine_->outputs().size());
        ASSERT_EQ(list.columnCount(), 1 + outputs + 3) << "the cue, the outputs, the timing";
        for (int c = 1; c <= outputs; ++c) {
            EXPECT_EQ(list.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toStdString(),
                      engine_->outputs()[static_cast<std::size_t>(c - 1)]->name());
        }
        for (int r = 0; r < list.rowCount(); ++r) {
            const Cue& cue = cues[static_cast<std::size_t>(r)];
            const QModelIndex cell = list.index(r, 0);
            EXPECT_EQ(cell.data().toString().toStdString(), formatCueNumber(cue.id));
            EXPECT_EQ(cell.data(CueListModel::FadeLengthRole).toDouble(), cue.fadeLength);
            EXPECT_EQ(cell.data(CueListModel::DescriptionRole).toString().toStdString(),
                      cue.description);
            using Timing = CueListModel::Timing;
            EXPECT_EQ(list.index(r, list.timingColumn(Timing::PreWait))
                          .data(CueListModel::PreWaitRole)
                          .toDouble(),
                      cue.preWait);
            EXPECT_EQ(list.index(r, list.timingColumn(Timing::Continue))
                          .data(CueListModel::ContinueRole)
                          .toInt(),
                      static_cast<int>(cue.continueMode));
            EXPECT_EQ(list.index(r, list.timingColumn(Timing::PostWait))
                          .data(CueListModel::PostWaitRole)
                          .toDouble(),
                      cue.postWait);
            EXPECT_EQ(cell.data(CueListModel::ChainsRole).toBool(), cue.chains());
            for (int c = 1; c <= outputs; ++c) {
                const MediaOutputState& state = cue.outputStates.at(static_cast<std::size_t>(c - 1));
                const QModelIndex output = list.index(r, c);
                EXPECT_EQ(output.data(CueListModel::MediaURLRole).toString().toStdString(),
                          state.mediaURL.absoluteString());
                EXPECT_EQ(output.data(CueListModel::AudioRole).toBool(), !state.muted);
                EXPECT_EQ(output.data(CueListModel::LoopedRole).toBool(), state.looped);
                EXPECT_EQ(output.data(CueListModel::KenBurnsRole).toBool(), state.kenBurns);
                EXPECT_EQ(output.data(CueListModel::CellTemplateRole).toString(),
                          expectedTemplate(state.mediaURL));
            }
        }
        auto rowOfEngineCue = [this](const std::optional<Cue>& cue) -> std::optional<int> {
            if (!cue) return std::nullopt;
            const int row = rowOf(cue->id);
            return row < 0 ? std::nullopt : std::optional<int>(row);
        };
        const std::optional<int> current =
            engine_->showsAlignmentGrid() ? std::nullopt : rowOfEngineCue(engine_->currentCue());
        EXPECT_EQ(list.currentRow(), current);
        // The next row is the cue GO runs: a selected row's, else the engine's.
        const std::optional<double> selected = window_->showView()->selectedCueID();
        EXPECT_EQ(list.nextRow(), selected ? std::optional<int>(rowOf(*selected))
                                           : rowOfEngineCue(engine_->cueGoRuns().cue));
        for (int r = 0; r < list.rowCount(); ++r) {
            const QVariant colour = list.index(r, 1).data(Qt::BackgroundRole);
            if (r == current) {
                EXPECT_EQ(colour.value<QColor>(), list.currentCueColor()) << "row " << r;
            } else if (r == list.nextRow()) {
                EXPECT_EQ(colour.value<QColor>(), list.nextCueColor()) << "row " << r;
            } else {
                EXPECT_FALSE(colour.isValid()) << "row " << r;
            }
        }
    }

    static QString expectedTemplate(const MediaURL& url) {
        if (!url.isFileURL()) return "GeneratorStateCell";
        switch (FileTypes::kindOf(url)) {
            case MediaKind::Movie:
                return "VideoStateCell";
            case MediaKind::Image:
                return "ImageStateCell";
            case MediaKind::None:
                break;
        }
        return "GeneratorStateCell";
    }

    // The centre of a part of cell (row, column), in viewport coordinates.
    QPoint cellPoint(int row, int column, QPoint offset = {}) {
        const QRect rect = table().visualRect(model().index(row, column));
        return offset.isNull() ? rect.center() : rect.topLeft() + offset;
    }

    // Runs posted events, deleted widgets included.
    static void flush() {
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        MainQueue::shared().drain();
    }

    // GO as the window runs it, then ticks until the fade has ended.
    void goAndFinishFade() {
        child<QAction>("goAction").trigger();
        tick();
        advance(10.0);
        tick();
        tick();
        flush();
    }
};

}  // namespace bw::test
