#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <chrono>
#include <optional>
#include <string>

#include "remote/CueRunner.h"
#include "remote/web/WebRemoteServer.h"
#include "support/Deadline.h"
#include "ui/WindowTestSupport.h"
#include "ui/remote/QrCode.h"
#include "ui/remote/WebRemoteDialog.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(QrCodeTest, TheThreeFinderPatternsSitInTheirCornersInsideTheQuietZone) {
    const int scale = 3;
    const QImage code = qrCodeImage("http://192.168.1.5:8080/", scale);
    ASSERT_FALSE(code.isNull());
    ASSERT_EQ(code.width(), code.height());
    const int modules = code.width() / scale - 8;
    ASSERT_GE(modules, 21);
    const auto dark = [&](int x, int y) {
        return qGray(code.pixel((x + 4) * scale + 1, (y + 4) * scale + 1)) < 128;
    };
    EXPECT_FALSE(dark(-1, -1));  // the quiet zone
    for (const auto& [left, top] : {std::pair{0, 0}, {modules - 7, 0}, {0, modules - 7}}) {
        // A dark ring, a light ring and a dark 3x3 centre.
        for (int k = 0; k < 7; ++k) {
            EXPECT_TRUE(dark(left + k, top) && dark(left + k, top + 6) && dark(left, top + k) &&
                        dark(left + 6, top + k))
                << left << "," << top;
        }
        EXPECT_FALSE(dark(left + 1, top + 1));
        EXPECT_TRUE(dark(left + 3, top + 3));
    }
    EXPECT_TRUE(qrCodeImage(QString(4000, 'x'), scale).isNull());
}

class NoRunner final : public CueRunner {
public:
    void go(GoSource) override {}
    void goToCue(double, GoSource) override {}
    void panic() override {}
};

class NoSource final : public ShowStateSource {
public:
    ShowState showState() const override { return {}; }
    std::vector<Cue> showCues() const override { return {}; }
    std::vector<OutputSummary> showOutputs() const override { return {}; }
};

TEST(WebRemoteDialogTest, ShowsWhereDevicesFindItAndHowManyAreConnected) {
    test::ensureApplication();
    NoRunner runner;
    NoSource source;
    WebRemoteServer server(runner, source);
    std::string error;
    ASSERT_TRUE(server.listen("127.0.0.1", 0, &error)) << error;
    std::optional<WebRemoteDialog::Settings> applied;
    bool on = true;
    WebRemoteDialog dialog(
        {server.port(), ""}, [&]() -> const WebRemoteServer* { return on ? &server : nullptr; },
        [&](const WebRemoteDialog::Settings& settings) -> std::optional<QString> {
            applied = settings;
            return std::nullopt;
        });
    server.setClientsChanged([&] { dialog.refresh(); });
    auto* status = dialog.findChild<QLabel*>("webRemoteStatus");
    auto* qrCode = dialog.findChild<QLabel*>("webRemoteQrCode");
    auto* devices = dialog.findChild<QLabel*>("webRemoteDevices");
    const QString address = QString("http://127.0.0.1:%1/").arg(server.port());
    EXPECT_TRUE(status->text().contains(address)) << status->text().toStdString();
    EXPECT_FALSE(qrCode->pixmap().isNull());
    EXPECT_EQ(devices->text(), "0 devices connected");

    QTcpSocket page;
    page.connectToHost("127.0.0.1", server.port());
    ASSERT_TRUE(page.waitForConnected(static_cast<int>(test::scaled(10s).count())));
    page.write(QString("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%1\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n\r\n")
                   .arg(server.port())
                   .toLatin1());
    const auto until = std::chrono::steady_clock::now() + test::scaled(10s);
    while (devices->text() != "1 device connected" && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(devices->text(), "1 device connected");

    // A passcode is 4 to 12 digits or none; Apply hands on what the fields say.
    auto* passcode = dialog.findChild<QLineEdit*>("webRemotePasscode");
    auto* apply = dialog.findChild<QPushButton*>("webRemoteApply");
    for (const auto& [text, valid] : {std::pair{"12", false}, {"", true}, {"4711", true}}) {
        passcode->setText(text);
        EXPECT_EQ(apply->isEnabled(), valid) << text;
    }
    dialog.findChild<QCheckBox*>("webRemoteEnabled")->setChecked(false);
    apply->click();
    ASSERT_TRUE(applied);
    EXPECT_FALSE(applied->port);
    EXPECT_EQ(applied->passcode, "4711");
    on = false;
    dialog.refresh();
    EXPECT_EQ(status->text(), "The web remote is off.");
    EXPECT_TRUE(qrCode->isHidden());
    // Off for a reason: the reason is what it says.
    WebRemoteDialog failed(
        {8080, ""}, []() -> const WebRemoteServer* { return nullptr; },
        [](const WebRemoteDialog::Settings&) -> std::optional<QString> { return std::nullopt; },
        "Port 8080 cannot be opened: in use");
    EXPECT_EQ(failed.findChild<QLabel*>("webRemoteStatus")->text(),
              "Port 8080 cannot be opened: in use");
}

}  // namespace
}  // namespace bw
