// A port's terminal window inside the frame: draws the session's 80 x 35 screen and hands typed
// characters to the core. It knows no port: the session behind it is found by its window id, which is
// the id it was created with, and every rule (connecting, closing guard) is the core's.
//
// Its creation step claims the session slot (createSession); a refused slot means the window must not
// be shown. Closing runs the core's close guard and destroys the session at once, so the slot is free
// as soon as close() returns, long before Qt deletes the widget.
#pragma once

#include <QWidget>

#include "session/window_host.h"

class QMdiSubWindow;

namespace dl::gui {

class SessionWindow : public QWidget {
    Q_OBJECT
public:
    explicit SessionWindow(QWidget* parent = nullptr);
    ~SessionWindow() override;

    WindowId id() const { return reinterpret_cast<WindowId>(this); }
    // Claims `slot` for this window; false when the core refused it.
    bool attach(int slot);

    // Destroys the session now (the frame's own destruction, when no close sequence ran).
    void release() { detach(); }

    void setCaretVisible(bool on);
    bool caretVisible() const { return caretOn_; }

    // The terminal font, and its cell size in pixels.
    static QFont terminalFont();
    static QSize cellSize();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void detach();
    bool attached_ = false;
    bool caretOn_ = false;
};

}  // namespace dl::gui
