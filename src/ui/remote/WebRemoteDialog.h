#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace bw {

class WebRemoteServer;

// Show > Web Remote…: turns the web remote on or off, sets its port and
// passcode, and shows where devices find it (its addresses and a QR code of
// the first) and how many are connected.
class WebRemoteDialog final : public QDialog {
    Q_OBJECT
public:
    struct Settings {
        // None: off.
        std::optional<std::uint16_t> port;
        std::string passcode;
    };
    // Applies settings: an error text when they could not be (the port
    // cannot be opened, the lock is on). Called from Apply.
    using Apply = std::function<std::optional<QString>(const Settings&)>;

    static constexpr std::uint16_t kDefaultPort = 8080;

    // `server` gives the running server, or null while it is off;
    // `problem` says why it is off when it should be on (its port was taken).
    WebRemoteDialog(Settings current, std::function<const WebRemoteServer*()> server, Apply apply,
                    QString problem = {}, QWidget* parent = nullptr);

    // Reads the server's addresses and connected devices again.
    void refresh();

    // What the fields say; none while the passcode is not 4 to 12 digits.
    std::optional<Settings> settings() const;

private:
    void apply();

    std::function<const WebRemoteServer*()> server_;
    Apply apply_;
    QCheckBox* enabled_;
    QSpinBox* port_;
    QLineEdit* passcode_;
    QLabel* passcodeHint_;
    QLabel* status_;
    QLabel* qrCode_;
    QLabel* devices_;
    QPushButton* applyButton_;
    QString problem_;
};

}  // namespace bw
