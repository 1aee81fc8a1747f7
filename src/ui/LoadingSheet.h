#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace bw {

class Show;

// The sheet over the show window while a show loads: the file's name, a busy
// indicator that never shows an amount, and Cancel. Cancel, Escape and the
// dialog's close button all cancel the load (Show::cancelLoad), which keeps
// the show in place and ends the load with "ShowDidLoad"; the window then
// calls showLoaded(), as it does at the end of every load.
//
// The window keeps one sheet for its life and presents it again for each
// load, so a second load while one runs renames the sheet instead of
// stacking another. `show` must outlive the sheet. Main thread only.
class LoadingSheet final : public QDialog {
    Q_OBJECT

public:
    LoadingSheet(Show& show, QWidget* parent);

    // Shows the sheet, window-modal, naming the file at `fileURL` ("" for
    // none); a sheet already up only takes the new name.
    void present(const std::optional<std::string>& fileURL);
    // The load ended (installed, failed or cancelled): closes the sheet.
    // Does nothing when it is not up.
    void showLoaded();

    // The name shown for `fileURL`: its last path component, or "".
    static QString fileNameFor(const std::optional<std::string>& fileURL);

public slots:
    // Cancel, Escape and the close button.
    void reject() override;

private:
    Show& show_;
    QLabel* fileNameLabel_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};

}  // namespace bw
