#include "session_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include "app/dispatch.h"
#include "app/menus.h"
#include "app/session_status.h"
#include "base/commands.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "base/texts.h"
#include "cp437.h"
#include "exchange/data_stream.h"
#include "progress_panel.h"
#include "serial/port_write.h"
#include "serial/session_log.h"
#include "session/session.h"
#include "session/terminal.h"
#include "terminal_view.h"

namespace dl::gui {

QPointer<SessionWindow> SessionWindow::rightClickWindow_;
QPointer<QMenu> SessionWindow::popupMenu_;

namespace {

SessionWindow* sessionWindowAt(QPoint global) {
    for (QWidget* w = QApplication::widgetAt(global); w; w = w->parentWidget())
        if (auto* s = qobject_cast<SessionWindow*>(w)) return s;
    return nullptr;
}

}  // namespace

SessionWindow::SessionWindow(QWidget* parent)
    : QWidget(parent),
      view_(new TerminalView(this)),
      vbar_(new QScrollBar(Qt::Vertical, this)),
      hbar_(new QScrollBar(Qt::Horizontal, this)),
      status_(new QLabel(this)),
      pasteTimer_(new QTimer(this)) {
    connect(pasteTimer_, &QTimer::timeout, this, &SessionWindow::pasteTick);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(0);
    grid->addWidget(view_, 0, 0);
    grid->addWidget(vbar_, 0, 1);
    grid->addWidget(hbar_, 1, 0);
    // The status line lies under the screen and its bars, so it never covers the text or the panel.
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setTextFormat(Qt::PlainText);
    status_->setContentsMargins(4, 1, 4, 1);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    grid->addWidget(status_, 2, 0, 1, 2);
    grid->setColumnStretch(0, 1);  // the screen takes what the window gains, not the bar's column
    grid->setRowStretch(0, 1);
    auto* statusTimer = new QTimer(this);
    connect(statusTimer, &QTimer::timeout, this, &SessionWindow::refreshStatus);
    statusTimer->start(250);
    for (QScrollBar* bar : {vbar_, hbar_}) {
        bar->setFocusPolicy(Qt::NoFocus);
        bar->setTracking(false);  // a dragged thumb scrolls when it is let go
        bar->setRange(0, 0);
        bar->hide();
        connect(bar, &QAbstractSlider::actionTriggered, this, [this, bar](int a) { barAction(bar, a); });
        connect(bar, &QAbstractSlider::sliderReleased, this, [this, bar] {
            scrollAxis(bar == vbar_, static_cast<uint16_t>(ScrollAction::thumbPosition),
                       static_cast<uint16_t>(bar->sliderPosition()));
        });
    }
    connect(view_, &TerminalView::resized, this, &SessionWindow::clientResized);
    const QSize cell = TerminalView::cellSize();
    // Room for the whole screen; the frame may make the window smaller.
    resize(cell.width() * kScreenColumns, cell.height() * kScreenRows);
}

SessionWindow::~SessionWindow() {
    detach();
}

bool SessionWindow::attach(int slot) {
    attached_ = createSession(id(), slot) == 1;
    if (attached_) {
        slot_ = slot;
        view_->setSession(sessionOf(id()));
        clientResized(view_->size());
        refreshStatus();
    }
    return attached_;
}

void SessionWindow::refreshStatus() {
    if (!attached_) return;
    QString now = QString::fromStdString(sessionStatus(slot_));
    if (const size_t back = view_->scrollBack(); back > 0) {
        PortSession* s = sessionOf(id());
        now = QString::fromStdString(
                  formatText(Text::statusScrollBack, unsigned(back), unsigned(s ? historyLines(*s) : 0))) +
              QStringLiteral("  |  ") + now;
    }
    if (now != status_->text()) status_->setText(now);
}

void SessionWindow::detach() {
    if (!attached_) return;
    attached_ = false;
    view_->setSession(nullptr);
    view_->setCaret(false, {});
    if (popupMenu_ && popupMenu_->parent() == this) popupMenu_->close();
    stopSessionLog(id());  // a log belongs to its window
    // destroySession asks the host for this window's placement, so the frame still knows it here.
    destroySession(id());
}

bool SessionWindow::caretVisible() const {
    return view_->caretShown();
}

void SessionWindow::setCaret(bool on) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s || !s->connected.load()) {
        view_->setCaret(false, {});
        return;
    }
    // The caret belongs to the focused window: a connect in the background leaves it to the focus.
    s->caretShown = on && hasFocus() ? 1 : 0;
    placeCaret();
}

void SessionWindow::placeCaret() {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    const bool shown = s->connected.load() && s->caretShown == 1;
    const CursorPos at = cursorOf(*s);
    view_->setCaret(shown, QPoint(at.column, at.row));
}

void SessionWindow::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    setCaret(true);
}

void SessionWindow::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    if (PortSession* s = attached_ ? sessionOf(id()) : nullptr) s->caretShown = 0;
    view_->setCaret(false, view_->caretCell());
}

void SessionWindow::clientResized(QSize client) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    ScrollAxis v{s->charHeight.load(), 0, 0, s->vScrollPos.load()};
    resizeAxis(v, kScreenRows, client.height());
    ScrollAxis h{s->charWidth.load(), 0, 0, s->hScrollPos.load()};
    resizeAxis(h, kScreenColumns, client.width());
    s->clientHeight = v.client;
    s->vScrollMax = v.max;
    s->vScrollPos = v.pos;
    s->clientWidth = h.client;
    s->hScrollMax = h.max;
    s->hScrollPos = h.pos;
    for (auto [bar, axis] : {std::pair{vbar_, v}, std::pair{hbar_, h}}) {
        bar->setRange(0, axis.max);
        bar->setPageStep(std::max(1, axis.client));
        bar->setSingleStep(std::max(1, axis.cell));
        bar->setValue(axis.pos);
        bar->setVisible(axis.max > 0);  // a range of nothing hides the bar
    }
    view_->setPanelPlace(panelAfterResize(client.width(), client.height()));
    ++scrollSerial_;
    view_->update();
    placeCaret();
}

void SessionWindow::barAction(QScrollBar* bar, int action) {
    const bool vertical = bar == vbar_;
    ScrollAction code;
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            code = ScrollAction::lineUp;
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            code = ScrollAction::lineDown;
            break;
        case QAbstractSlider::SliderPageStepSub:
            code = ScrollAction::pageUp;
            break;
        case QAbstractSlider::SliderPageStepAdd:
            code = ScrollAction::pageDown;
            break;
        case QAbstractSlider::SliderToMinimum:
            code = ScrollAction::top;
            break;
        case QAbstractSlider::SliderToMaximum:
            code = ScrollAction::bottom;
            break;
        case QAbstractSlider::SliderMove:
            // A thumb being dragged is only tracked; a wheel over the bar moves it at once.
            code = bar->isSliderDown() ? ScrollAction::thumbTrack : ScrollAction::thumbPosition;
            break;
        default:
            return;
    }
    if (code == ScrollAction::thumbTrack) return;
    scrollAxis(vertical, static_cast<uint16_t>(code), static_cast<uint16_t>(bar->sliderPosition()));
}

void SessionWindow::scrollVertical(uint16_t action, uint16_t thumb) {
    scrollAxis(true, action, thumb);
}

void SessionWindow::scrollHorizontal(uint16_t action, uint16_t thumb) {
    scrollAxis(false, action, thumb);
}

void SessionWindow::scrollAxis(bool vertical, uint16_t action, uint16_t thumb) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    auto& pos = vertical ? s->vScrollPos : s->hScrollPos;
    const ScrollAxis axis{vertical ? s->charHeight.load() : s->charWidth.load(),
                          vertical ? s->clientHeight : s->clientWidth,
                          vertical ? s->vScrollMax : s->hScrollMax, pos.load()};
    QScrollBar* bar = vertical ? vbar_ : hbar_;
    const auto change = scrollChange(axis, action, thumb);
    if (!change) {
        bar->setSliderPosition(axis.pos);  // an ignored request leaves the thumb where the view is
        return;
    }
    pos = axis.pos + *change;
    ++scrollSerial_;
    if (*change != 0) {
        if (vertical)
            view_->scroll(0, -*change);
        else
            view_->scroll(-*change, 0);
    }
    bar->setSliderPosition(pos.load());
    bar->setValue(pos.load());
    placeCaret();
}

QString SessionWindow::menuText(const std::string& text) {
    const QString in = QString::fromStdString(text);
    // The key name at the end of a text goes into the menu's shortcut column, so the keys stand in a
    // column whatever font draws the row (the texts pad with spaces and tabs for a fixed one).
    static const QStringList keys{QStringLiteral("Ctrl+Shift+C"),
                                  QStringLiteral("Ctrl+Shift+V"),
                                  QStringLiteral("Ctrl+Shift+A"),
                                  QStringLiteral("Alt+F4"),
                                  QStringLiteral("Alt F4"),
                                  QStringLiteral("PgUp"),
                                  QStringLiteral("Home"),
                                  QStringLiteral("F1"),
                                  QStringLiteral("F2"),
                                  QStringLiteral("F3"),
                                  QStringLiteral("F4"),
                                  QStringLiteral("F5"),
                                  QStringLiteral("F6")};
    for (const QString& key : keys) {
        if (!in.endsWith(key)) continue;
        qsizetype end = in.size() - key.size();
        if (end == 0 || !in[end - 1].isSpace()) continue;
        while (end > 0 && in[end - 1].isSpace()) --end;
        return in.left(end) + QLatin1Char('\t') + key;
    }
    return in;
}

QString SessionWindow::recentRowText(const std::string& text) {
    // " &N path": the digit is the row's mnemonic; an "&" of the path is shown as it is.
    const QString in = QString::fromStdString(text);
    const qsizetype space = in.indexOf(QLatin1Char(' '), 1);
    if (space < 0) return in;
    QString path = in.mid(space + 1);
    path.replace(QLatin1Char('&'), QStringLiteral("&&")).replace(QLatin1Char('\t'), QLatin1Char(' '));
    return in.left(space + 1) + path;
}

void SessionWindow::showContextMenu(QPoint at) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    SessionMenuInput in;
    in.connected = s->connected.load() != 0;
    in.programming = s->programming.load() != 0;
    in.korean = koreanUi.load();
    for (int i = 0; i < recentCount; ++i) in.recentFiles.push_back(recentFiles[static_cast<size_t>(i)]);
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const MenuItem& item : sessionContextMenu(in)) {
        if (item.isSeparator()) {
            menu->addSeparator();
            continue;
        }
        const bool recent = item.id >= cmdRecentFileFirst && item.id <= cmdRecentFileLast;
        QAction* a = menu->addAction(recent ? recentRowText(item.text) : menuText(item.text));
        a->setData(QVariant::fromValue<uint16_t>(item.id));
        a->setEnabled(item.enabled);
    }
    // The command runs after the menu has gone, as a chosen item arrives after tracking ended.
    connect(menu, &QMenu::triggered, this, [this](QAction* a) {
        const uint16_t command = a->data().value<uint16_t>();
        QMetaObject::invokeMethod(
            this, [this, command] { sessionCommand(id(), command, 0); }, Qt::QueuedConnection);
    });
    // A right press outside the open menu closes it and opens a fresh one where it was made (in
    // whichever session window lies there); the menu itself would swallow that press.
    menu->installEventFilter(this);
    popupMenu_ = menu;
    menu->popup(view_->mapToGlobal(at));
}

bool SessionWindow::eventFilter(QObject* watched, QEvent* event) {
    auto* menu = qobject_cast<QMenu*>(watched);
    if (!menu || event->type() != QEvent::MouseButtonPress) return QWidget::eventFilter(watched, event);
    auto* press = static_cast<QMouseEvent*>(event);
    const QPoint global = press->globalPosition().toPoint();
    if (press->button() != Qt::RightButton || menu->geometry().contains(global)) return false;
    SessionWindow* target = sessionWindowAt(global);
    rightClickWindow_ = target;
    if (!target) {
        menu->close();
        return true;
    }
    // The fresh menu opens before the old one closes: with no popup left in between, the frame
    // would lose the activation, and the fresh menu with it.
    QPointer<SessionWindow> guard(target);
    QPointer<QMenu> old(menu);
    QMetaObject::invokeMethod(
        target,
        [guard, old, global] {
            if (!guard) return;
            guard->showContextMenu(guard->view_->mapFromGlobal(global));
            if (old) old->close();
        },
        Qt::QueuedConnection);
    return true;
}

void SessionWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        anchor_ = view_->cellAt(view_->mapFrom(this, event->position().toPoint()));
        view_->setSelection(anchor_, anchor_);
        selecting_ = true;
        return;
    }
    if (event->button() != Qt::RightButton) return QWidget::mousePressEvent(event);
    rightClickWindow_ = this;
}

void SessionWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_ || !(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
    view_->setSelection(anchor_, view_->cellAt(view_->mapFrom(this, event->position().toPoint())));
}

void SessionWindow::copySelection() {
    if (!view_->hasSelection()) return;
    QGuiApplication::clipboard()->setText(view_->selectedText());
}

void SessionWindow::selectAll() {
    anchor_ = QPoint(0, 0);
    view_->setSelection(anchor_, QPoint(kScreenColumns - 1, kScreenRows - 1));
}

void SessionWindow::extendSelection(int dx, int dy) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    if (!view_->hasSelection()) {
        const CursorPos at = cursorOf(*s);
        anchor_ = QPoint(at.column, at.row);
        view_->setSelection(anchor_, anchor_);
    }
    const QPoint end = view_->selectionEnd() + QPoint(dx, dy);
    view_->setSelection(
        anchor_, QPoint(std::clamp(end.x(), 0, kScreenColumns - 1), std::clamp(end.y(), 0, kScreenRows - 1)));
}

void SessionWindow::paste() {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    // Typed text inside an exchange would land in its data: refused, as a key the menus grey is inert.
    if (!s || !s->connected.load() || exchangeInProgress()) {
        QApplication::beep();
        return;
    }
    QString text = QGuiApplication::clipboard()->text();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\r")).replace(QLatin1Char('\n'), QLatin1Char('\r'));
    for (QChar c : text)
        pasteQueue_.push_back(c == QLatin1Char('\r')   ? uint8_t{13}
                              : c == QLatin1Char('\t') ? uint8_t{9}
                                                       : charToCp437(c));
    if (!pasteTimer_->isActive()) pasteTimer_->start(10);
}

void SessionWindow::pasteTick() {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s || !s->connected.load() || exchangeInProgress() || pasteQueue_.empty()) {
        pasteQueue_.clear();
        pasteTimer_->stop();
        return;
    }
    // The characters one tick of the timer holds on the line (ten bits each): typed at the line's
    // pace, the box's console never has to drop any.
    const size_t perTick = std::max<size_t>(1, s->baudRate.load() / 10 / 100);
    for (size_t i = 0; i < perTick && !pasteQueue_.empty(); ++i) {
        typeChar(id(), pasteQueue_.front());
        pasteQueue_.pop_front();
    }
}

void SessionWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        selecting_ = false;
        // A click that selected nothing but its own cell selects nothing.
        if (view_->hasSelection() && view_->selectionEnd() == anchor_) view_->clearSelection();
        return;
    }
    if (event->button() != Qt::RightButton) return QWidget::mouseReleaseEvent(event);
    // The press grabbed the mouse for this window; the release belongs to the window under it.
    const QPoint global = event->globalPosition().toPoint();
    // Released over the frame's empty background (or anywhere but a session window): nothing opens.
    SessionWindow* target = sessionWindowAt(global);
    if (!target || rightClickWindow_ != target) {
        rightClickWindow_ = nullptr;
        return;
    }
    if (popupMenu_) popupMenu_->close();
    target->showContextMenu(target->view_->mapFromGlobal(global));
}

void SessionWindow::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    // Past the screen's top the wheel goes on into the scroll-back; back down, it leaves it first.
    for (int i = 0; s && i < std::abs(steps) * 3; ++i) {
        if (steps > 0 && s->vScrollPos.load() == 0)
            scrollBackBy(1);
        else if (steps < 0 && view_->scrollBack() > 0)
            scrollBackBy(-1);
        else
            scrollVertical(static_cast<uint16_t>(steps > 0 ? ScrollAction::lineUp : ScrollAction::lineDown),
                           0);
    }
    event->accept();
}

void SessionWindow::scrollBackBy(long lines) {
    PortSession* s = attached_ ? sessionOf(id()) : nullptr;
    if (!s) return;
    const long most = static_cast<long>(historyLines(*s));
    view_->setScrollBack(
        static_cast<size_t>(std::clamp(static_cast<long>(view_->scrollBack()) + lines, 0L, most)));
    refreshStatus();
}

bool SessionWindow::focusNextPrevChild(bool) {
    return false;  // Tab is a character for the box, not a move to another widget
}

void SessionWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F4 && event->modifiers() == Qt::ControlModifier) {
        sessionCommand(id(), cmdClose, 0);
        return;
    }
    // Copy and paste on the keys terminals use; Ctrl+C alone stays the box's interrupt.
    const auto mods = event->modifiers() & ~Qt::KeypadModifier;
    const bool ctrlShift = mods == (Qt::ControlModifier | Qt::ShiftModifier);
    if ((ctrlShift && event->key() == Qt::Key_C) ||
        (mods == Qt::ControlModifier && event->key() == Qt::Key_Insert)) {
        copySelection();
        return;
    }
    if ((ctrlShift && event->key() == Qt::Key_V) ||
        (mods == Qt::ShiftModifier && event->key() == Qt::Key_Insert)) {
        paste();
        return;
    }
    if (ctrlShift && event->key() == Qt::Key_A) {
        selectAll();
        return;
    }
    if (mods == Qt::ShiftModifier) {
        switch (event->key()) {
            case Qt::Key_Left:
                return extendSelection(-1, 0);
            case Qt::Key_Right:
                return extendSelection(1, 0);
            case Qt::Key_Up:
                return extendSelection(0, -1);
            case Qt::Key_Down:
                return extendSelection(0, 1);
            default:
                break;
        }
    }
    // Shift+PgUp and Shift+PgDn page through the scroll-back (PgUp alone stays the upload key).
    if ((event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier) {
        const PortSession* s = attached_ ? sessionOf(id()) : nullptr;
        const int rows = s && s->charHeight.load() > 0 ? s->clientHeight / s->charHeight.load() : kScreenRows;
        const long page = std::max(1, rows - 1);
        scrollBackBy(event->key() == Qt::Key_PageUp ? page : -page);
        return;
    }
    const auto code = typedByte(event->key(), event->modifiers(), event->text());
    if (!code) {
        event->ignore();
        return;
    }
    typeChar(id(), *code);
}

std::optional<uint8_t> SessionWindow::typedByte(int key, Qt::KeyboardModifiers modifiers,
                                                const QString& text) {
    modifiers &= ~Qt::KeypadModifier;
    // Alt with a key is the menus' (a mnemonic) or nobody's: never a character for the box.
    if (modifiers & (Qt::AltModifier | Qt::MetaModifier)) return std::nullopt;
    const bool ctrl = modifiers & Qt::ControlModifier;
    switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return ctrl ? 10 : 13;  // Ctrl+Enter is a line feed, as the platform's characters are
        case Qt::Key_Backspace:
            return ctrl ? 0x7F : 8;
        case Qt::Key_Delete:
            return std::nullopt;  // no character on the platform, though X gives it DEL's text
        default:
            break;
    }
    if (ctrl) {
        // The control characters by their keys, whatever text the keyboard layer attached.
        if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<uint8_t>(key - Qt::Key_A + 1);
        switch (key) {
            case Qt::Key_At:
            case Qt::Key_2:
                return modifiers & Qt::ShiftModifier || key == Qt::Key_At ? std::optional<uint8_t>(0)
                                                                          : std::nullopt;
            case Qt::Key_BracketLeft:
                return 0x1B;
            case Qt::Key_Backslash:
                return 0x1C;
            case Qt::Key_BracketRight:
                return 0x1D;
            case Qt::Key_AsciiCircum:
                return 0x1E;
            case Qt::Key_Underscore:
                return 0x1F;
            case Qt::Key_Space:
                return ' ';
            default:
                return std::nullopt;
        }
    }
    if (text.size() == 1 && text[0].unicode() > 0 && text[0].unicode() < 0x100 && text[0].unicode() != 0x7F)
        return static_cast<uint8_t>(text[0].unicode());
    return std::nullopt;
}

void SessionWindow::closeEvent(QCloseEvent* event) {
    if (attached_ && !sessionMayClose(id())) {
        event->ignore();
        return;
    }
    detach();
    event->accept();
}

}  // namespace dl::gui
