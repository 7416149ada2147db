// The client area of a session window: the visible part of the session's 80 x 35 screen, drawn cell
// by cell in the terminal font, the progress panel while a transfer runs, and the block caret.
//
// It reads the screen only through copies of its rows taken under the session's screen lock, never
// holding the lock while it draws, so a reader thread filling the screen is never kept waiting on
// painting. The scroll offsets are the session's; the window that holds the view changes them.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

#include "session/screen_geometry.h"

namespace dl {
struct PortSession;
}

namespace dl::gui {

class TerminalView : public QWidget {
    Q_OBJECT
public:
    explicit TerminalView(QWidget* parent = nullptr);

    void setSession(PortSession* s) { session_ = s; }

    // The screen cells that a repaint of `rect` (client coordinates) covers.
    CellSpan cellsFor(const QRect& rect) const;
    // The client rectangle of one screen cell at the current scroll offsets.
    QRect cellRect(int row, int column) const;

    // Takes the screen as it stands now for the paints to come and repaints what differs from what the
    // last take showed: when the text moved up, the window's pixels are moved up with it and only the
    // rows whose text is new are drawn. `whole`: every cell is drawn anew (the cells moved, a colour).
    // Every paint draws the rows of the last take, so what is on the window is always one take.
    void showNewText(bool whole);

    // How many lines the view shows back in the scroll-back (0: the screen itself).
    void setScrollBack(size_t back);
    size_t scrollBack() const { return back_; }

    // A selection from one cell to another (x column, y row of the view), in reading order; drawn
    // highlighted. Cleared by new text, as the lines it named move on.
    void setSelection(QPoint anchor, QPoint end);
    void clearSelection();
    bool hasSelection() const { return selected_; }
    QPoint selectionEnd() const { return selEnd_; }
    // The selected text, one line a row (trailing blanks dropped), bytes as their code page 437 glyphs.
    QString selectedText() const;
    // The cell under a point of the view, clamped to the screen.
    QPoint cellAt(QPoint pos) const;

    // The block caret: shown on `cell` (row, column) or taken away.
    void setCaret(bool shown, QPoint cell);
    bool caretShown() const { return caretShown_; }
    QPoint caretCell() const { return caretCell_; }

    // The terminal font, and its cell size in pixels.
    static QFont terminalFont();
    static QSize cellSize();

    // Beside the screen the window class's blue; the cells themselves on the system's window colour.
    static const QColor background;
    static QColor cellBackground();

    // Where this window's progress panel lies (its bottom edge, set at each resize), and the rectangle
    // a new percentage repaints.
    void setPanelPlace(const PanelPlace& place) { panelPlace_ = place; }
    QRect panelRect() const;

    // Changes to the screen made at `stamp` (paint_latency::now()) wait for the next paint; the oldest
    // of them still on the screen was made at `shown` (0: all have scrolled off unseen).
    void changedAt(int64_t stamp, int64_t shown) {
        if (!changedSince_ || stamp < changedSince_) changedSince_ = stamp;
        if (shown && (!shownSince_ || shown < shownSince_)) shownSince_ = shown;
    }

signals:
    void resized(QSize client);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct DirectPixels {
        uchar* bits;
        qsizetype bytesPerLine;
        QImage::Format format;
        QPoint offset;  // from the view's coordinates to the pixels'
        QRect rect;     // what may be written, in the view's coordinates
    };
    std::optional<DirectPixels> directPixels(QPainter& p, const QRect& rect) const;
    void drawRows(QPainter& p, const CellSpan& span, const std::optional<DirectPixels>& direct);
    void takeScreen();
    const uint8_t* shownRow(int row) const;
    void drawCaret(QPainter& p);

    PortSession* session_ = nullptr;
    PanelPlace panelPlace_{};
    bool panelDrawn_ = false;
    size_t back_ = 0;
    bool selected_ = false;
    QPoint selAnchor_, selEnd_;
    bool isSelected(int row, int column) const;  // the last paint drew the progress panel
    bool caretShown_ = false;
    QPoint caretCell_;  // x: column, y: row
    std::vector<uint8_t> shown_, before_;  // the rows of the last take, and of the one before
    uint32_t shownScrolls_ = 0;             // the screen's scroll count at the last take
    size_t shownBack_ = 0;                  // the scroll-back the last take was of
    int64_t changedSince_ = 0;
    int64_t shownSince_ = 0;
};

}  // namespace dl::gui
