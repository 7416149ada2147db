#include "gui_host.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>

#include "app/dispatch.h"
#include "frame_window.h"
#include "session/session.h"
#include "session_window.h"

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
            return QMessageBox::Yes | QMessageBox::No;
        case MessageButtons::okCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MessageButtons::ok:
            break;
    }
    return QMessageBox::Ok;
}

}  // namespace

GuiHost::GuiHost(FrameWindow* frame) : frame_(frame) {
    install();
}

GuiHost::~GuiHost() {
    windowHost() = WindowHost{};
}

QStringList GuiHost::fileFilters() {
    // "All Files" takes every name: on Linux many files have no extension for "*.*" to match.
    return {QStringLiteral("Software(*.img) (*.img *.bin)"), QStringLiteral("Data(*.dat) (*.ird *.tp *.dat)"),
            QStringLiteral("All Files(*.*) (*)")};
}

void GuiHost::queue(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void GuiHost::install() {
    WindowHost& h = windowHost();
    h = WindowHost{};
    h.invalidate = [this](WindowId w, std::optional<Rect> r, bool) { invalidate(w, r); };
    h.updateNow = [this](WindowId w) { invalidate(w, std::nullopt); };
    h.progressChanged = [this](WindowId w) { invalidate(w, std::nullopt); };
    h.placeCaret = [this](WindowId w) { invalidate(w, std::nullopt); };
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
        const QSize cell = SessionWindow::cellSize();
        s.charWidth = cell.width();
        s.charHeight = cell.height();
    };
    h.windowPlacement = [this](WindowId w) { return frame_->placementOf(w); };
    h.caret = [this](WindowId w, bool on) {
        queue([this, w, on] {
            if (SessionWindow* s = frame_->sessionWindow(w)) s->setCaretVisible(on);
        });
    };

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

void GuiHost::invalidate(WindowId w, std::optional<Rect> r) {
    bool post = false;
    {
        std::lock_guard lock(pendingMutex_);
        auto [it, fresh] = pending_.try_emplace(w);
        post = fresh;
        if (!r)
            it->second.whole = true;
        else
            it->second.rect |= QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1));
    }
    if (post) queue([this, w] { flushRepaint(w); });
}

void GuiHost::flushRepaint(WindowId w) {
    PendingRepaint p;
    {
        std::lock_guard lock(pendingMutex_);
        auto it = pending_.find(w);
        if (it == pending_.end()) return;
        p = it->second;
        pending_.erase(it);
    }
    SessionWindow* s = frame_->sessionWindow(w);
    if (!s) return;
    if (p.whole)
        s->update();
    else
        s->update(p.rect);
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
    switch (box.exec()) {
        case QMessageBox::Yes:
            return MessageAnswer::yes;
        case QMessageBox::No:
            return MessageAnswer::no;
        case QMessageBox::Ok:
            return MessageAnswer::ok;
        default:
            return buttons == MessageButtons::yesNo ? MessageAnswer::no : MessageAnswer::cancel;
    }
}

bool GuiHost::chooseFile(FileChoice& choice) {
    QFileDialog dialog(ownerOf(choice.owner), qstr(choice.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(choice.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(fileFilters());
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
