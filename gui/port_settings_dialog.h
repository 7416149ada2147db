// The "Serial Port Settings" dialog: the port (COM1..COM4) and the baud rate of one session. The port
// list is greyed while the session is connected, as an open line cannot change its port. Only Ok
// takes the choice; Cancel, Enter (Cancel is the default button) and Escape end it taking nothing.
// Both ways end the dialog alike: the caller applies the session's settings again in either case.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QComboBox;
class QPushButton;

namespace dl::gui {

class PortSettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `port` 1..4 and `baud` as the session has them.
    PortSettingsDialog(int port, uint32_t baud, bool connected, QWidget* parent = nullptr);

    bool okChosen() const { return okChosen_; }
    int chosenPort() const;  // 1..4
    uint32_t chosenBaud() const;
    // The device the chosen port is to open: one of the devices present, or a path typed in.
    std::string chosenDevice() const;

    QComboBox* portList() const { return ports_; }
    QComboBox* baudList() const { return bauds_; }
    QComboBox* deviceList() const { return devices_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    static constexpr uint32_t baudValues[3] = {38400, 57600, 115200};
    // Offered after those three: the other speeds a line takes here.
    static constexpr uint32_t moreBaudValues[] = {9600,    19200,   230400,  460800, 921600,
                                                  1000000, 1500000, 2000000, 3000000};

public slots:
    void reject() override;

private:
    QComboBox* ports_;
    QComboBox* bauds_;
    QComboBox* devices_;
    void showDeviceOf(int port);
    QPushButton* ok_;
    QPushButton* cancel_;
    bool okChosen_ = false;
};

}  // namespace dl::gui
