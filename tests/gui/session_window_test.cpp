// The session window: its context menu per state and language, the right button pressed in one window
// and released in another, scrolling and the cells a repaint covers, the progress panel's pixels and
// its repaint, the glyphs of stored control codes, the port settings dialog, and the transfer guard.
#include "session_window.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPaintEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>

#include "app/dispatch.h"
#include "base/commands.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "gui_support.h"
#include "port_settings_dialog.h"
#include "progress_panel.h"
#include "serial/port.h"
#include "session/session.h"
#include "session/session_note.h"
#include "session/terminal.h"
#include "session/tick.h"
#include "terminal_view.h"

using namespace dltest;
using dl::sessionTable;
using dl::gui::SessionWindow;

namespace {

QString devices(const Pty& com1, const Pty& com2) {
    return QStringLiteral("[Devices]\nCOM1=%1\nCOM2=%2\nCOM3=/nonexistent/ttyUSB9\n")
        .arg(com1.device, com2.device);
}

// The rows of the context menu opened by a right click in the window: text ("-" for a separator)
// and whether it is usable.
QList<ShownItem> contextRows(SessionWindow* w) {
    QTest::mousePress(w->view(), Qt::RightButton, {}, QPoint(20, 20));
    QTest::mouseRelease(w->view(), Qt::RightButton, {}, QPoint(20, 20));
    QList<ShownItem> out;
    QMenu* m = SessionWindow::contextMenu();
    if (!m) return out;
    for (QAction* a : m->actions())
        out.append({a->isSeparator() ? QStringLiteral("-") : a->text(), a->isEnabled(), false});
    m->close();
    QCoreApplication::processEvents();
    return out;
}

QStringList texts(const QList<ShownItem>& rows) {
    QStringList out;
    for (const auto& r : rows) out << r.text;
    return out;
}

// Resizes the window's sub-window until its terminal view is `client` pixels.
void resizeClient(dl::gui::FrameWindow* frame, SessionWindow* w, QSize client) {
    QMdiSubWindow* sub = frame->subWindowOf(w->id());
    for (int i = 0; i < 4 && w->view()->size() != client; ++i) {
        sub->resize(sub->size() + client - w->view()->size());
        QCoreApplication::processEvents();
    }
    QCOMPARE(w->view()->size(), client);
}

// Sizes the window's view to show every cell of the screen, with no local echo; returns that size.
QSize showWholeScreen(dl::gui::FrameWindow* frame, SessionWindow* w, dl::PortSession& s) {
    s.localEcho = 0;
    const QSize screen(dl::kScreenColumns * s.charWidth.load(), dl::kScreenRows * s.charHeight.load());
    resizeClient(frame, w, screen);
    return screen;
}

struct Opened {
    Pty com1, com2;
    Desktop d;
    dl::gui::FrameWindow* frame = nullptr;
    SessionWindow* open(uint16_t command) {
        choose(frame->popup(0), command);
        return frame->sessionWindow(frame->activeSessionWindow());
    }
    Opened() {
        d.writeSettings(devices(com1, com2).toUtf8());
        frame = d.start();
        frame->resize(1000, 800);
    }
};

}  // namespace

class SessionWindowTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        for (auto& s : sessionTable) s.transferActive = 0, s.programming = 0;
        dl::clearRecentFiles();
        dl::koreanUi = false;
    }

    void contextMenuPerState() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        QVERIFY(w && sessionTable[1].connected.load());
        // The key names stand in the menu's shortcut column.
        const QStringList connected{"Disconnect\tHome",
                                    "-",
                                    "Verify System\tF1",
                                    "Update Channel Data\tF2",
                                    "Update Software (Safe)\tF3",
                                    "Update Firmware (All)\tF4",
                                    "Update Cardless\tF5",
                                    "Update M5\tF6",
                                    "-",
                                    "Upload...\tPgUp",
                                    "-",
                                    "Close\tAlt+F4"};
        auto rows = contextRows(w);
        QCOMPARE(texts(rows), connected);
        for (int i : {0, 2, 3, 4, 5, 6, 7, 11}) QVERIFY2(rows[i].enabled, qPrintable(rows[i].text));
        QVERIFY(!rows[9].enabled);  // Upload only while programming

        for (const char* p : {"/img/c.img", "/img/R&D F4", "/img/a.img"}) dl::addRecentFile(p);
        sessionTable[1].programming = 1;
        rows = contextRows(w);
        // A path shows its "&" and is never split at a key name.
        QCOMPARE(texts(rows),
                 (QStringList{"Disconnect\tHome", "-", "Verify System\tF1", "Update Channel Data\tF2", "-",
                              "Update Software (Safe)\tF3", " &1 /img/a.img", " &2 /img/R&&D F4",
                              " &3 /img/c.img", "-", "Clean Recent Files List", "-",
                              "Update Firmware (All)\tF4", "Update Cardless\tF5", "Update M5\tF6", "-",
                              "Upload...\tPgUp", "-", "Close\tAlt+F4"}));
        QStringList usable;
        for (const auto& r : rows)
            if (r.enabled && r.text != "-") usable << r.text;
        QCOMPARE(usable, (QStringList{"Disconnect\tHome", "Clean Recent Files List", "Upload...\tPgUp",
                                      "Close\tAlt+F4"}));

        sessionTable[1].programming = 0;
        dl::koreanUi = true;
        rows = contextRows(w);
        QCOMPARE(rows[14].text, QStringLiteral("업데이트 M5\tF6"));
        QCOMPARE(rows[10].text, QStringLiteral("Clean Recent Files List"));
        QCOMPARE(rows[0].text, QStringLiteral("연결 해제\tHome"));
        QCOMPARE(rows.back().text, QStringLiteral("닫기\tAlt+F4"));

        dl::koreanUi = false;
        QTest::keyClick(w, Qt::Key_Home);  // disconnect
        QVERIFY(!sessionTable[1].connected.load());
        rows = contextRows(w);
        QCOMPARE(texts(rows), (QStringList{"Connect\tHome", "Settings...", "-", "Close\tAlt+F4"}));
        for (const auto& r : rows) QVERIFY(r.enabled || r.text == "-");
    }

    void chosenRowRunsTheCommand() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        contextRows(w);  // leaves no menu behind
        QTest::mousePress(w->view(), Qt::RightButton, {}, QPoint(20, 20));
        QTest::mouseRelease(w->view(), Qt::RightButton, {}, QPoint(20, 20));
        QMenu* m = SessionWindow::contextMenu();
        QVERIFY(m);
        const_cast<QAction*>(actionOf(m, dl::cmdConnect))->trigger();
        QTRY_VERIFY(!sessionTable[1].connected.load());
        m->close();
    }

    void rightButtonAcrossWindowsOpensNothing() {
        Opened o;
        SessionWindow* a = o.open(dl::cmdOpenCom1);
        SessionWindow* b = o.open(dl::cmdOpenCom2);
        choose(o.frame->popup(2), dl::cmdTileVertical);  // side by side: each point lies in one window
        QCoreApplication::processEvents();
        QTest::mousePress(a->view(), Qt::RightButton, {}, QPoint(20, 20));
        QTest::mouseRelease(b->view(), Qt::RightButton, {}, QPoint(20, 20));
        QVERIFY(!SessionWindow::contextMenu());
        QTest::mouseRelease(b->view(), Qt::RightButton, {}, QPoint(30, 30));  // no press there yet
        QVERIFY(!SessionWindow::contextMenu());
        QTest::mousePress(b->view(), Qt::RightButton, {}, QPoint(30, 30));
        QTest::mouseRelease(b->view(), Qt::RightButton, {}, QPoint(30, 30));
        QVERIFY(SessionWindow::contextMenu());
        QCOMPARE(SessionWindow::contextMenu()->parentWidget(), static_cast<QWidget*>(b));

        // A right press while the menu is open opens a fresh one where it was made.
        QPointer<QMenu> first = SessionWindow::contextMenu();
        const QPoint inA = a->view()->mapToGlobal(QPoint(40, 40));
        QTest::mousePress(first, Qt::RightButton, {}, first->mapFromGlobal(inA));
        QTRY_VERIFY(SessionWindow::contextMenu() && SessionWindow::contextMenu() != first.data());
        QCOMPARE(SessionWindow::contextMenu()->parentWidget(), static_cast<QWidget*>(a));
        SessionWindow::contextMenu()->close();
        QCoreApplication::processEvents();

        // Released over the frame's empty background: none opens.
        choose(o.frame->popup(2), dl::cmdTileHorizontal);
        o.frame->subWindowOf(b->id())->showMinimized();
        QCoreApplication::processEvents();
        const QPoint empty = o.frame->mdiArea()->viewport()->rect().bottomRight() - QPoint(5, 5);
        QVERIFY(!qobject_cast<SessionWindow*>(
            QApplication::widgetAt(o.frame->mdiArea()->viewport()->mapToGlobal(empty))));
        QTest::mousePress(a->view(), Qt::RightButton, {}, QPoint(20, 20));
        QTest::mouseRelease(a->view(), Qt::RightButton, {},
                            a->view()->mapFrom(o.frame->mdiArea()->viewport(), empty));
        QVERIFY(!SessionWindow::contextMenu());
    }

    void scrollingInPixels() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.charHeight = 12;
        s.charWidth = 8;
        resizeClient(o.frame, w, QSize(400, 100));
        QCOMPARE(s.vScrollMax, 320);
        QCOMPARE(s.hScrollMax, 240);
        QVERIFY(w->verticalBar()->isVisible());
        QCOMPARE(w->verticalBar()->maximum(), 320);
        w->scrollVertical(4, 300);  // thumb position
        QCOMPARE(s.vScrollPos.load(), 300);
        w->scrollVertical(3, 0);  // page down stops at the end
        QCOMPARE(s.vScrollPos.load(), 320);
        QCOMPARE(w->verticalBar()->value(), 320);
        w->scrollVertical(5, 10);  // thumb track: nothing
        QCOMPARE(s.vScrollPos.load(), 320);
        w->scrollVertical(2, 0);
        QCOMPARE(s.vScrollPos.load(), 220);
        w->scrollHorizontal(7, 0);  // bottom = right end
        QCOMPARE(s.hScrollPos.load(), 240);

        // The bar's own requests: a page step, and a dragged thumb that only counts when let go.
        w->verticalBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        QCOMPARE(s.vScrollPos.load(), 0);
        w->verticalBar()->setSliderDown(true);
        w->verticalBar()->setSliderPosition(150);
        QCOMPARE(s.vScrollPos.load(), 0);
        w->verticalBar()->setSliderDown(false);
        QCOMPARE(s.vScrollPos.load(), 150);

        // Growing past the screen's height takes the range and the bar away.
        resizeClient(o.frame, w, QSize(400, 35 * 12 + 5));
        QCOMPARE(s.vScrollMax, 0);
        QCOMPARE(s.vScrollPos.load(), 0);
        QVERIFY(!w->verticalBar()->isVisible());
    }

    void repaintCoversItsCells() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.charHeight = 12;
        s.charWidth = 8;
        s.vScrollPos = 30;
        s.hScrollPos = 0;
        // Qt's rectangles name their last pixel: (0,0)-(40,24) with the edges excluded.
        const dl::CellSpan c = w->view()->cellsFor(QRect(QPoint(0, 0), QPoint(39, 23)));
        QCOMPARE(c.firstRow, 2);
        QCOMPARE(c.lastRow, 4);
        QCOMPARE(c.firstColumn, 0);
        QCOMPARE(c.lastColumn, 4);
        QCOMPARE(w->view()->cellRect(2, 0).top(), -6);
    }

    // A console that moves up a few rows a frame: the window's pixels are moved up and only the new rows
    // are drawn, and what the window then shows is what a paint of every cell shows.
    void movedTextIsMovedNotDrawnAgain() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        const QSize screen = showWholeScreen(o.frame, w, s);
        struct Painted : QObject {
            QRegion region;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Paint) region += static_cast<QPaintEvent*>(e)->region();
                return false;
            }
        } painted;
        w->view()->installEventFilter(&painted);
        for (int i = 0; i < 50; ++i) dl::terminalWrite(w->id(), QStringLiteral("line %1 of the box\n").arg(i).toStdString());
        QTRY_VERIFY(!painted.region.isEmpty());
        QTest::qWait(100);
        painted.region = {};
        dl::terminalWrite(w->id(), "one more line\nand another\n");
        QTRY_VERIFY(!painted.region.isEmpty());
        QTest::qWait(100);
        QVERIFY2(painted.region.boundingRect().height() <= 3 * s.charHeight.load(),
                 "only the rows that came are drawn");
        const QPoint at = w->view()->mapTo(o.frame, QPoint(0, 0));
        const QImage onWindow =
            o.frame->screen()->grabWindow(o.frame->winId(), at.x(), at.y(), screen.width(), screen.height())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        const QImage drawn = w->view()->grab(QRect(QPoint(0, 0), screen)).toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(onWindow, drawn);
    }

    // Glyphs copied straight into a window's pixels look as the painter draws them, also in a repaint
    // whose edges cut through cells, and nothing is written past an image smaller than the screen (a
    // 24-bit image is drawn by the painter alone).
    void glyphsCopiedIntoThePixelsMatchThePainters() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        const QSize screen = showWholeScreen(o.frame, w, s);
        for (int i = 0; i < 40; ++i)
            dl::terminalWrite(w->id(),
                              QStringLiteral("%1 The quick brown fox |#@ jumps\r\n").arg(i).toStdString());
        w->view()->showNewText(true);  // the paint shows what the view last took from the screen
        const QRect cut(s.charWidth.load() * 3 + 2, s.charHeight.load() * 5 + 3, s.charWidth.load() * 20 + 1,
                        s.charHeight.load() * 4 + 5);
        QCOMPARE(w->view()->devicePixelRatioF(), 1.0);  // else every image below is the painter's
        auto compare = [&](const QRegion& part, QSize size) {
            auto drawn = [&](QImage::Format format) {
                QImage image(size, format);
                image.fill(Qt::magenta);
                w->view()->render(&image, QPoint(), part);
                return image.convertToFormat(QImage::Format_RGB32);
            };
            QCOMPARE(drawn(QImage::Format_ARGB32_Premultiplied), drawn(QImage::Format_RGB888));
            QCOMPARE(drawn(QImage::Format_RGB32), drawn(QImage::Format_RGB888));
        };
        compare(QRect(QPoint(0, 0), screen), screen);
        compare(cut, screen);
        compare(QRect(QPoint(0, 0), screen), screen / 2);
    }

    void storedControlCodesShowTheirGlyphs() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.localEcho = 0;
        const uint8_t bytes[] = {0x1B, ' ', 0xC9, 0x82};  // ESC, a blank, a box corner, an e acute
        const dl::CursorPos at = dl::cursorOf(s);
        QCOMPARE(at.column, 0);
        dl::terminalWrite(w->id(), bytes, sizeof bytes);
        const int screenWidth = dl::kScreenColumns * s.charWidth.load();
        resizeClient(o.frame, w, QSize(screenWidth + 20, 200));
        const QImage shot = w->view()->grab().toImage();
        // The cells lie on the system's window colour, the class's blue only beside the screen.
        QCOMPARE(shot.pixelColor(screenWidth + 5, 10), dl::gui::TerminalView::background);
        QVERIFY(dl::gui::TerminalView::cellBackground() != dl::gui::TerminalView::background);
        auto inked = [&](int column) {
            const QRect cell = w->view()->cellRect(at.row, column);
            for (int y = cell.top(); y <= cell.bottom(); ++y)
                for (int x = cell.left(); x <= cell.right(); ++x)
                    if (shot.pixelColor(x, y) != dl::gui::TerminalView::cellBackground()) return true;
            return false;
        };
        QVERIFY2(inked(0), "ESC is stored and drawn as its arrow");
        QVERIFY(!inked(1));
        QVERIFY(inked(2));
        QVERIFY(inked(3));
        QVERIFY(!inked(5));
    }

    // Text without a line end (a prompt, the echo of typing) moves the caret at the next paint.
    void caretFollowsTheCursorAtEveryPaint() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        o.frame->activateWindow();
        w->setFocus();
        QTRY_VERIFY(w->caretVisible());
        dl::PortSession& s = sessionTable[1];
        s.localEcho = 0;
        const dl::CursorPos at = dl::cursorOf(s);
        dl::terminalWrite(w->id(), "login: ");
        QTRY_COMPARE(w->view()->caretCell(), QPoint(at.column + 7, at.row));
    }

    // The status line, under the screen: the line, the exchange that runs, how the last one ended.
    void statusLine() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        QLabel* line = w->statusLine();
        w->refreshStatus();
        QCOMPARE(line->text(), QStringLiteral("Connected  %1  115200 baud").arg(o.com1.device));
        QVERIFY(line->geometry().top() >= w->view()->geometry().bottom());
        dl::PortSession& s = sessionTable[1];
        s.announcedSectors = 64;
        s.sectorsSent = 3;
        s.startTick = dl::tickNow();
        s.transferActive = 1;
        w->refreshStatus();
        QVERIFY2(line->text().endsWith(QStringLiteral("  |  Programming: 3 of 64 sectors, 0:00")),
                 qPrintable(line->text()));
        s.transferActive = 0;
        dl::noteSessionEvent(1, "Saved 40000 bytes to /tmp/u.dat");
        QTest::keyClick(w, Qt::Key_Home);
        w->refreshStatus();
        QCOMPARE(line->text(),
                 QStringLiteral("Disconnected  %1  |  Saved 40000 bytes to /tmp/u.dat").arg(o.com1.device));
        dl::noteSessionEvent(1, "");
    }

    // Shift+PgUp and the wheel past the screen's top read the scroll-back; new text returns the view.
    void scrollBackByKeysAndWheel() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.localEcho = 0;
        for (int n = 0; n < 60; ++n) dl::terminalWrite(w->id(), "line " + std::to_string(n) + "\r");
        QCoreApplication::processEvents();
        QTest::keyClick(w, Qt::Key_PageUp, Qt::ShiftModifier);
        const size_t back = w->view()->scrollBack();
        QVERIFY(back > 0);
        QVERIFY2(w->statusLine()->text().startsWith(QStringLiteral("Scroll-back: ")),
                 qPrintable(w->statusLine()->text()));
        QTest::keyClick(w, Qt::Key_PageDown, Qt::ShiftModifier);
        QCOMPARE(w->view()->scrollBack(), size_t(0));
        dl::terminalWrite(w->id(), "\r");  // lines are never lost to a view: one more scrolled off
        w->scrollVertical(6, 0);           // the screen's top
        QWheelEvent up(QPointF(20, 20), w->mapToGlobal(QPointF(20, 20)), QPoint(), QPoint(0, 120),
                       Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &up);
        QCOMPARE(w->view()->scrollBack(), size_t(3));
        dl::terminalWrite(w->id(), "new text");
        QTRY_COMPARE(w->view()->scrollBack(), size_t(0));
    }

    // A dragged selection is copied by Ctrl+Shift+C (Ctrl+C stays the box's interrupt); a paste types
    // the clipboard with CR for each line end, and is refused while an exchange holds the line.
    void copyAndPaste() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.localEcho = 0;
        const dl::CursorPos at = dl::cursorOf(s);
        dl::terminalWrite(w->id(), "hello box\r");
        QCoreApplication::processEvents();
        const QPoint from = w->view()->cellRect(at.row, 0).center(),
                     to = w->view()->cellRect(at.row, 4).center();
        QTest::mousePress(w->view(), Qt::LeftButton, {}, from);
        QMouseEvent drag(QEvent::MouseMove, QPointF(w->view()->mapTo(w, to)),
                         w->mapToGlobal(QPointF(w->view()->mapTo(w, to))), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(w, &drag);
        QTest::mouseRelease(w->view(), Qt::LeftButton, {}, to);
        o.com1.drain();
        QTest::keyClick(w, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("hello"));
        QTest::keyClick(w, Qt::Key_C, Qt::ControlModifier);
        QByteArray typed;
        QTRY_COMPARE(typed += o.com1.drain(), QByteArray("\x03"));

        QGuiApplication::clipboard()->setText(QStringLiteral("ab\ncd\r\nef"));
        QTest::keyClick(w, Qt::Key_Insert, Qt::ShiftModifier);
        typed.clear();
        QTRY_COMPARE(typed += o.com1.drain(), QByteArray("ab\rcd\ref"));
        s.programming = 1;  // an armed run holds the line
        QTest::keyClick(w, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::qWait(50);
        QCOMPARE(o.com1.drain(), QByteArray());
    }

    void progressPanel() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        // Shorter than the screen: the panel lies over text rows and must not be covered by them.
        resizeClient(o.frame, w, QSize(200, 300));
        const int top = w->view()->height() - 20;
        QCOMPARE(w->view()->panelRect(), QRect(0, top, 200, 20));
        // Each window keeps its own panel: resizing another one moves nothing here.
        SessionWindow* other = o.open(dl::cmdOpenCom2);
        resizeClient(o.frame, other, QSize(300, 150));
        QCOMPARE(other->view()->panelRect(), QRect(0, 130, 300, 20));
        QCOMPARE(w->view()->panelRect(), QRect(0, top, 200, 20));
        s.fileInfo = "image.img";
        s.fileInfoLength = 9;
        s.percent = 57;
        s.startTick = dl::tickNow();
        s.transferActive = 1;
        const QImage shot = w->view()->grab().toImage();
        QCOMPARE(shot.pixelColor(0, top + 1), dl::gui::ProgressPanel::done);
        QCOMPARE(shot.pixelColor(113, top + 1), dl::gui::ProgressPanel::done);
        QCOMPARE(shot.pixelColor(114, top + 1), dl::gui::ProgressPanel::remaining);
        QCOMPARE(shot.pixelColor(199, top + 19), dl::gui::ProgressPanel::remaining);
        QCOMPARE(shot.pixelColor(100, top - 1), dl::gui::ProgressPanel::frame);
        QCOMPARE(shot.pixelColor(100, top - 2), dl::gui::TerminalView::cellBackground());
        bool white = false;
        for (int y = top + 4; y < top + 20 && !white; ++y)
            for (int x = 150; x < 200 && !white; ++x) white = shot.pixelColor(x, y) == QColor(Qt::white);
        QVERIFY2(white, "the percentage is written at the bar's right end");

        // A new percentage repaints the bar and nothing else (once the resize's repaints are done).
        QTest::qWait(100);
        QRegion painted;
        struct Spy : QObject {
            QRegion* r;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Paint) *r += static_cast<QPaintEvent*>(e)->region();
                return false;
            }
        } spy;
        spy.r = &painted;
        w->view()->installEventFilter(&spy);
        s.percent = 58;
        dl::hostProgressChanged(w->id());
        QTRY_VERIFY(!painted.isEmpty());
        QCOMPARE(painted.boundingRect(), QRect(0, top, 200, 20));
        // Once the transfer has ended the panel goes whole: its frame lies over the text rows too.
        painted = QRegion();
        s.transferActive = 0;
        dl::hostProgressChanged(w->id());
        QTRY_VERIFY(painted.contains(QPoint(100, top - 1)));
        w->view()->removeEventFilter(&spy);
    }

    void settingsDialog() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        QTest::keyClick(w, Qt::Key_Home);  // disconnected first
        QVERIFY(!s.connected.load());
        s.portNumber = 3;
        s.baudRate = 115200;
        bool enabled = false;
        QString port, baud, title;
        auto seen = whenModal<dl::gui::PortSettingsDialog>([&](dl::gui::PortSettingsDialog* d) {
            enabled = d->portList()->isEnabled();
            port = d->portList()->currentText();
            baud = d->baudList()->currentText();
            title = d->windowTitle();
            QCOMPARE(d->portList()->count(), 4);
            QCOMPARE(d->baudList()->itemText(0), QStringLiteral("38400"));
            // More speeds after the three, and the device the port opens now.
            QCOMPARE(d->baudList()->count(), 12);
            QCOMPARE(d->baudList()->itemText(3), QStringLiteral("9600"));
            QCOMPARE(d->baudList()->itemText(11), QStringLiteral("3000000"));
            QCOMPARE(d->deviceList()->currentText(), QStringLiteral("/nonexistent/ttyUSB9"));
            d->portList()->setCurrentIndex(0);  // COM1, then Cancel: nothing taken
            QCOMPARE(d->deviceList()->currentText(), o.com1.device);
            d->cancelButton()->click();
        });
        dl::sessionCommand(w->id(), dl::cmdSettings, 0);
        QVERIFY(*seen);
        QVERIFY(enabled);
        QCOMPARE(port, QStringLiteral("COM3"));
        QCOMPARE(baud, QStringLiteral("115200"));
        QCOMPARE(title, QStringLiteral("Serial Port Settings"));
        QCOMPARE(int(s.portNumber), 3);

        // A device typed for the port is used from now on and kept in [Devices], the rest of the file
        // as it was.
        seen = whenModal<dl::gui::PortSettingsDialog>([&](dl::gui::PortSettingsDialog* d) {
            d->deviceList()->setEditText(o.com2.device);
            d->okButton()->click();
        });
        dl::sessionCommand(w->id(), dl::cmdSettings, 0);
        QVERIFY(*seen);
        QCOMPARE(QString::fromStdString(dl::devicePath(3)), o.com2.device);
        const QByteArray file = o.d.readSettings();
        QVERIFY2(file.contains(("COM3=" + o.com2.device).toUtf8()) &&
                     file.contains(("COM1=" + o.com1.device).toUtf8()),
                 file.constData());
        s.portNumber = 3;

        // Enter cancels too.
        seen = whenModal<dl::gui::PortSettingsDialog>([](dl::gui::PortSettingsDialog* d) {
            d->baudList()->setCurrentIndex(0);
            QTest::keyClick(d, Qt::Key_Return);
        });
        dl::sessionCommand(w->id(), dl::cmdSettings, 0);
        QVERIFY(*seen);
        QCOMPARE(s.baudRate.load(), 115200u);

        // Connected: the port is greyed; Ok takes the baud rate into the session and the last values.
        s.portNumber = 1;
        QTest::keyClick(w, Qt::Key_Home);
        QVERIFY(s.connected.load());
        dl::lastBaud = 115200;
        seen = whenModal<dl::gui::PortSettingsDialog>([&](dl::gui::PortSettingsDialog* d) {
            enabled = d->portList()->isEnabled();
            d->baudList()->setCurrentIndex(1);
            d->okButton()->click();
        });
        dl::sessionCommand(w->id(), dl::cmdSettings, 0);
        QVERIFY(*seen);
        QVERIFY(!enabled);
        QCOMPARE(s.baudRate.load(), 57600u);
        QCOMPARE(dl::lastBaud.load(), 57600u);
        QCOMPARE(dl::lastPort.load(), 1);
        QVERIFY(s.connected.load());
    }

    void transferGuardNoKeepsTheTransfer() {
        Opened o;
        SessionWindow* w = o.open(dl::cmdOpenCom1);
        dl::PortSession& s = sessionTable[1];
        s.transferActive = 1;
        QString text;
        auto asked = whenModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            QTest::keyClick(box, Qt::Key_Return);  // Enter answers No: a stray key keeps the run
        });
        QTest::keyClick(w, Qt::Key_Home);  // disconnect asks first
        QVERIFY(*asked);
        QCOMPARE(text, QStringLiteral("Stop downloading and close program ?"));
        QVERIFY(s.connected.load());
        QVERIFY(s.transferActive.load());

        asked = whenModal<QMessageBox>([](QMessageBox* box) { press(box, QMessageBox::No); });
        QTest::keyClick(w, Qt::Key_F4, Qt::ControlModifier);
        QTRY_VERIFY(*asked);
        QCoreApplication::processEvents();
        QCOMPARE(o.frame->sessionWindows().size(), size_t(1));
        QVERIFY(s.connected.load());

        asked = whenModal<QMessageBox>([](QMessageBox* box) { press(box, QMessageBox::Yes); });
        QTest::keyClick(w, Qt::Key_F4, Qt::ControlModifier);
        QTRY_VERIFY(*asked);
        QTRY_VERIFY(o.frame->sessionWindows().empty());
        QCOMPARE(s.inUse.load(), 0);
    }
};

QTEST_MAIN(SessionWindowTest)
#include "session_window_test.moc"
