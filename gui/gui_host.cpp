#include "gui_host.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "app/dispatch.h"
#include "base/profile.h"
#include "base/texts.h"
#include "frame_window.h"
#include "paint_latency.h"
#include "port_settings_dialog.h"
#include "progress_panel.h"
#include "serial/device_list.h"
#include "serial/port.h"
#include "serial/reader.h"
#include "session/session.h"
#include "session_window.h"
#include "terminal_view.h"

namespace dl::gui {

namespace {

QString qstr(const std::string& s) {
    return QString::fromStdString(s);
}

QMessageBox::Icon qtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::information:
            return QMessageBox::Information;
        case MessageIcon::warning:
            return QMessageBox::Warning;
        case MessageIcon::error:
            return QMessageBox::Critical;
        case MessageIcon::question:
            return QMessageBox::Question;
        case MessageIcon::none:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons qtButtons(MessageButtons b) {
    switch (b) {
        case MessageButtons::yesNo:
        case MessageButtons::yesNoDefaultNo:
            return QMessageBox::Yes | QMessageBox::No;
        case MessageButtons::okCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MessageButtons::ok:
            break;
    }
    return QMessageBox::Ok;
}

}  // namespace

GuiHost::GuiHost(FrameWindow* frame) : frame_(frame), repaintTimer_(new QTimer(this)) {
    repaintTimer_->setSingleShot(true);
    repaintTimer_->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire late by a twentieth
    // Screen changes are shown at the display's pace: a fast line cannot make the window paint more
    // often than it can be seen, nor fall behind.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal rate = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    frameMs_ = std::max(1, static_cast<int>(1000.0 / rate));
    periodMs_ = slowPeriodMs();
    sinceFlush_.start();
    connect(repaintTimer_, &QTimer::timeout, this, &GuiHost::flushRepaints);
    install();
}

GuiHost::~GuiHost() {
    windowHost() = WindowHost{};
}

QStringList GuiHost::fileFilters() {
    // "All Files" takes every name: on Linux many files have no extension for "*.*" to match.
    const auto named = [](Text t, const char* patterns) {
        return QStringLiteral("%1 (%2)").arg(QString::fromStdString(std::string(text(t))),
                                             QLatin1String(patterns));
    };
    return {named(Text::fileFilterSoftware, "*.img *.bin"), named(Text::fileFilterData, "*.ird *.tp *.dat"),
            named(Text::fileFilterAll, "*")};
}

void GuiHost::queue(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void GuiHost::install() {
    WindowHost& h = windowHost();
    h = WindowHost{};
    h.invalidate = [this](WindowId w, std::optional<Rect> r, bool) {
        // A change the reader hands on is as old as the wait of its bytes on the line, gathering
        // included; any other is as old as this call.
        int64_t stamp = 0;
        if (paint_latency::enabled()) {
            const auto since = lineWaitingSince().time_since_epoch();
            stamp = since.count() ? std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()
                                  : paint_latency::now();
        }
        const PortSession* session = stamp ? sessionOf(w) : nullptr;
        request(w, [&](PendingRepaint& p) {
            if (!p.since) p.since = stamp;
            // One entry a stamp: the cells and scrolls of a piece the reader hands on all carry its one
            // stamp (a large read's pieces each their own).
            if (session && (p.changes.empty() || p.changes.back().second != stamp))
                p.changes.emplace_back(session->screenScrolls.load(), stamp);
            if (!r)
                p.whole = true;
            else
                p.rect |= QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1));
        });
    };
    // What is pending is painted at the next frame of the display anyway.
    h.updateNow = [this](WindowId w) { request(w, [](PendingRepaint&) {}); };
    h.progressChanged = [this](WindowId w) { request(w, [](PendingRepaint& p) { p.panel = true; }); };
    h.placeCaret = [this](WindowId w) { request(w, [](PendingRepaint& p) { p.caret = true; }); };
    h.setTitle = [this](WindowId w, const std::string& title) {
        queue([this, w, t = qstr(title)] {
            if (QMdiSubWindow* sub = frame_->subWindowOf(w)) sub->setWindowTitle(t);
        });
    };
    h.postCommand = [this](WindowId w, uint16_t c, intptr_t p) {
        queue([=, this] { dispatchPosted(w, c, p); });
    };
    h.beep = [this] { queue([] { QApplication::beep(); }); };
    h.waitCursor = [this](bool on) { queue([this, on] { waitCursor(on); }); };
    h.messageBox = [this](WindowId o, const std::string& t, const std::string& ti, MessageIcon i,
                          MessageButtons b, const std::string& d) { return messageBox(o, t, ti, i, b, d); };
    h.chooseFile = [this](FileChoice& c) { return chooseFile(c); };
    h.createScreenFont = [](PortSession& s) {
        const QSize cell = TerminalView::cellSize();
        s.charWidth = cell.width();
        s.charHeight = cell.height();
    };
    h.windowPlacement = [this](WindowId w) { return frame_->placementOf(w); };
    h.caret = [this](WindowId w, bool on) {
        queue([this, w, on] {
            if (SessionWindow* s = frame_->sessionWindow(w)) s->setCaret(on);
        });
    };
    h.portSettingsDialog = [this](WindowId w) { portSettings(w); };

    h.openSessionWindow = [this](const std::string& title, int slot) {
        return frame_->openSessionWindow(qstr(title), slot);
    };
    h.activeSessionWindow = [this] { return frame_->activeSessionWindow(); };
    h.activateWindow = [this](WindowId w) {
        if (QMdiSubWindow* sub = frame_->subWindowOf(w)) frame_->mdiArea()->setActiveSubWindow(sub);
    };
    h.closeWindow = [this](WindowId w) {
        QMdiSubWindow* sub = frame_->subWindowOf(w);
        return !sub || sub->close();
    };
    h.postClose = [this](WindowId w) {
        queue([this, w] {
            if (QMdiSubWindow* sub = frame_->subWindowOf(w)) sub->close();
        });
    };
    h.sessionWindows = [this] { return frame_->sessionWindows(); };
    h.arrangeWindows = [this](uint16_t c) { frame_->arrange(c); };
    h.showReleaseNotes = [this] { frame_->showReleaseNotes(); };
    h.closeReleaseNotes = [this] { frame_->closeReleaseNotes(); };
    h.showAbout = [this] { frame_->showAbout(); };
    h.setAlwaysOnTop = [this](bool on) { frame_->setAlwaysOnTop(on); };
    h.postFrameClose = [this] { queue([this] { frame_->close(); }); };
}

void GuiHost::request(WindowId w, const std::function<void(PendingRepaint&)>& change) {
    bool start = false;
    {
        std::lock_guard lock(pendingMutex_);
        change(pending_[w]);
        start = !flushQueued_;
        flushQueued_ = true;
    }
    if (start)
        queue([this] {
            // At most one flush a frame, but a change after a quiet spell is shown at once rather
            // than a whole frame later.
            if (repaintTimer_->isActive()) return;
            const qint64 waited = sinceFlush_.elapsed();
            startRepaintTimer(static_cast<int>(std::max<qint64>(0, periodMs_ - waited)));
        });
}

void GuiHost::startRepaintTimer(int ms) {
    repaintTimer_->start(ms);
    // Readers time their reads of console text to the paint. At the display's pace only those of lines
    // that move their screen by a screenful within half a period do (such a screen shows only the newest
    // text): a slower line's text read just before the paint would wait a whole frame and more, so its
    // reader reads in its own short steps, which spreads the wait over the frame.
    setNextPaintDue(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
                    std::chrono::milliseconds(periodMs_), framePace_);
}

void GuiHost::flushRepaints() {
    sinceFlush_.restart();
    std::unordered_map<WindowId, PendingRepaint> taken;
    {
        std::lock_guard lock(pendingMutex_);
        taken.swap(pending_);
        // While changes keep coming the timer runs on by itself, so a steady stream costs the GUI
        // thread one wake a frame; a frame with nothing to show lets the next change start it again.
        flushQueued_ = !taken.empty();
    }
    if (!taken.empty()) {
        framePace_ = paintAtFramePace(taken);
        periodMs_ = framePace_ ? frameMs_ : slowPeriodMs();
        startRepaintTimer(periodMs_);
    }
    for (const auto& [w, p] : taken) {
        SessionWindow* s = frame_->sessionWindow(w);
        if (!s) continue;
        // Rectangles reckoned before a scroll or a resize no longer lie where their cells are.
        // (A window flushed for the first time has had its whole area painted when it was shown.)
        auto [seen, first] = scrollSerials_.try_emplace(w, s->scrollSerial());
        const bool moved = !first && seen->second != s->scrollSerial();
        seen->second = s->scrollSerial();
        // New text brings a view that reads the scroll-back back to the screen.
        if ((p.whole || !p.rect.isEmpty()) && s->view()->scrollBack() > 0) {
            s->view()->setScrollBack(0);
            s->refreshStatus();
        }
        // A selection names cells, and the text has moved on from them.
        if (p.whole && s->view()->hasSelection()) s->view()->clearSelection();
        if (p.whole || moved || !p.rect.isEmpty()) s->view()->showNewText(moved);
        if (p.panel) s->view()->update(s->view()->panelRect());
        if (p.since) s->view()->changedAt(p.since, oldestShown(w, p));
        if (p.caret) s->placeCaret();
    }
}

int GuiHost::slowPeriodMs() const {
    // Text that comes just after a paint waits a whole period for the next one, then for its read
    // (which a slow line times to just before the paint) and for the paint itself: for it to be out
    // within a frame of the display, the period is three quarters of one.
    return std::max(1, frameMs_ * 3 / 4);
}

bool GuiHost::paintAtFramePace(const std::unordered_map<WindowId, PendingRepaint>& taken) {
    // A screen that moved by half a screenful or more since the last flush draws half its rows or more
    // anew at each paint: paints sooner than the display's frame would only cost that drawing more often.
    // Slower text is painted a row or two at a time and is read once a period, so the shorter period costs
    // little; but with several windows changing at once their readers and paints contend for the cores, and
    // the shorter period bought no earlier text for a share more of a core (measured with four windows at
    // 115200 baud).
    bool flows = false;
    int changing = 0;
    for (const auto& [w, p] : taken) {
        const PortSession* s = sessionOf(w);
        if (!s) continue;
        if (p.whole || !p.rect.isEmpty()) ++changing;
        const uint32_t now = s->screenScrolls.load(std::memory_order_relaxed);
        auto [seen, first] = screenScrolls_.try_emplace(w, now);
        if (!first && now - seen->second >= static_cast<uint32_t>(kScreenRows / 2)) flows = true;
        if (s->fastConsole.load(std::memory_order_relaxed)) flows = true;  // it will move that far
        seen->second = now;
    }
    return flows || changing > 1;
}

int64_t GuiHost::oldestShown(WindowId w, const PendingRepaint& p) {
    const PortSession* s = sessionOf(w);
    if (!s || p.changes.empty()) return p.since;
    // A change made before the screen moved up a whole screenful has left it unseen; of the rest the
    // oldest is what this paint shows late the most. (The screen may move on before the paint; a
    // change counted here as shown may then be gone, which only makes the figure worse.)
    const uint32_t now = s->screenScrolls.load();
    int64_t oldest = 0;
    for (const auto& [scrolls, stamp] : p.changes) {
        if (now - scrolls >= static_cast<uint32_t>(kScreenRows)) continue;
        if (!oldest || stamp < oldest) oldest = stamp;
    }
    return oldest;
}

void GuiHost::portSettings(WindowId w) {
    SessionWindow* owner = frame_->sessionWindow(w);
    PortSession* s = sessionOf(w);
    if (!owner || !s) return;
    PortSettingsDialog dialog(s->portNumber, s->baudRate.load(), s->connected.load() != 0, owner);
    dialog.exec();
    if (!dialog.okChosen()) return;
    if (const int port = dialog.chosenPort(); port >= 1 && port <= 4) {
        s->portNumber = static_cast<uint8_t>(port);
        lastPort = port;
    }
    if (const uint32_t baud = dialog.chosenBaud(); baud != 0) {
        s->baudRate = baud;
        lastBaud = baud;
    }
    // A device chosen for the port is used from now on and kept in the settings file's [Devices],
    // unless that file could not be read at start (it is never written over then).
    const int port = s->portNumber;
    if (const std::string device = dialog.chosenDevice(); !device.empty() && device != devicePath(port)) {
        setDevicePath(port, device);
        std::string refusal;
        Profile p = Profile::load(settingsPath_, &refusal);
        if (settingsWritable_ && refusal.empty() && storeDeviceChoice(p, port, device)) p.save(settingsPath_);
    }
}

void GuiHost::dispatchPosted(WindowId w, uint16_t command, intptr_t param) {
    if (w == 0) {
        frameCommand(command, param);
        return;
    }
    // A command posted to a window that has closed since is dropped, as the platform drops it.
    if (frame_->sessionWindow(w)) sessionCommand(w, command, param);
}

QWidget* GuiHost::ownerOf(WindowId w) const {
    if (SessionWindow* s = frame_->sessionWindow(w)) return s;
    return frame_;
}

MessageAnswer GuiHost::messageBox(WindowId owner, const std::string& text, const std::string& title,
                                  MessageIcon icon, MessageButtons buttons, const std::string& detail) {
    QMessageBox box(qtIcon(icon), qstr(title), qstr(text), qtButtons(buttons), ownerOf(owner));
    box.setTextFormat(Qt::PlainText);
    if (!detail.empty()) box.setInformativeText(qstr(detail));
    if (buttons == MessageButtons::yesNoDefaultNo) box.setDefaultButton(QMessageBox::No);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return MessageAnswer::yes;
        case QMessageBox::No:
            return MessageAnswer::no;
        case QMessageBox::Ok:
            return MessageAnswer::ok;
        default:
            return asksYesNo(buttons) ? MessageAnswer::no : MessageAnswer::cancel;
    }
}

bool GuiHost::chooseFile(FileChoice& choice) {
    QFileDialog dialog(ownerOf(choice.owner), qstr(choice.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(choice.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // A received upload must not replace a file unasked (the name offered is the last file sent).
    dialog.setAcceptMode(choice.forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setNameFilters(fileFilters());
    if (choice.anyName) dialog.selectNameFilter(fileFilters().constLast());
    const QFileInfo initial(qstr(choice.path));
    if (!choice.initialDir.empty())
        dialog.setDirectory(qstr(choice.initialDir));
    else if (!choice.path.empty() && initial.dir().exists())
        dialog.setDirectory(initial.absolutePath());
    if (!choice.path.empty()) dialog.selectFile(initial.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    choice.path = dialog.selectedFiles().first().toStdString();
    return true;
}

void GuiHost::waitCursor(bool on) {
    if (on) {
        ++waitCursors_;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (waitCursors_ > 0) {
        --waitCursors_;
        QApplication::restoreOverrideCursor();
    }
}

}  // namespace dl::gui
