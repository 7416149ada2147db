#include "port_settings_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "base/texts.h"
#include "serial/device_list.h"
#include "serial/port.h"

namespace dl::gui {

namespace {

QString qstr(Text t) {
    return QString::fromStdString(std::string(text(t)));
}

// Laid out in dialog units of an 8-point font: 1.5 pixels across, 1.625 down per unit.
QRect units(int x, int y, int w, int h) {
    return QRect(x * 3 / 2, y * 13 / 8, w * 3 / 2, h * 13 / 8);
}

}  // namespace

PortSettingsDialog::PortSettingsDialog(int port, uint32_t baud, bool connected, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      ports_(new QComboBox(this)),
      bauds_(new QComboBox(this)),
      devices_(new QComboBox(this)),
      ok_(new QPushButton(qstr(Text::buttonOkSettings), this)),
      cancel_(new QPushButton(qstr(Text::buttonCancelSettings), this)) {
    setWindowTitle(qstr(Text::portSettingsTitle));
    setModal(true);
    setFixedSize(units(0, 0, 200, 80).size());
    auto* portLabel = new QLabel(qstr(Text::portLabel), this);
    auto* baudLabel = new QLabel(qstr(Text::baudLabel), this);
    // Right-aligned against the lists; the labels may reach further left than their units when the
    // font is wider than the one the units were made for.
    portLabel->setGeometry(units(0, 18, 52, 14));
    baudLabel->setGeometry(units(0, 38, 52, 14));
    for (QLabel* l : {portLabel, baudLabel}) l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    portLabel->setBuddy(ports_);
    baudLabel->setBuddy(bauds_);
    ports_->setGeometry(units(55, 18, 55, 14));
    bauds_->setGeometry(units(55, 38, 55, 14));
    cancel_->setGeometry(units(140, 18, 40, 14));
    ok_->setGeometry(units(140, 38, 40, 14));

    const QString prefix = qstr(Text::comPrefix);
    for (int i = 1; i <= 4; ++i) ports_->addItem(QStringLiteral("%1%2").arg(prefix).arg(i), i);
    ports_->setCurrentIndex(port >= 1 && port <= 4 ? port - 1 : -1);
    ports_->setEnabled(!connected);
    const Text names[] = {Text::baud38400, Text::baud57600, Text::baud115200};
    for (int i = 0; i < 3; ++i) {
        bauds_->addItem(qstr(names[i]), QVariant::fromValue(baudValues[i]));
        if (baudValues[i] == baud) bauds_->setCurrentIndex(i);
    }
    for (uint32_t more : moreBaudValues) bauds_->addItem(QString::number(more), QVariant::fromValue(more));
    bauds_->setCurrentIndex(bauds_->findData(QVariant::fromValue(baud)));

    // A row of our own beneath the dialog's two: which device the port opens, with the ones present
    // offered; greyed while connected, as the port is.
    auto* deviceLabel = new QLabel(qstr(Text::deviceLabel), this);
    deviceLabel->setGeometry(units(0, 58, 52, 14));
    deviceLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    deviceLabel->setBuddy(devices_);
    devices_->setGeometry(units(55, 58, 125, 14));
    devices_->setEditable(true);
    devices_->setInsertPolicy(QComboBox::NoInsert);
    for (const SerialDevice& d : listSerialDevices()) {
        const QString path = QString::fromStdString(d.path);
        devices_->addItem(d.kind == SerialDevice::Kind::usbByName
                              ? QStringLiteral("%1 (%2)").arg(QString::fromStdString(d.name),
                                                              QString::fromStdString(d.target))
                              : path,
                          path);
    }
    devices_->setEnabled(!connected);
    showDeviceOf(port);
    connect(ports_, &QComboBox::currentIndexChanged, this, [this](int i) { showDeviceOf(i + 1); });

    // Enter cancels, wherever the focus is: Ok takes the choice only when pressed itself.
    cancel_->setDefault(true);
    ok_->setAutoDefault(false);
    cancel_->setAutoDefault(false);
    connect(ok_, &QPushButton::clicked, this, [this] {
        okChosen_ = true;
        accept();
    });
    connect(cancel_, &QPushButton::clicked, this, &PortSettingsDialog::reject);
    (connected ? bauds_ : ports_)->setFocus();
}

void PortSettingsDialog::showDeviceOf(int port) {
    if (port < 1 || port > 4) return;
    const QString now = QString::fromStdString(devicePath(port));
    const int listed = devices_->findData(now);
    if (listed >= 0)
        devices_->setCurrentIndex(listed);
    else
        devices_->setEditText(now);
}

std::string PortSettingsDialog::chosenDevice() const {
    const QString shown = devices_->currentText();
    const int listed = devices_->findText(shown);
    return (listed >= 0 ? devices_->itemData(listed).toString() : shown.trimmed()).toStdString();
}

int PortSettingsDialog::chosenPort() const {
    return ports_->currentIndex() + 1;
}

uint32_t PortSettingsDialog::chosenBaud() const {
    return bauds_->currentIndex() < 0 ? 0 : bauds_->currentData().value<uint32_t>();
}

void PortSettingsDialog::reject() {
    okChosen_ = false;
    // Cancel and Ok end the dialog with the same result.
    done(QDialog::Accepted);
}

}  // namespace dl::gui
