// Helpers of the GUI tests: a private settings folder per test, pseudo-terminals to stand for the
// ports, and answering the modal boxes and dialogs the program raises.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/settings.h"
#include "desktop_app.h"
#include "frame_window.h"

namespace dltest {

// The far end of a port: the master side of a pseudo-terminal whose slave the program opens.
struct Pty {
    int master = -1;
    QString device;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            device = QString::fromLocal8Bit(::ptsname(master));
        if (master >= 0) ::fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
    // What the program wrote so far.
    QByteArray drain() const {
        QByteArray out;
        char buf[256];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) out.append(buf, n);
        return out;
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// A settings file in a fresh folder, and the desktop program started on it.
struct Desktop {
    QTemporaryDir dir;
    QString settings() const { return dir.filePath(QStringLiteral("corvane.ini")); }
    void writeSettings(const QByteArray& text) const {
        QFile f(settings());
        f.open(QIODevice::WriteOnly);
        f.write(text);
    }
    QByteArray readSettings() const {
        QFile f(settings());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    std::unique_ptr<dl::gui::DesktopApp> app;
    bool exited = false;
    dl::gui::FrameWindow* start() {
        app = std::make_unique<dl::gui::DesktopApp>(settings());
        app->onExit = [this] { exited = true; };
        app->start();
        return app->frame();
    }
};

// Runs `answer` on the next modal widget of type T once it is shown, from the event loop. Returns
// a flag that tells whether it ran.
template <class T>
std::shared_ptr<bool> whenModal(std::function<void(T*)> answer) {
    auto ran = std::make_shared<bool>(false);
    auto* timer = new QTimer(qApp);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, ran, answer] {
        auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        *ran = true;
        answer(w);
    });
    timer->start();
    return ran;
}

inline void press(QMessageBox* box, QMessageBox::StandardButton b) {
    box->button(b)->click();
}

// Types a name into Qt's own file dialog and accepts it.
inline void chooseInDialog(QDialog* dialog, const QString& path) {
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(edit);
    edit->setText(path);
    QTest::keyClick(edit, Qt::Key_Return);
}

// The items of a popup as it shows them when opened: text, or "-" for a separator.
struct ShownItem {
    QString text;
    bool enabled, checked;
};
inline QList<ShownItem> openMenu(QMenu* menu) {
    menu->popup(QPoint(0, 0));
    QList<ShownItem> out;
    for (QAction* a : menu->actions())
        out.append({a->isSeparator() ? QStringLiteral("-") : a->text(), a->isEnabled(), a->isChecked()});
    menu->hide();
    return out;
}
inline const QAction* actionOf(QMenu* menu, uint16_t id) {
    for (QAction* a : menu->actions())
        if (!a->isSeparator() && a->data().value<uint16_t>() == id) return a;
    return nullptr;
}
inline void choose(QMenu* menu, uint16_t id) {
    menu->popup(QPoint(0, 0));
    for (QAction* a : menu->actions())
        if (!a->isSeparator() && a->data().value<uint16_t>() == id) {
            menu->hide();
            a->trigger();
            return;
        }
    menu->hide();
    QFAIL("no such menu item");
}

}  // namespace dltest
