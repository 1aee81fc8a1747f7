#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "media/Thumbnail.h"
#include "support/Deadline.h"
#include "ui/CueListTestSupport.h"
#include "ui/cuelist/GeneratorTile.h"
#include "ui/cuelist/MediaDrag.h"

namespace bw {
namespace {

using test::CueListTest;
using namespace std::chrono_literals;

std::unique_ptr<QMimeData> fileDrag(const std::string& path) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    return data;
}

class CueListDropTest : public CueListTest {
protected:
    void SetUp() override {
        CueListTest::SetUp();
        openShow({makeCue(1, 0.0, {"black://", "black://"}), makeCue(2, 0.0, {"black://", "black://"})});
    }

    // Enters and moves over (row, column) as a drag from outside would; the
    // answer to the move. The drag waits only a moment for a file's kind, so
    // each dragged file's kind is looked up first, with all the time a busy
    // machine needs.
    bool dragOver(const QMimeData& data, int row, int column, Qt::DropActions offered,
                  Qt::DropAction* answered = nullptr) {
        for (const QUrl& file : data.urls()) {
            const MediaURL url = MediaURL::fileURL(file.toLocalFile().toStdString());
            EXPECT_TRUE(window_->showView()->catalog().kindWithin(url, test::scaled(20s)))
                << url.path();
        }
        const QPoint at = cellPoint(row, column);
        QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table().viewport(), &enter);
        QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table().viewport(), &move);
        if (answered != nullptr) *answered = move.dropAction();
        return move.isAccepted();
    }
    bool drop(const QMimeData& data, int row, int column, Qt::DropActions offered) {
        QDropEvent event(cellPoint(row, column), offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table().viewport(), &event);
        return event.isAccepted();
    }
    // Whether cell (row, column) is painted in the drop highlight.
    bool highlighted(int row, int column) {
        // The timing columns beside the cue column may push the cell past
        // the edge of a small window.
        table().scrollTo(model().index(row, column));
        QApplication::processEvents();
        const QImage picture = table().viewport()->grab().toImage();
        const QRect cell = table().visualRect(model().index(row, column));
        return picture.pixel(cell.topRight() + QPoint(-3, 3)) ==
               table().palette().color(QPalette::Midlight).rgb();
    }
};

// Drags from file managers and from the tiles: what is taken, how it is
// answered, what the cell shows after the drop.
TEST_F(CueListDropTest, OutputCellsTakeMoviesStillsAndGenerators) {
    auto tile = std::make_unique<QMimeData>();
    tile->setData(MediaDrag::kGeneratorMimeType, "grid://");
    const Qt::DropActions any = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    struct Case {
        const char* name;
        std::unique_ptr<QMimeData> data;
        int column;
        Qt::DropActions offered;
        bool taken;
        Qt::DropAction answer;
        QString cellTemplate;
        QString text;
    };
    Case cases[] = {
        {"movie", fileDrag(path("movie.webm")), 1, any, true, Qt::LinkAction, "VideoStateCell",
         "movie.webm"},
        {"still, copy only", fileDrag(path("image.jpg")), 2, Qt::CopyAction, true,
         Qt::CopyAction, "ImageStateCell", "image.jpg"},
        {"grid tile", std::move(tile), 1, Qt::LinkAction | Qt::CopyAction, true, Qt::LinkAction,
         "GeneratorStateCell", "Grid"},
        {"text file", fileDrag(path("notes.txt")), 1, any, false, {}, {}, {}},
        {"missing file", fileDrag(path("no-such-movie.mp4")), 1, any, false, {}, {}, {}},
        {"move only", fileDrag(path("movie.webm")), 1, Qt::MoveAction, false, {}, {}, {}},
        {"cue column", fileDrag(path("movie.webm")), 0, any, false, {}, {}, {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Cue> before = stack_.cues();
        Qt::DropAction answer = Qt::IgnoreAction;
        EXPECT_EQ(dragOver(*c.data, 1, c.column, c.offered, &answer), c.taken);
        EXPECT_EQ(highlighted(1, std::max(c.column, 1)), c.taken);
        EXPECT_NE(answer == Qt::MoveAction && c.taken, true) << "never a move";
        if (c.taken) {
            EXPECT_EQ(answer, c.answer);
        }
        EXPECT_EQ(drop(*c.data, 1, c.column, c.offered), c.taken);
        EXPECT_FALSE(highlighted(1, std::max(c.column, 1))) << "the highlight goes with the drop";
        if (!c.taken) {
            EXPECT_EQ(stack_.cues(), before);
            continue;
        }
        settle();
        const QModelIndex cell = model().index(1, c.column);
        EXPECT_EQ(cell.data(CueListModel::CellTemplateRole).toString(), c.cellTemplate);
        EXPECT_EQ(cell.data().toString(), c.text);
        EXPECT_FALSE(cell.data(CueListModel::AudioRole).toBool());
        expectListMatches(c.name);
    }
    EXPECT_TRUE(window_->isWindowModified());
}

// A drag that leaves takes its highlight along; one that ends over the cue
// column after being answered over an output cell changes nothing.
TEST_F(CueListDropTest, DropIsCheckedAgainWhereItLands) {
    const auto data = fileDrag(path("movie.webm"));
    ASSERT_TRUE(dragOver(*data, 0, 1, Qt::LinkAction));
    EXPECT_TRUE(highlighted(0, 1));
    QDragLeaveEvent leave;
    QApplication::sendEvent(table().viewport(), &leave);
    EXPECT_FALSE(highlighted(0, 1));

    const std::vector<Cue> before = stack_.cues();
    ASSERT_TRUE(dragOver(*data, 0, 1, Qt::LinkAction));
    EXPECT_FALSE(drop(*data, 0, 0, Qt::LinkAction));
    EXPECT_EQ(stack_.cues(), before);
}

// A movie whose picture has never been made. Verifies the order of events:
// the drop returns with the cell already showing the movie and no picture
// made (painting the cell does not make one either); the picture is made off
// the main thread once the main loop has turned, and the cell then shows it.
TEST_F(CueListDropTest, DroppedMovieIsShownBeforeItsPictureIsMade) {
    const std::filesystem::path fresh = dir_ / "never-seen.mkv";
    std::filesystem::copy_file(test::testMediaDir() / "movie-long.mkv", fresh);
    const auto data = fileDrag(fresh.string());
    // The drag answers from the kind it waits a moment for; looked up here
    // first, with all the time a busy machine needs. Taking the kind early
    // starts nothing else: the picture is asked for when the main loop
    // applies the kind.
    MediaCatalog& catalog = window_->showView()->catalog();
    const MediaURL url = MediaURL::fileURL(fresh.string());
    ASSERT_EQ(catalog.kindWithin(url, test::scaled(20s)), MediaKind::Movie);
    std::vector<std::string> events;
    const auto token = catalog.addObserver([&](const std::string& path) {
        if (path == fresh.string()) {
            events.push_back(catalog.entry(url).thumbnail ? "picture" : "kind");
        }
    });
    const std::size_t made = Thumbnail::shared().madeCount();
    // Cue 2 is neither on stage nor next: the engine has nothing to load.
    ASSERT_TRUE(dragOver(*data, 1, 1, Qt::LinkAction));

    ASSERT_TRUE(drop(*data, 1, 1, Qt::LinkAction));
    const QModelIndex cell = model().index(1, 1);
    EXPECT_EQ(cell.data(CueListModel::CellTemplateRole).toString(), "VideoStateCell");
    EXPECT_EQ(cell.data().toString(), "never-seen.mkv");
    EXPECT_TRUE(cell.data(CueListModel::PendingRole).toBool());
    (void)table().viewport()->grab();  // paints the cell
    EXPECT_TRUE(cell.data(Qt::DecorationRole).value<QPixmap>().isNull());
    EXPECT_EQ(Thumbnail::shared().madeCount(), made) << "made by the drop or the paint";
    EXPECT_TRUE(events.empty()) << "nothing is applied before the main loop turns";

    settle();
    catalog.removeObserver(token);
    EXPECT_FALSE(cell.data(Qt::DecorationRole).value<QPixmap>().isNull());
    EXPECT_EQ(Thumbnail::shared().madeCount(), made + 1);
    EXPECT_EQ(events, (std::vector<std::string>{"kind", "picture"}));
}

// A missing file's cell names it on two lines.
TEST_F(CueListDropTest, MissingMediaIsNamed) {
    controller().setMediaURL(0, 0, MediaURL::fileURL((dir_ / "gone.mov").string()));
    settle();
    const QModelIndex cell = model().index(0, 1);
    EXPECT_EQ(cell.data(CueListModel::CellTemplateRole).toString(), "GeneratorStateCell");
    EXPECT_EQ(cell.data().toString(), "Media Missing:\ngone.mov");
}

// The tiles: their layout, and a tile that names no generator.
TEST(GeneratorTileTest, LaysOutItsPictureAndName) {
    test::ensureApplication();
    GeneratorTile grid("grid://");
    EXPECT_EQ(grid.sizeHint(), QSize(65, 22));
    grid.resize(100, 22);
    grid.show();
    EXPECT_EQ(grid.thumbnailView()->geometry(), QRect(0, 0, 22, 22));
    EXPECT_EQ(grid.playerLabel()->geometry().x(), 26);
    EXPECT_EQ(grid.playerLabel()->geometry().width(), 78);
    EXPECT_EQ(grid.playerLabel()->text(), "Grid");
    EXPECT_FALSE(grid.thumbnailView()->pixmap().isNull());

    for (const char* bad : {"", "grid:/", "file:///tmp/x.mov"}) {
        GeneratorTile tile(bad);
        EXPECT_FALSE(tile.url()) << bad;
        EXPECT_TRUE(tile.thumbnailView()->pixmap().isNull()) << bad;
    }
}

}  // namespace
}  // namespace bw
