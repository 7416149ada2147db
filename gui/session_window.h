// A port's terminal window inside the frame: the terminal view with its two scroll bars, the keys a
// terminal user types, focus and caret, the close guard, and the right-button context menu. It knows
// no port: the session behind it is found by its window id, and every rule (what the menu offers,
// connecting, the guard's question) is the core's.
//
// Its creation step claims the session slot (createSession); a refused slot means the window must not
// be shown. Closing runs the core's close guard and destroys the session at once, so the slot is free
// as soon as close() returns, long before Qt deletes the widget.
//
// Scrolling is in pixels over the whole screen: the bars' requests go through the core's arithmetic,
// dragging a thumb scrolls only when it is let go.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <deque>
#include <optional>

#include "session/screen_geometry.h"
#include "session/window_host.h"

class QLabel;
class QTimer;
class QScrollBar;

namespace dl::gui {

class TerminalView;

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

    TerminalView* view() const { return view_; }
    QScrollBar* verticalBar() const { return vbar_; }
    QScrollBar* horizontalBar() const { return hbar_; }
    // The status line: the line, the exchange that runs or how the last one ended.
    QLabel* statusLine() const { return status_; }
    void refreshStatus();
    // Moves the view `lines` further back into the scroll-back (negative: towards the screen).
    void scrollBackBy(long lines);

    // Copy and paste: the selection to the clipboard; the clipboard typed to the box at the line's
    // pace (CR for each line end), refused with a beep while an exchange holds the line.
    void copySelection();
    void paste();
    void selectAll();

    // The core's caret requests: shown (when connected) or taken away, and moved to the cursor.
    void setCaret(bool on);
    void placeCaret();
    bool caretVisible() const;

    // A scroll-bar request with the platform's codes (line, page, thumb position, top, bottom, ...).
    void scrollVertical(uint16_t action, uint16_t thumb);
    void scrollHorizontal(uint16_t action, uint16_t thumb);

    // The context menu being shown, from whichever window opened it (at most one exists).
    static QMenu* contextMenu() { return popupMenu_; }
    // What a menu row shows: the text, with the key name at its end put in the shortcut column.
    static QString menuText(const std::string& text);
    // What a recent-image row shows: its mnemonic digit, then the path as it is ("&" included).
    static QString recentRowText(const std::string& text);
    // The byte a key sends to the box, as the platform's characters have it; none for a key that
    // makes no character (Delete, Alt with a letter).
    static std::optional<uint8_t> typedByte(int key, Qt::KeyboardModifiers modifiers, const QString& text);

    // Counts the scrolls and resizes: a repaint rectangle computed before one is out of place.
    unsigned scrollSerial() const { return scrollSerial_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void detach();
    void clientResized(QSize client);
    void barAction(QScrollBar* bar, int action);
    void scrollAxis(bool vertical, uint16_t action, uint16_t thumb);
    void showContextMenu(QPoint at);

    TerminalView* view_;
    QScrollBar* vbar_;
    QScrollBar* hbar_;
    QLabel* status_;
    QTimer* pasteTimer_;
    std::deque<uint8_t> pasteQueue_;
    QPoint anchor_;
    bool selecting_ = false;
    void extendSelection(int dx, int dy);
    void pasteTick();
    int slot_ = 0;
    bool attached_ = false;
    unsigned scrollSerial_ = 0;

    static QPointer<SessionWindow> rightClickWindow_;
    static QPointer<QMenu> popupMenu_;
};

}  // namespace dl::gui
