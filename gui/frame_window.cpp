#include "frame_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "about_dialog.h"
#include "app/dispatch.h"
#include "app/menus.h"
#include "base/commands.h"
#include "base/language.h"
#include "release_notes_window.h"
#include "session/session.h"
#include "session_window.h"

namespace dl::gui {

namespace {

QString qstr(const std::string& s) {
    return QString::fromStdString(s);
}

std::optional<MenuKey> menuKeyOf(const QKeyEvent* e) {
    if (e->modifiers() & ~Qt::KeypadModifier) return std::nullopt;
    switch (e->key()) {
        case Qt::Key_Home:
            return MenuKey::home;
        case Qt::Key_PageUp:
            return MenuKey::pageUp;
        case Qt::Key_F1:
            return MenuKey::f1;
        case Qt::Key_F2:
            return MenuKey::f2;
        case Qt::Key_F3:
            return MenuKey::f3;
        case Qt::Key_F4:
            return MenuKey::f4;
        case Qt::Key_F5:
            return MenuKey::f5;
        case Qt::Key_F6:
            return MenuKey::f6;
        default:
            return std::nullopt;
    }
}

// A session window's default size: no arrangement makes one smaller.
constexpr QSize kLeastWindow(200, 100);

// A rectangle as the settings file holds it (any 32-bit values), in the range a window can take; an
// empty one takes `fallback`'s size.
QRect savedRect(const Rect& r, QSize fallback) {
    static constexpr int64_t far = 1 << 24;
    const auto at = [](int32_t v) { return static_cast<int>(std::clamp<int64_t>(v, -far, far)); };
    const int64_t w = int64_t(r.right) - r.left, h = int64_t(r.bottom) - r.top;
    return QRect(at(r.left), at(r.top), w > 0 ? static_cast<int>(std::min(w, far)) : fallback.width(),
                 h > 0 ? static_cast<int>(std::min(h, far)) : fallback.height());
}

// Whether `room` shows enough of `r` to take hold of it: a corner of 64 by 32 pixels (or all of a
// smaller one).
bool showsEnough(const QRect& room, const QRect& r) {
    const QRect seen = room.intersected(r);
    return seen.width() >= std::min(64, r.width()) && seen.height() >= std::min(32, r.height());
}

// `r` no larger than `room` and moved inside it.
QRect movedInto(QRect r, const QRect& room) {
    r.setSize(r.size().boundedTo(room.size()));
    r.moveLeft(std::clamp(r.left(), room.left(), room.right() + 1 - r.width()));
    r.moveTop(std::clamp(r.top(), room.top(), room.bottom() + 1 - r.height()));
    return r;
}

bool checkable(uint16_t id) {
    return id == cmdLogToFile || id == cmdLogTimestamps || id == cmdReconnect || (id >= cmdOpenCom1 && id <= cmdOpenCom4) ||
           (id >= cmdWindowMenuFirst && id < cmdWindowMenuFirst + 4);
}

}  // namespace

FrameWindow::FrameWindow(QWidget* parent) : QMainWindow(parent), mdi_(new QMdiArea(this)) {
    setWindowTitle(qstr(appTitle()));
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(mdi_);
    // The saved frame may be as narrow as 100 pixels: the MDI area must not hold it wider.
    mdi_->setMinimumSize(1, 1);
    menuBar()->setMinimumWidth(0);
    FrameMenuInput titles;
    titles.korean = koreanUi.load();  // our own menu's title goes in the run's language
    const auto layout = frameMenu(titles);
    for (size_t i = 0; i < layout.size(); ++i) {
        QMenu* m = menuBar()->addMenu(qstr(layout[i].title));
        popups_.push_back(m);
        connect(m, &QMenu::aboutToShow, this, [this, i] { refreshMenu(static_cast<int>(i)); });
        connect(m, &QMenu::triggered, this, [this](QAction* a) { menuChosen(a->data().value<uint16_t>()); });
        refreshMenu(static_cast<int>(i));
    }
    // The named keys must reach the active session window wherever the focus is inside the frame,
    // before the MDI area's own scrolling keys (Page Up, Home) can take them.
    qApp->installEventFilter(this);
}

FrameWindow::~FrameWindow() {
    qApp->removeEventFilter(this);
    // While the MDI area still stands, so each session stores where its window was.
    for (QMdiSubWindow* sub : sessionSubWindows()) static_cast<SessionWindow*>(sub->widget())->release();
    if (notes_) delete notes_.data();
}

std::vector<QMdiSubWindow*> FrameWindow::sessionSubWindows() const {
    std::vector<QMdiSubWindow*> out;
    for (QMdiSubWindow* sub : mdi_->subWindowList(QMdiArea::CreationOrder)) {
        auto* w = qobject_cast<SessionWindow*>(sub->widget());
        if (w && sessionOf(w->id())) out.push_back(sub);
    }
    return out;
}

SessionWindow* FrameWindow::sessionWindow(WindowId id) const {
    QMdiSubWindow* sub = subWindowOf(id);
    return sub ? static_cast<SessionWindow*>(sub->widget()) : nullptr;
}

QMdiSubWindow* FrameWindow::subWindowOf(WindowId id) const {
    if (id == 0) return nullptr;
    for (QMdiSubWindow* sub : sessionSubWindows())
        if (static_cast<SessionWindow*>(sub->widget())->id() == id) return sub;
    return nullptr;
}

WindowId FrameWindow::activeSessionWindow() const {
    // currentSubWindow, unlike activeSubWindow, still answers while a dialog has the focus.
    QMdiSubWindow* sub = mdi_->currentSubWindow();
    auto* w = sub ? qobject_cast<SessionWindow*>(sub->widget()) : nullptr;
    return w && sessionOf(w->id()) ? w->id() : 0;
}

std::vector<WindowId> FrameWindow::sessionWindows() const {
    std::vector<WindowId> out;
    const auto order = mdi_->subWindowList(QMdiArea::StackingOrder);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        auto* w = qobject_cast<SessionWindow*>((*it)->widget());
        if (w && sessionOf(w->id())) out.push_back(w->id());
    }
    return out;
}

std::optional<Rect> FrameWindow::placementOf(WindowId id) const {
    for (QMdiSubWindow* sub : mdi_->subWindowList()) {
        auto* w = qobject_cast<SessionWindow*>(sub->widget());
        if (!w || w->id() != id) continue;
        const QRect g = sub->isMinimized() || sub->isMaximized() ? sub->normalGeometry() : sub->geometry();
        if (!g.isValid()) return std::nullopt;
        return Rect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
    }
    return std::nullopt;
}

WindowId FrameWindow::openSessionWindow(const QString& title, int slot) {
    auto* w = new SessionWindow;
    if (!w->attach(slot)) {
        delete w;
        return 0;
    }
    QMdiSubWindow* sub = mdi_->addSubWindow(w);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(title);
    // A saved place the screens cannot show (a size of millions, a corner far off) is brought back
    // within the desktop's size, so the window paints and can be reached.
    const Rect r = sessionTable[slot].windowRect;
    QRect want = savedRect(r, QSize(1, 1));
    QRect desk;
    for (const QScreen* screen : QGuiApplication::screens()) desk |= screen->availableGeometry();
    if (!desk.isEmpty()) {
        desk.moveTopLeft(QPoint(0, 0));
        want.setSize(want.size().boundedTo(desk.size()));
        if (!showsEnough(desk, want)) want = movedInto(want, desk);
    }
    sub->setGeometry(want);
    sub->show();
    return w->id();
}

void FrameWindow::refreshMenu(int index) {
    FrameMenuInput in = frameMenuInput(activeSessionWindow(), koreanUi.load());
    const WindowId active = activeSessionWindow();
    for (QMdiSubWindow* sub : sessionSubWindows()) {
        if (static_cast<SessionWindow*>(sub->widget())->id() == active)
            in.activeWindowIndex = static_cast<int>(in.windowTitles.size());
        in.windowTitles.push_back(sub->windowTitle().toStdString());
    }
    const MenuPopup popup = frameMenu(in).at(index);
    QMenu* m = popups_.at(index);
    m->clear();
    for (const MenuItem& item : popup.items) {
        if (item.isSeparator()) {
            m->addSeparator();
            continue;
        }
        QAction* a = m->addAction(SessionWindow::menuText(item.text));
        a->setData(QVariant::fromValue<uint16_t>(item.id));
        a->setEnabled(item.enabled);
        a->setCheckable(checkable(item.id));
        a->setChecked(item.checked);
    }
}

void FrameWindow::menuChosen(uint16_t id) {
    // Copy and paste belong to the window's selection and the clipboard: the front end's own.
    if (SessionWindow* w = sessionWindow(activeSessionWindow()); w && id >= cmdCopy && id <= cmdSelectAll) {
        if (id == cmdCopy) w->copySelection();
        if (id == cmdPaste) w->paste();
        if (id == cmdSelectAll) w->selectAll();
        return;
    }
    if (id >= cmdWindowMenuFirst && id < cmdWindowMenuFirst + 4) {
        const auto subs = sessionSubWindows();
        const size_t i = id - cmdWindowMenuFirst;
        if (i < subs.size()) mdi_->setActiveSubWindow(subs[i]);
        return;
    }
    frameCommand(id, 0);
}

bool FrameWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) return false;
    auto* press = static_cast<QKeyEvent*>(event);
    // Alt+F4 is what the Close item names: it closes the active session window. With none open, and
    // where no window manager takes the key for itself, it closes the frame as it would anywhere.
    if (press->key() == Qt::Key_F4 && press->modifiers() == Qt::AltModifier) {
        if (activeSessionWindow()) {
            frameCommand(cmdClose, 0);
        } else {
            close();
        }
        return true;
    }
    // The MDI system keys: the next and the previous session window.
    if (press->key() == Qt::Key_F6 && (press->modifiers() & ~Qt::ShiftModifier) == Qt::ControlModifier) {
        if (press->modifiers() & Qt::ShiftModifier)
            mdi_->activatePreviousSubWindow();
        else
            mdi_->activateNextSubWindow();
        return true;
    }
    const auto key = menuKeyOf(press);
    const WindowId active = key ? activeSessionWindow() : 0;
    if (!active) return false;
    // The menus grey an item that cannot act in the session's state; its key is as inert.
    const PortSession* s = sessionOf(active);
    if (s && menuKeyEnabled(*key, s->connected.load() != 0, s->programming.load() != 0))
        sessionCommand(active, menuKeyCommand(*key), 0);
    return true;
}

void FrameWindow::arrange(uint16_t command) {
    switch (command) {
        case cmdArrangeIcons:
            arrangeIcons();
            break;
        case cmdCascade:
            cascade();
            break;
        case cmdTileHorizontal:
            tile(true);
            break;
        case cmdTileVertical:
            tile(false);
            break;
        default:
            break;
    }
}

// QMdiArea's own cascade shrinks every window to its least size (and those sizes are saved); an MDI
// cascade gives each window one standard size from the client area, stepped by a title bar.
void FrameWindow::cascade() {
    std::vector<QMdiSubWindow*> shown;
    for (QMdiSubWindow* sub : sessionSubWindows())
        if (!sub->isMinimized() && !sub->isHidden()) shown.push_back(sub);
    if (shown.empty()) return;
    // The active window is placed last, so it ends on top.
    if (auto it = std::find(shown.begin(), shown.end(), mdi_->currentSubWindow()); it != shown.end())
        std::rotate(it, it + 1, shown.end());
    const QRect area = mdi_->viewport()->rect();
    const int step =
        std::max(8, shown.front()->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, shown.front()));
    const int n = static_cast<int>(shown.size());
    const QSize size(std::max(kLeastWindow.width(), area.width() * 3 / 4 - step * (n - 1)),
                     std::max(kLeastWindow.height(), area.height() * 3 / 4 - step * (n - 1)));
    for (int i = 0; i < n; ++i) {
        QMdiSubWindow* sub = shown[static_cast<size_t>(i)];
        if (sub->isMaximized()) sub->showNormal();
        sub->setGeometry(QRect(QPoint(step * i, step * i), size));
        sub->raise();
    }
    mdi_->setActiveSubWindow(shown.back());
}

// QMdiArea's own tiling picks a grid; the menu offers the two directions, one band per window.
void FrameWindow::tile(bool stacked) {
    std::vector<QMdiSubWindow*> shown;
    for (QMdiSubWindow* sub : sessionSubWindows())
        if (!sub->isMinimized() && !sub->isHidden()) shown.push_back(sub);
    if (shown.empty()) return;
    const QRect area = mdi_->viewport()->rect();
    const int n = static_cast<int>(shown.size());
    for (int i = 0; i < n; ++i) {
        QMdiSubWindow* sub = shown[i];
        if (sub->isMaximized()) sub->showNormal();
        QRect band = stacked ? QRect(0, area.height() * i / n, area.width(),
                                     area.height() * (i + 1) / n - area.height() * i / n)
                             : QRect(area.width() * i / n, 0,
                                     area.width() * (i + 1) / n - area.width() * i / n, area.height());
        sub->setGeometry(band);
    }
}

// Minimised windows in a row along the bottom edge, left to right.
void FrameWindow::arrangeIcons() {
    const QRect area = mdi_->viewport()->rect();
    int x = 0, y = area.bottom() + 1;
    for (QMdiSubWindow* sub : sessionSubWindows()) {
        if (!sub->isMinimized()) continue;
        const QSize s = sub->size();
        if (x > 0 && x + s.width() > area.width()) {
            x = 0;
            y -= s.height();
        }
        sub->move(x, y - s.height());
        x += s.width();
    }
}

void FrameWindow::showReleaseNotes() {
    if (notes_) {
        if (notes_->isMinimized()) notes_->showNormal();
        notes_->show();
        notes_->raise();
        notes_->activateWindow();
        return;
    }
    notes_ = new ReleaseNotesWindow(notesFolders_);
    notes_->show();
}

void FrameWindow::closeReleaseNotes() {
    if (notes_) notes_->close();
}

void FrameWindow::showAbout() {
    AboutDialog about(this);
    about.exec();
}

void FrameWindow::setAlwaysOnTop(bool on) {
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    // Changing a window flag hides the window.
    if (shown) show();
}

Rect FrameWindow::frameRect() const {
    // Outer position and inner size: what placeAt takes back, so the frame neither drifts nor grows
    // from one run to the next.
    const QPoint p = pos();
    const QSize s = size();
    return Rect{p.x(), p.y(), p.x() + s.width(), p.y() + s.height()};
}

void FrameWindow::placeAt(const Rect& r) {
    QRect want = savedRect(r, minimumSizeHint());
    // A saved place is kept where a screen shows enough of it to grab; one on a screen that is gone (or
    // off every screen) is moved onto the nearest screen, and no size is kept that no screen can show.
    const QScreen* nearest = nullptr;
    qint64 best = 0;
    QRect all;
    bool seen = false;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->availableGeometry();
        all |= g;
        seen = seen || showsEnough(g, want);
        const QPoint d = g.center() - want.center();
        const qint64 far = qint64(d.x()) * d.x() + qint64(d.y()) * d.y();
        if (!nearest || far < best) nearest = screen, best = far;
    }
    if (nearest) {
        want.setSize(want.size().boundedTo(all.size()));
        if (!seen) want = movedInto(want, nearest->availableGeometry());
    }
    move(want.topLeft());
    resize(want.size());
}

void FrameWindow::closeEvent(QCloseEvent* event) {
    if (!closeAllSessions()) {
        event->ignore();
        return;
    }
    event->accept();
    if (onClosed) onClosed();
}

}  // namespace dl::gui
