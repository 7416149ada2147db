#include "session_window.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>

#include "app/dispatch.h"
#include "cp437.h"
#include "session/session.h"
#include "serial/port_write.h"
#include "session/terminal.h"

namespace dl::gui {

namespace {

// The session window class's background, RGB(64, 128, 192).
const QColor kBackground(64, 128, 192);

QColor fromColorRef(uint32_t c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

}  // namespace

SessionWindow::SessionWindow(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    const QSize cell = cellSize();
    // Room for the whole screen; the frame may make the window smaller.
    resize(cell.width() * kScreenColumns, cell.height() * kScreenRows);
}

SessionWindow::~SessionWindow() {
    detach();
}

QFont SessionWindow::terminalFont() {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPixelSize(15);
    return f;
}

QSize SessionWindow::cellSize() {
    const QFontMetrics fm(terminalFont());
    return QSize(fm.horizontalAdvance(QLatin1Char('M')), fm.height());
}

bool SessionWindow::attach(int slot) {
    attached_ = createSession(id(), slot) == 1;
    return attached_;
}

void SessionWindow::detach() {
    if (!attached_) return;
    attached_ = false;
    caretOn_ = false;
    // destroySession asks the host for this window's placement, so the frame still knows it here.
    destroySession(id());
}

void SessionWindow::setCaretVisible(bool on) {
    if (caretOn_ == on) return;
    caretOn_ = on;
    update();
}

void SessionWindow::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.fillRect(event->rect(), kBackground);
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    p.setFont(terminalFont());
    p.setPen(fromColorRef(s->textColor));
    const QFontMetrics fm(terminalFont());
    const int cw = s->charWidth.load(), ch = s->charHeight.load();
    if (cw <= 0 || ch <= 0) return;
    const int dx = s->hScrollPos.load(), dy = s->vScrollPos.load();
    const int first = std::max(0, (event->rect().top() + dy) / ch);
    const int last = std::min(kScreenRows - 1, (event->rect().bottom() + dy) / ch);
    for (int r = first; r <= last; ++r) {
        const std::string row = screenRow(*s, r);
        QString line(static_cast<qsizetype>(row.size()), QChar(u' '));
        for (size_t i = 0; i < row.size(); ++i) line[i] = cp437ToChar(static_cast<uint8_t>(row[i]));
        // One cell per character, whatever the font's own advance says.
        for (int c = 0; c < line.size(); ++c) {
            if (line[c] == QChar(u' ')) continue;
            p.drawText(c * cw - dx, r * ch - dy + fm.ascent(), QString(line[c]));
        }
    }
    if (caretOn_ && hasFocus()) {
        const CursorPos at = cursorOf(*s);
        p.fillRect(at.column * cw - dx, at.row * ch - dy + ch - 3, cw, 2, fromColorRef(s->textColor));
    }
}

void SessionWindow::keyPressEvent(QKeyEvent* event) {
    uint8_t code = 0;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            code = 13;
            break;
        case Qt::Key_Backspace:
            code = 8;
            break;
        default: {
            const QString t = event->text();
            if (t.size() == 1 && t[0].unicode() < 0x100) code = static_cast<uint8_t>(t[0].unicode());
            break;
        }
    }
    if (code == 0) {
        event->ignore();
        return;
    }
    typeChar(id(), code);
}

void SessionWindow::closeEvent(QCloseEvent* event) {
    if (attached_ && !sessionMayClose(id())) {
        event->ignore();
        return;
    }
    detach();
    event->accept();
}

void SessionWindow::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void SessionWindow::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

}  // namespace dl::gui
