#include "ui/remote/WebRemoteDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>

#include "remote/web/WebRemoteServer.h"
#include "ui/remote/QrCode.h"

namespace bw {
namespace {

// Big enough for a phone's camera across a desk.
constexpr int kQrModulePixels = 5;

}  // namespace

WebRemoteDialog::WebRemoteDialog(Settings current, std::function<const WebRemoteServer*()> server,
                                 Apply apply, QString problem, QWidget* parent)
    : QDialog(parent),
      server_(std::move(server)),
      apply_(std::move(apply)),
      enabled_(new QCheckBox(tr("Serve the web remote"), this)),
      port_(new QSpinBox(this)),
      passcode_(new QLineEdit(this)),
      passcodeHint_(new QLabel(this)),
      status_(new QLabel(this)),
      qrCode_(new QLabel(this)),
      devices_(new QLabel(this)),
      applyButton_(nullptr),
      problem_(std::move(problem)) {
    setObjectName("webRemoteDialog");
    setWindowTitle(tr("Web Remote"));
    enabled_->setObjectName("webRemoteEnabled");
    enabled_->setChecked(current.port.has_value());
    port_->setObjectName("webRemotePort");
    port_->setAccessibleName(tr("Port"));
    port_->setRange(1, 65535);
    port_->setValue(current.port.value_or(kDefaultPort));
    passcode_->setObjectName("webRemotePasscode");
    passcode_->setAccessibleName(tr("Passcode"));
    passcode_->setText(QString::fromStdString(current.passcode));
    passcode_->setPlaceholderText(tr("none"));
    passcode_->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,12}"), passcode_));
    passcodeHint_->setWordWrap(true);
    status_->setObjectName("webRemoteStatus");
    status_->setAccessibleName(tr("Web remote status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setWordWrap(true);
    qrCode_->setObjectName("webRemoteQrCode");
    qrCode_->setAccessibleName(tr("QR code of the web remote's address"));
    qrCode_->setAlignment(Qt::AlignCenter);
    devices_->setObjectName("webRemoteDevices");
    devices_->setAccessibleName(tr("Connected devices"));

    auto* form = new QFormLayout;
    form->addRow(enabled_);
    form->addRow(tr("&Port:"), port_);
    form->addRow(tr("Pa&sscode:"), passcode_);
    form->addRow(passcodeHint_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Apply | QDialogButtonBox::Close, this);
    applyButton_ = buttons->button(QDialogButtonBox::Apply);
    applyButton_->setObjectName("webRemoteApply");
    connect(applyButton_, &QPushButton::clicked, this, &WebRemoteDialog::apply);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addWidget(status_);
    column->addWidget(qrCode_);
    column->addWidget(devices_);
    column->addWidget(buttons);

    const auto fieldsChanged = [this] {
        port_->setEnabled(enabled_->isChecked());
        passcode_->setEnabled(enabled_->isChecked());
        const bool valid = settings().has_value();
        applyButton_->setEnabled(valid);
        passcodeHint_->setText(
            !valid ? tr("A passcode is 4 to 12 digits.")
            : passcode_->text().isEmpty()
                ? tr("Without a passcode, only pages opened on this machine may control the show; "
                     "every other page only shows it.")
                : tr("Pages control the show once they have entered the passcode."));
    };
    connect(enabled_, &QCheckBox::toggled, this, fieldsChanged);
    connect(passcode_, &QLineEdit::textChanged, this, fieldsChanged);
    fieldsChanged();
    refresh();
}

std::optional<WebRemoteDialog::Settings> WebRemoteDialog::settings() const {
    Settings result;
    result.passcode = passcode_->text().toStdString();
    if (!WebRemoteServer::isValidPasscode(result.passcode)) return std::nullopt;
    if (enabled_->isChecked()) result.port = static_cast<std::uint16_t>(port_->value());
    return result;
}

void WebRemoteDialog::apply() {
    const std::optional<Settings> chosen = settings();
    if (!chosen) return;
    problem_ = apply_(*chosen).value_or(QString());
    refresh();
}

void WebRemoteDialog::refresh() {
    const WebRemoteServer* server = server_();
    if (server == nullptr) {
        status_->setText(problem_.isEmpty() ? tr("The web remote is off.") : problem_);
        qrCode_->clear();
        qrCode_->hide();
        devices_->clear();
        return;
    }
    const std::vector<std::string> addresses = server->addresses();
    QStringList lines;
    for (const std::string& address : addresses)
        lines << QString::fromStdString(address);
    status_->setText(tr("Open on a phone or tablet:") + "\n" + lines.join('\n'));
    const QImage code =
        addresses.empty() ? QImage()
                          : qrCodeImage(QString::fromStdString(addresses.front()), kQrModulePixels);
    qrCode_->setPixmap(QPixmap::fromImage(code));
    qrCode_->setVisible(!code.isNull());
    const std::size_t count = server->clientCount();
    devices_->setText(count == 1 ? tr("1 device connected")
                                 : tr("%1 devices connected").arg(static_cast<qulonglong>(count)));
}

}  // namespace bw
