#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "document/Show.h"
#include "support/TempDir.h"
#include "ui/LoadingSheet.h"
#include "ui/WindowTestSupport.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

class LoadingSheetTest : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        makeWindow().show();
    }
    // A saved show with `cues` cues at `name`; the show is reset afterwards.
    QString savedShow(const std::string& name, int cues) {
        const std::string path = saveShow(name, cues);
        show_->reset();
        return QString::fromStdString(path);
    }
    LoadingSheet& sheet() { return child<LoadingSheet>("loadingSheet"); }
    QString shownName() { return sheet().findChild<QLabel*>("fileNameLabel")->text(); }
    void settle() {
        MainQueue::shared().pumpUntil([] { return false; }, 100ms);
    }
};

// Verifies the sheet's life through a real load: up, window-modal, busy,
// named after the file while it loads; gone once the show is in.
TEST_F(LoadingSheetTest, SheetNamesTheFileWhileItLoadsAndClosesWhenTheShowIsIn) {
    window_->openShowFile(savedShow("gala.bwshow", 2));
    ASSERT_TRUE(sheet().isVisible());
    EXPECT_EQ(sheet().windowModality(), Qt::WindowModal);
    EXPECT_EQ(shownName(), "gala.bwshow");
    const auto* bar = sheet().findChild<QProgressBar*>("progressBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 0) << "indeterminate";

    finishLoading();
    EXPECT_FALSE(sheet().isVisible());
    EXPECT_EQ(stack_.cues().size(), 2u);
    EXPECT_TRUE(prompt_.warnings.empty());
}

// Verifies that every way of cancelling, before or after the load handed its
// show over, leaves the show in place as it was (here the empty, untitled,
// clean one the window started with) and no sheet.
TEST_F(LoadingSheetTest, CancelKeepsTheShowInPlace) {
    struct Case {
        const char* name;
        bool afterHandOff;
        std::function<void(LoadingSheet&)> cancel;
    };
    auto clickCancel = [](LoadingSheet& s) {
        QTest::mouseClick(s.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    };
    const std::vector<Case> cases = {
        {"Cancel", false, clickCancel},
        {"Cancel after hand-off", true, clickCancel},
        {"Escape", true, [](LoadingSheet& s) { QTest::keyClick(&s, Qt::Key_Escape); }},
        {"close button", false, [](LoadingSheet& s) { s.close(); }},
    };
    const QString path = savedShow("gala.bwshow", 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window_->openShowFile(path);
        ASSERT_TRUE(sheet().isVisible());
        if (c.afterHandOff) show_->loadQueue().waitUntilAllOperationsAreFinished();
        c.cancel(sheet());
        EXPECT_FALSE(sheet().isVisible());
        settle();
        EXPECT_TRUE(stack_.cues().empty());
        EXPECT_FALSE(show_->fileURL());
        EXPECT_FALSE(show_->isDirty());
        EXPECT_FALSE(show_->isLoading());
        EXPECT_EQ(window_->windowTitle(), "Untitled[*] — Beamwright");
    }
    EXPECT_TRUE(prompt_.warnings.empty());
}

// Verifies that a show that fails to decode closes the sheet and tells the
// operator why, leaving the window untitled.
TEST_F(LoadingSheetTest, FailedDecodeClosesTheSheetAndWarns) {
    const std::string bad =
        dir_.write("bad.bwshow", R"({"config":[],"cues":[{"id":1,"outputStates":[]}]})").string();
    window_->openShowFile(QString::fromStdString(bad));
    ASSERT_TRUE(sheet().isVisible());
    finishLoading();
    EXPECT_FALSE(sheet().isVisible());
    ASSERT_EQ(prompt_.warnings.size(), 1u);
    EXPECT_EQ(prompt_.warnings[0].text, "The show could not be loaded.");
    EXPECT_TRUE(prompt_.warnings[0].reason.contains("fadeLength"))
        << prompt_.warnings[0].reason.toStdString();
    EXPECT_EQ(window_->windowTitle(), "Untitled[*] — Beamwright");
}

// Verifies that a second load while one runs keeps the one sheet, renamed,
// and that only the second show is installed.
TEST_F(LoadingSheetTest, ASecondLoadRenamesTheOneSheet) {
    const QString first = savedShow("first.bwshow", 1);
    const QString second = savedShow("second.bwshow", 3);
    window_->openShowFile(first);
    window_->openShowFile(second);
    EXPECT_EQ(window_->findChildren<LoadingSheet*>().size(), 1);
    EXPECT_TRUE(sheet().isVisible());
    EXPECT_EQ(shownName(), "second.bwshow");
    finishLoading();
    settle();
    EXPECT_FALSE(sheet().isVisible());
    EXPECT_EQ(stack_.cues().size(), 3u);
    EXPECT_TRUE(prompt_.warnings.empty());
}

}  // namespace
}  // namespace bw
