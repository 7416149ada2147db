// SIGTERM and SIGINT ask the program to end as File, Exit does: the close sequence runs with its guard,
// so a programming run is not cut off unasked and the settings are saved. The request waits until no
// dialog is open (File, Exit cannot be chosen while one is, and closing one would answer it). A second
// signal ends the program at once.
//
// The handler only writes a byte to a pipe; the event loop does the rest.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace dl::gui {

class ExitSignals : public QObject {
    Q_OBJECT
public:
    // `exitRequested` runs on the GUI thread, once per first signal.
    explicit ExitSignals(std::function<void()> exitRequested, QObject* parent = nullptr);
    ~ExitSignals() override;

private:
    void received();

    std::function<void()> exitRequested_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* waitForDialogs_ = nullptr;
};

}  // namespace dl::gui
