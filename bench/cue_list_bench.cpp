// Painting the cue list: a show of 1,000 cues on 8 outputs over a real
// engine, its cells showing movies, stills, each generator and a missing
// file, in the window's table with its delegates. A frame is one change and
// the table repainted at once: a scroll by one viewport (top to bottom), or a
// resize through the window sizes an operator uses. Thumbnails are all made
// before timing starts.
//
// Baseline, interleaved with it in the same run: a plain QTableView on a
// QStandardItemModel with one line of text in each cell, rows and columns
// of the same sizes.
//
// Painted by the raster engine on Qt's offscreen platform (unless
// QT_QPA_PLATFORM says otherwise), so a desktop's compositor is not timed.
//
// bench_cue_list [--passes N]

#include <time.h>

#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QWidget>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/MediaCatalog.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderContext.h"
#include "sharing/support/PipeWireDaemon.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"
#include "ui/Look.h"
#include "ui/cuelist/CueCellDelegate.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/ShowTableView.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kCues = 1000;
constexpr int kOutputs = 8;
// The table is scrolled at the first size, then resized through the others
// and back.
constexpr std::array<QSize, 4> kSizes{{{1280, 720}, {960, 600}, {1600, 900}, {1920, 1080}}};
constexpr std::size_t kResizeRounds = 3;

// Milliseconds per frame of one table, by wall clock and by the main
// thread's own CPU time (which the other work on a loaded machine does not
// inflate).
struct Frames {
    std::vector<double> scroll;
    std::vector<double> resize;
    std::vector<double> scrollCpu;
    std::vector<double> resizeCpu;
};

// The media the cells cycle through: test media that exists, the three
// generators and a file that does not.
std::vector<MediaURL> mediaMix(const fs::path& folder) {
    std::vector<MediaURL> urls;
    for (const char* name : {"movie.webm", "image.png", "movie-h264.mp4", "image.jpg",
                             "movie-vp8.webm", "image-exif.jpg", "movie-mjpeg.avi"}) {
        if (fs::exists(folder / name)) urls.push_back(MediaURL::fileURL((folder / name).string()));
    }
    for (const auto generator :
         {MediaURL::Generator::Black, MediaURL::Generator::Grid, MediaURL::Generator::Clear}) {
        urls.push_back(MediaURL::generator(generator));
    }
    urls.push_back(MediaURL::fileURL((folder / "not-there.mov").string()));
    return urls;
}

// Cues 1 and 2 show generators only, so that GO into cue 1 (which arms cue
// 2) starts no movie that would decode while frames are timed.
std::vector<Cue> makeCues(const std::vector<MediaURL>& mix) {
    std::vector<Cue> cues;
    for (int i = 0; i < kCues; ++i) {
        Cue cue;
        cue.id = i + 1;
        cue.description = "Cue " + std::to_string(i + 1);
        cue.fadeLength = i % 4;
        for (int j = 0; j < kOutputs; ++j) {
            MediaOutputState state;
            state.mediaURL = i < 2 ? MediaURL::generator(MediaURL::Generator::Grid)
                                   : mix[static_cast<std::size_t>(i * kOutputs + j) % mix.size()];
            state.muted = (i + j) % 2 == 0;
            state.kenBurns = (i + j) % 3 == 0;
            cue.outputStates.push_back(state);
        }
        cues.push_back(std::move(cue));
    }
    return cues;
}

// The cue list's fixed row height and column widths.
void sizeLikeCueList(QTableView& table) {
    table.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table.setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table.setWordWrap(false);
    table.verticalHeader()->hide();
    table.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table.verticalHeader()->setDefaultSectionSize(CueCellDelegate::kRowHeight);
    table.horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table.horizontalHeader()->setDefaultSectionSize(CueListModel::kOutputColumnWidth);
    table.setColumnWidth(0, CueCellDelegate::kColumnWidth);
}

// The baseline's model: the cue list's texts, one line a cell.
std::unique_ptr<QStandardItemModel> plainModel(const std::vector<Cue>& cues) {
    auto model = std::make_unique<QStandardItemModel>(kCues, 1 + kOutputs);
    for (int i = 0; i < kCues; ++i) {
        const Cue& cue = cues[static_cast<std::size_t>(i)];
        model->setItem(i, 0, new QStandardItem(QString::fromStdString(cue.description)));
        for (int j = 0; j < kOutputs; ++j) {
            const MediaURL& url = cue.outputStates[static_cast<std::size_t>(j)].mediaURL;
            model->setItem(i, j + 1,
                           new QStandardItem(QString::fromStdString(
                               url.isFileURL() ? url.lastPathComponent() : url.absoluteString())));
        }
    }
    return model;
}

double threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// One frame: `change`, then the table repainted at once.
template <typename Change>
void frame(QTableView& table, std::vector<double>& wall, std::vector<double>& cpu, Change change) {
    const double cpuStart = threadCpuMilliseconds();
    const auto start = SteadyClock::now();
    change();
    table.repaint();
    wall.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    cpu.push_back(threadCpuMilliseconds() - cpuStart);
    // Whatever else was posted runs between frames, untimed.
    QApplication::processEvents();
}

// One pass, frame by frame over both tables in turn, so that both see the
// same load: top to bottom a viewport a frame, then through the sizes and
// back, kResizeRounds times.
void runPass(const std::array<QTableView*, 2>& tables, std::array<Frames, 2>& frames) {
    for (QTableView* table : tables) {
        table->setGeometry(QRect(QPoint(0, 0), kSizes[0]));
        table->verticalScrollBar()->setValue(0);
        table->repaint();
    }
    QApplication::processEvents();
    const int step = tables[0]->viewport()->height();
    const int bottom = tables[0]->verticalScrollBar()->maximum();
    for (int value = step;; value += step) {
        for (std::size_t t = 0; t < tables.size(); ++t) {
            QScrollBar* bar = tables[t]->verticalScrollBar();
            frame(*tables[t], frames[t].scroll, frames[t].scrollCpu,
                  [&] { bar->setValue(std::min(value, bottom)); });
        }
        if (value >= bottom) break;
    }
    for (std::size_t k = 1; k <= kResizeRounds * kSizes.size(); ++k) {
        const QRect geometry(QPoint(0, 0), kSizes[k % kSizes.size()]);
        for (std::size_t t = 0; t < tables.size(); ++t) {
            frame(*tables[t], frames[t].resize, frames[t].resizeCpu,
                  [&] { tables[t]->setGeometry(geometry); });
        }
    }
}

void report(const char* what, const std::vector<double>& list, const std::vector<double>& listCpu,
            const std::vector<double>& plain, const std::vector<double>& plainCpu) {
    const double median = bench::median(list);
    const double plainMedian = bench::median(plain);
    std::printf(
        "%-6s %4zu frames  cue list %6.2f ms (p95 %6.2f, CPU %6.2f)  plain %6.2f ms "
        "(p95 %6.2f, CPU %6.2f)  ratio %.2fx (CPU %.2fx)\n",
        what, list.size(), median, bench::percentile(list, 0.95), bench::median(listCpu),
        plainMedian, bench::percentile(plain, 0.95), bench::median(plainCpu), median / plainMedian,
        bench::median(listCpu) / bench::median(plainCpu));
}

std::vector<double> joined(std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    int passes = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
            passes = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--passes N]\n", argv[0]);
            return 2;
        }
    }
    const std::optional<std::string> media = bench::makeTestMedia(false);
    if (!media) return 1;
    // The outputs publish to a daemon of this process's own, or to none.
    test::PipeWireDaemon daemon;
    if (test::programOnPath("pipewire")) daemon.start();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QT_SCALE_FACTOR", "1", 1);
    QApplication application(argc, argv);
    Look::apply(false);

    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr, nullptr});
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    for (int j = 0; j < kOutputs; ++j) {
        outputs.push_back(std::make_shared<MediaOutput>("Output " + std::to_string(j + 1), 64, 36));
    }
    engine.loadOutputs(outputs);
    const std::vector<Cue> cues = makeCues(mediaMix(*media));
    stack.replaceCues(cues);
    engine.loadNextCue(cues.front());
    engine.go();
    engine.loadCueAfterCurrent();

    MediaCatalog catalog(MediaCatalog::Parts{mainQueue});
    CueListModel model(engine, stack, catalog);
    CueListController controller(engine, stack, model);

    // Each table in a window of its own, as large as the largest size.
    QWidget listWindow;
    QWidget plainWindow;
    auto* cueList = new ShowTableView(model, controller, catalog, &listWindow);
    const std::unique_ptr<QStandardItemModel> plain = plainModel(cues);
    auto* plainTable = new QTableView(&plainWindow);
    plainTable->setModel(plain.get());
    plainTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    sizeLikeCueList(*plainTable);
    for (QWidget* window : {&listWindow, &plainWindow}) {
        window->resize(kSizes.back());
        window->show();
    }

    // Every cell's kind and thumbnail before timing.
    std::map<QString, int> forms;
    auto allKnown = [&] {
        forms.clear();
        for (int row = 0; row < model.rowCount(); ++row) {
            for (int column = 1; column < model.columnCount(); ++column) {
                const QModelIndex cell = model.index(row, column);
                if (model.data(cell, CueListModel::PendingRole).toBool()) return false;
                ++forms[model.data(cell, CueListModel::CellTemplateRole).toString()];
            }
        }
        return true;
    };
    if (!mainQueue.pumpUntil(allKnown, 120s) || forms.size() != 3) {
        std::fprintf(stderr, "the catalog did not learn every cell's media in time\n");
        return 1;
    }
    if (model.currentRow() != 0 || model.nextRow() != 1) {
        std::fprintf(stderr, "cue 1 is not on stage with cue 2 next\n");
        return 1;
    }

    // Medians and percentiles over all passes but the first, which warms
    // caches (glyphs, scaled pictures).
    std::array<Frames, 2> frames;
    for (int pass = 0; pass <= passes; ++pass) {
        std::array<Frames, 2> passFrames;
        runPass({cueList, plainTable}, passFrames);
        if (pass == 0) continue;
        for (std::size_t t = 0; t < frames.size(); ++t) {
            for (auto member :
                 {&Frames::scroll, &Frames::resize, &Frames::scrollCpu, &Frames::resizeCpu}) {
                frames[t].*member = joined(frames[t].*member, passFrames[t].*member);
            }
        }
    }

    std::printf(
        "%d cues x %d outputs (%d movie, %d still, %d generator or missing cells); "
        "scrolled at %dx%d, resized through",
        kCues, kOutputs, forms["VideoStateCell"], forms["ImageStateCell"],
        forms["GeneratorStateCell"], kSizes[0].width(), kSizes[0].height());
    for (const QSize& size : kSizes)
        std::printf(" %dx%d", size.width(), size.height());
    std::printf("; %d passes, platform %s\n", passes,
                QApplication::platformName().toUtf8().constData());
    const Frames& list = frames[0];
    const Frames& base = frames[1];
    report("scroll", list.scroll, list.scrollCpu, base.scroll, base.scrollCpu);
    report("resize", list.resize, list.resizeCpu, base.resize, base.resizeCpu);
    report("all", joined(list.scroll, list.resize), joined(list.scrollCpu, list.resizeCpu),
           joined(base.scroll, base.resize), joined(base.scrollCpu, base.resizeCpu));
    std::printf("aim: at most 2x the plain table and under 8 ms a frame\n");
    engine.resetOutputs();
    mainQueue.drain();
    return 0;
}
