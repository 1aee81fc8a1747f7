#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <optional>
#include <string>
#include <vector>

#include "render/RenderContext.h"
#include "sharing/FrameServer.h"
#include "support/FreePort.h"
#include "ui/ShowView.h"
#include "ui/WindowTestSupport.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/outputs/OutputWindows.h"
#include "ui/outputs/PatchView.h"
#include "ui/outputs/ScreenList.h"

namespace bw {
namespace {

TEST(PatchViewNameTest, DefaultNameTakesTheFirstFreeScreenNumber) {
    struct Case {
        QStringList names;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{}, "Screen1"},
        {{"Screen1", "Screen3"}, "Screen2"},
        {{"screen2"}, "Screen1"},
        {{"Screen1", "Screen2"}, "Screen3"},
        {{"Main", "screen 4", "ScreenA", "Screen1"}, "Screen2"},
        {{"SCREEN1", "screen+2", "Screen03"}, "Screen4"},
        {{"Screen0", "Screen-1", "Screen1"}, "Screen2"},
        {{"Screen99999999999999999999"}, "Screen1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PatchView::defaultName(c.names).toStdString(), c.expected)
            << c.names.join(",").toStdString();
    }
}

class PatchViewTest : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        makeWindow();
        window_->showOutputs();
        patch_ = window_->patchView();
        ASSERT_NE(patch_, nullptr);
    }

    template <typename Widget>
    Widget& field(const char* name) {
        Widget* widget = patch_->findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return *widget;
    }
    // Types `text` into a field and ends the edit as Return does.
    void type(const char* name, const QString& text) {
        QLineEdit& edit = field<QLineEdit>(name);
        edit.setText(text);
        emit edit.editingFinished();
    }
    QStringList listed() {
        QStringList names;
        QListWidget& list = field<QListWidget>("mediaOutputTableView");
        for (int i = 0; i < list.count(); ++i)
            names.push_back(list.item(i)->text());
        return names;
    }
    QStringList cueListHeaders() {
        const CueListModel& model = window_->showView()->model();
        QStringList names;
        for (int c = 1; c < model.timingColumn(CueListModel::Timing::PreWait); ++c)
            names.push_back(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
        return names;
    }

    PatchView* patch_ = nullptr;
};

// Add twice, rename, resize, remove; the engine, the list, the fields and the
// cue list's columns agree after each step.
TEST_F(PatchViewTest, AddRenameResizeRemove) {
    patch_->addOutput();
    ASSERT_EQ(engine_->outputs().size(), 1u);
    EXPECT_EQ(engine_->outputs()[0]->pixelSize(), (PixelSize{512, 512}));
    EXPECT_EQ(patch_->selectedRow(), 0);
    EXPECT_EQ(field<QLineEdit>("nameTextField").text(), "Screen1");
    EXPECT_EQ(field<QLineEdit>("widthTextField").text(), "512");

    type("widthTextField", "1920");
    type("heightTextField", "1080");
    EXPECT_EQ(engine_->outputs()[0]->pixelSize(), (PixelSize{1920, 1080}));
    EXPECT_TRUE(window_->isWindowModified());

    patch_->addOutput();
    EXPECT_EQ(listed(), (QStringList{"Screen1", "Screen2"}));
    EXPECT_EQ(engine_->outputs()[1]->pixelSize(), (PixelSize{1920, 1080})) << "the last one's size";
    EXPECT_EQ(patch_->selectedRow(), 1);

    // Return in a field ends its edit and presses no button.
    QTest::keyClick(&field<QLineEdit>("nameTextField"), Qt::Key_Return);
    EXPECT_EQ(engine_->outputs().size(), 2u);

    status_.setDirty(false);
    type("nameTextField", "Back wall");
    EXPECT_EQ(engine_->outputs()[1]->name(), "Back wall");
    EXPECT_EQ(listed(), (QStringList{"Screen1", "Back wall"}));
    EXPECT_EQ(cueListHeaders(), (QStringList{"Screen1", "Back wall"}));
    EXPECT_TRUE(status_.isDirty());

    patch_->removeSelectedOutput();
    EXPECT_EQ(listed(), QStringList{"Screen1"});
    EXPECT_EQ(cueListHeaders(), QStringList{"Screen1"});
    EXPECT_EQ(patch_->selectedRow(), 0) << "the row above";
    patch_->removeSelectedOutput();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_FALSE(patch_->selectedRow());
    for (const char* name : {"nameTextField", "widthTextField", "heightTextField"})
        EXPECT_FALSE(field<QLineEdit>(name).isEnabled()) << name;
    EXPECT_FALSE(field<QPushButton>("removeOutputButton").isEnabled());
}

// The selected output's picture shows beside its fields while the view is
// open, and its making stops when the view closes.
TEST_F(PatchViewTest, PreviewShowsTheSelectedOutput) {
    patch_->addOutput();
    const QLabel& preview = field<QLabel>("previewLabel");
    const bool shown = QTest::qWaitFor(
        [&] {
            advance(0.1);
            tick();
            return !preview.pixmap().isNull();
        },
        5000);
    ASSERT_TRUE(shown);
    EXPECT_EQ(preview.pixmap().size(), QSize(135, 135)) << "a square output, fitted";
    FrameServer& server = engine_->outputs()[0]->frameServer();
    EXPECT_NE(server.preview(), nullptr);

    patch_->hide();
    EXPECT_EQ(server.preview(), nullptr);
    const std::uint64_t made = server.previewsMade();
    advance(1.0);
    tick();
    EXPECT_EQ(server.previewsMade(), made) << "no previews once closed";
}

// Entries that are no name or no size go back; an edit to the same value
// leaves the show unmodified.
TEST_F(PatchViewTest, RefusedAndUnchangedEntriesChangeNothing) {
    patch_->addOutput();
    const int largest = RenderContext::shared().maxTextureSize();
    struct Entry {
        const char* field;
        QString text;
    };
    const std::vector<Entry> entries = {
        {"nameTextField", ""},        {"nameTextField", "   "},
        {"nameTextField", "Screen1"}, {"widthTextField", "abc"},
        {"widthTextField", "0"},      {"widthTextField", "-5"},
        {"heightTextField", "12.5"},  {"heightTextField", QString::number(largest + 1)},
        {"widthTextField", "512"},
    };
    for (const Entry& entry : entries) {
        status_.setDirty(false);
        type(entry.field, entry.text);
        const std::string what = std::string(entry.field) + " '" + entry.text.toStdString() + "'";
        EXPECT_FALSE(status_.isDirty()) << what;
        EXPECT_EQ(engine_->outputs()[0]->name(), "Screen1") << what;
        EXPECT_EQ(engine_->outputs()[0]->pixelSize(), (PixelSize{512, 512})) << what;
        EXPECT_EQ(field<QLineEdit>(entry.field).text(),
                  std::string(entry.field) == "nameTextField" ? "Screen1" : "512")
            << what << ": the field goes back";
    }
}

// A stream chosen in the view listens at once and says so; refused entries
// (a URL that does not read, a bitrate out of range) leave it as it was and
// say why; an empty URL ends it.
TEST_F(PatchViewTest, AStreamIsChosenExplainedAndEnded) {
    patch_->addOutput();
    const MediaOutput& output = *engine_->outputs()[0];
    const QLabel& note = field<QLabel>("streamNoteLabel");
    const std::string url = "srt://127.0.0.1:" + std::to_string(test::freeUdpPort());
    status_.setDirty(false);
    type("streamURLField", QString::fromStdString(url));
    ASSERT_TRUE(output.stream());
    EXPECT_EQ(*output.stream(), (StreamChoice{url, 0}));
    ASSERT_NE(output.networkStream(), nullptr);
    EXPECT_TRUE(status_.isDirty());
    EXPECT_TRUE(note.text().startsWith("Listening; no receiver is connected."))
        << note.text().toStdString();
    EXPECT_TRUE(note.text().contains("no alpha")) << note.text().toStdString();

    struct Entry {
        const char* field;
        const char* text;
        const char* said;
    };
    for (const Entry& entry : {
             Entry{"streamURLField", "rtmp://host:1",
                   "is no stream URL: a stream's URL starts with srt://"},
             Entry{"streamURLField", "srt://host", "names no port"},
             Entry{"streamBitrateField", "0", "The bitrate is a whole number"},
             Entry{"streamBitrateField", "fast", "The bitrate is a whole number"},
         }) {
        status_.setDirty(false);
        type(entry.field, entry.text);
        EXPECT_FALSE(status_.isDirty()) << entry.text;
        EXPECT_EQ(*output.stream(), (StreamChoice{url, 0})) << entry.text;
        EXPECT_TRUE(note.text().contains(entry.said))
            << entry.text << ": " << note.text().toStdString();
        // The field goes back.
        type("streamURLField", QString::fromStdString(url));
        type("streamBitrateField", "");
    }
    type("streamBitrateField", "12000");
    EXPECT_EQ(*output.stream(), (StreamChoice{url, 12000}));
    type("streamURLField", "");
    EXPECT_FALSE(output.stream());
    EXPECT_EQ(output.networkStream(), nullptr);
    EXPECT_TRUE(note.isHidden());
}

// A name another output has, as the operator reads it (spaces around it and
// letter case aside), is refused with a note; the output's own name in
// another case is not another's.
TEST_F(PatchViewTest, ANameAnotherOutputHasIsRefused) {
    patch_->addOutput();
    patch_->addOutput();
    const QLabel& note = field<QLabel>("nameNoteLabel");
    const struct {
        QString typed;
        const char* named;  // output 2's name afterwards
        bool refused;
    } entries[] = {
        {"Screen1", "Screen2", true},    {" screen1 ", "Screen2", true},
        {"SCREEN1", "Screen2", true},    {"screen2", "screen2", false},
        {"Screen10", "Screen10", false},
    };
    for (const auto& entry : entries) {
        status_.setDirty(false);
        type("nameTextField", entry.typed);
        const std::string what = entry.typed.toStdString();
        EXPECT_EQ(engine_->outputs()[1]->name(), entry.named) << what;
        EXPECT_EQ(engine_->outputs()[0]->name(), "Screen1") << what;
        EXPECT_EQ(field<QLineEdit>("nameTextField").text(), entry.named) << what;
        EXPECT_EQ(status_.isDirty(), !entry.refused) << what;
        EXPECT_EQ(!note.isHidden(), entry.refused) << what;
        if (entry.refused) {
            EXPECT_TRUE(note.text().contains("“Screen1”")) << note.text().toStdString();
        }
    }
    // The note belongs to the output it was said of.
    type("nameTextField", "Screen1");
    EXPECT_FALSE(note.isHidden());
    patch_->selectRow(0);
    EXPECT_TRUE(note.isHidden());
}

// While a show loads the list is empty and nothing can be edited; once it
// has loaded, its outputs are listed with none selected.
TEST_F(PatchViewTest, ListFollowsALoad) {
    patch_->addOutput();
    patch_->addOutput();
    const std::string path = (dir_ / "outputs.bwshow").string();
    show_->setFileURL(path);
    ASSERT_TRUE(show_->save());

    status_.postWillLoad();
    MainQueue::shared().drain();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_FALSE(field<QPushButton>("addOutputButton").isEnabled());
    EXPECT_FALSE(field<QLineEdit>("nameTextField").isEnabled());

    window_->openShowFile(QString::fromStdString(path));
    finishLoading();
    MainQueue::shared().drain();
    EXPECT_EQ(listed(), (QStringList{"Screen1", "Screen2"}));
    EXPECT_FALSE(patch_->selectedRow());
    EXPECT_TRUE(field<QPushButton>("addOutputButton").isEnabled());
    EXPECT_FALSE(field<QPushButton>("removeOutputButton").isEnabled());
}

// While the show is locked the outputs are listed and chosen but not
// changed, and the view says why; unlocked, the controls come back.
TEST_F(PatchViewTest, ALockedShowKeepsItsOutputs) {
    patch_->addOutput();
    window_->setLocked(true);
    EXPECT_TRUE(field<QLabel>("lockNoteLabel").isVisibleTo(patch_));
    EXPECT_TRUE(field<QListWidget>("mediaOutputTableView").isEnabled());
    for (const char* name : {"addOutputButton", "removeOutputButton"})
        EXPECT_FALSE(field<QPushButton>(name).isEnabled()) << name;
    EXPECT_FALSE(field<QLineEdit>("nameTextField").isEnabled());
    EXPECT_FALSE(field<QComboBox>("screenComboBox").isEnabled());

    // Nothing changes even when an edit reaches the view.
    status_.setDirty(false);
    patch_->addOutput();
    type("nameTextField", "Renamed");
    type("widthTextField", "64");
    patch_->removeSelectedOutput();
    EXPECT_EQ(listed(), QStringList{"Screen1"});
    EXPECT_EQ(engine_->outputs()[0]->pixelSize(), (PixelSize{512, 512}));
    EXPECT_FALSE(status_.isDirty());

    window_->setLocked(false);
    EXPECT_FALSE(field<QLabel>("lockNoteLabel").isVisibleTo(patch_));
    EXPECT_TRUE(field<QLineEdit>("nameTextField").isEnabled());
    EXPECT_TRUE(field<QPushButton>("addOutputButton").isEnabled());
}

// Verifies the sound output chooser's entries: the system default first,
// then the server's outputs by description, and a chosen one the server
// lacks (or no server at all) kept, marked not there.
TEST(PatchViewSoundTest, EntriesOfferTheServersOutputsAndKeepAMissingChoice) {
    using Entry = PatchView::SoundOutputEntry;
    const std::vector<SoundSink> sinks{{"hdmi", "HDMI Out"}, {"usb", "USB Interface"}};
    const struct {
        std::optional<std::vector<SoundSink>> sinks;
        std::string chosen;
        std::vector<Entry> expected;
    } cases[] = {
        {sinks, "", {{"System Default", ""}, {"HDMI Out", "hdmi"}, {"USB Interface", "usb"}}},
        {sinks, "usb", {{"System Default", ""}, {"HDMI Out", "hdmi"}, {"USB Interface", "usb"}}},
        {sinks,
         "desk",
         {{"System Default", ""},
          {"HDMI Out", "hdmi"},
          {"USB Interface", "usb"},
          {"desk (not there)", "desk"}}},
        {std::nullopt, "", {{"System Default", ""}}},
        {std::nullopt, "usb", {{"System Default", ""}, {"usb (not there)", "usb"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chosen);
        EXPECT_EQ(PatchView::soundOutputEntries(c.sinks, c.chosen), c.expected);
    }
}

// Verifies that choosing a sound output is a show edit the Edit menu undoes
// and redoes, refused while locked, and that an output the server loses
// stays chosen and is said to be missing.
TEST_F(PatchViewTest, SoundOutputChoiceIsAnUndoableShowEdit) {
    std::optional<std::vector<SoundSink>> sinks =
        std::vector<SoundSink>{{"hdmi", "HDMI Out"}, {"usb", "USB Interface"}};
    patch_->setSoundOutputChoice(
        {[this] { return show_->settings().soundOutput; },
         [this](const std::string& name) { window_->chooseSoundOutput(name); },
         [&] { return sinks; }});
    QComboBox& box = field<QComboBox>("soundOutputComboBox");
    ASSERT_EQ(box.count(), 3);
    EXPECT_EQ(box.currentIndex(), 0);
    status_.setDirty(false);

    emit box.activated(2);
    EXPECT_EQ(show_->settings().soundOutput, "usb");
    EXPECT_EQ(box.currentText(), "USB Interface");
    EXPECT_TRUE(status_.isDirty());
    QAction* undo = window_->findChild<QAction*>("undoAction");
    QAction* redo = window_->findChild<QAction*>("redoAction");
    ASSERT_NE(undo, nullptr);
    ASSERT_NE(redo, nullptr);
    undo->trigger();
    EXPECT_EQ(show_->settings().soundOutput, "");
    EXPECT_EQ(box.currentIndex(), 0);
    redo->trigger();
    EXPECT_EQ(show_->settings().soundOutput, "usb");
    EXPECT_EQ(box.currentIndex(), 2);

    window_->setLocked(true);
    EXPECT_FALSE(box.isEnabled());
    window_->chooseSoundOutput("hdmi");
    EXPECT_EQ(show_->settings().soundOutput, "usb");
    window_->setLocked(false);
    EXPECT_TRUE(box.isEnabled());

    sinks->pop_back();
    patch_->showSoundOutput();
    EXPECT_EQ(box.currentText(), "usb (not there)");
    EXPECT_TRUE(field<QLabel>("soundOutputNoteLabel").isVisibleTo(patch_));
    sinks.reset();
    patch_->showSoundOutput();
    EXPECT_EQ(box.currentText(), "usb (not there)");
    EXPECT_NE(field<QLabel>("soundOutputNoteLabel").text().indexOf("No sound server"), -1);
}

// The screen list: "None", the screens connected, and a saved choice whose
// screen is not connected, kept as it is. A choice modifies the show only
// when it changes; a screen another output has already is said to be taken.
TEST_F(PatchViewTest, ScreenChoiceIsKeptAndExplained) {
    patch_->addOutput();
    patch_->addOutput();
    patch_->selectRow(0);
    QComboBox& screens = field<QComboBox>("screenComboBox");
    const QLabel& note = field<QLabel>("screenNoteLabel");
    const std::vector<ScreenList::Screen> connected = ScreenList::connected();
    ASSERT_FALSE(connected.empty());
    ASSERT_EQ(screens.count(), static_cast<int>(connected.size()) + 1);
    EXPECT_EQ(screens.itemText(0), "None");
    EXPECT_EQ(field<QPushButton>("identifyScreensButton").text(), "Identify screens");
    EXPECT_EQ(screens.currentIndex(), 0);

    const auto choose = [&](int index) {
        screens.setCurrentIndex(index);
        emit screens.activated(index);
    };
    status_.setDirty(false);
    choose(1);
    EXPECT_EQ(engine_->outputs()[0]->screen(), connected[0].identity);
    EXPECT_TRUE(status_.isDirty());
    status_.setDirty(false);
    choose(1);
    EXPECT_FALSE(status_.isDirty()) << "the same screen again";

    // The second output chooses the same screen: the first keeps it.
    patch_->selectRow(1);
    choose(1);
    EXPECT_EQ(engine_->outputs()[1]->screen(), connected[0].identity);
    EXPECT_EQ(note.text(), "This screen shows “Screen1”; this output is not shown.");
    choose(0);
    EXPECT_EQ(engine_->outputs()[1]->screen(), std::nullopt);
    EXPECT_TRUE(note.text().isEmpty());

    const ScreenChoice away{"HDMI-A-9", "ACME Beam", "S1"};
    engine_->setOutputScreen(1, away);
    patch_->selectRow(1);
    EXPECT_EQ(screens.currentText(), "HDMI-A-9 · ACME Beam (not connected)");
    EXPECT_FALSE(note.text().isEmpty());
    status_.setDirty(false);
    choose(screens.currentIndex());
    EXPECT_EQ(engine_->outputs()[1]->screen(), away) << "kept as it was";
    EXPECT_FALSE(status_.isDirty());
}

// A screen that refreshes at another rate than the outputs are paced at is
// pointed out; rates a hundredth of a hertz apart are the same.
TEST(PatchViewRateTest, AScreenAtAnotherRateIsPointedOut) {
    struct Case {
        double screen;
        double paced;
        bool noted;
    };
    for (const Case& c :
         {Case{60.0, 60.0, false}, Case{59.995, 60.0, false}, Case{59.94, 60.0, true},
          Case{50.0, 60.0, true}, Case{0.0, 60.0, false}, Case{60.0, 0.0, false}}) {
        EXPECT_EQ(!PatchView::rateNote(c.screen, c.paced).isEmpty(), c.noted)
            << c.screen << " Hz against " << c.paced << " Hz";
    }
    EXPECT_EQ(PatchView::rateNote(50.0, 60.0),
              "This screen refreshes at 50.00 Hz but the outputs are paced at 60.00 Hz: "
              "movement on it will not be smooth.");
}

}  // namespace
}  // namespace bw
