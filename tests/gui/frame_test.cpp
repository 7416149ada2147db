// The frame: start-up and exit settings, the menus in every session state, the port items' toggle,
// the close sequence with a window that refuses, the named keys and the window arrangement.
#include <sys/stat.h>

#include <QFileDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScreen>
#include <csignal>

#include "app/dispatch.h"
#include "app/reconnect.h"
#include "base/commands.h"
#include "base/language.h"
#include "gui_support.h"
#include "session/session.h"
#include "session_window.h"

using namespace dltest;
using dl::sessionTable;

namespace {

QStringList settingsKeys(const QByteArray& file) {
    QStringList keys;
    bool inSettings = false;
    for (const QByteArray& raw : file.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inSettings = line == "[Settings]";
            continue;
        }
        if (inSettings && line.contains('=')) keys << QString::fromLatin1(line.left(line.indexOf('=')));
    }
    return keys;
}

QString valueOf(const QByteArray& file, const char* key) {
    for (const QByteArray& raw : file.split('\n'))
        if (raw.startsWith(QByteArray(key) + '='))
            return QString::fromUtf8(raw.mid(qstrlen(key) + 1)).trimmed();
    return {};
}

QString devices(const Pty& com1, const Pty& com2) {
    return QStringLiteral("[Devices]\nCOM1=%1\nCOM2=%2\nCOM3=/nonexistent/ttyUSB9\n")
        .arg(com1.device, com2.device);
}

int (*const realCountry)() = dl::systemCountryCode;
int koreaCountry() {
    return 82;
}
int usCountry() {
    return 1;
}

}  // namespace

class FrameTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        dl::systemCountryCode = realCountry;
        for (auto& s : sessionTable) s.transferActive = 0, s.programming = 0;
    }

    void firstStartAndExit() {
        QTemporaryDir xdg;
        qputenv("XDG_CONFIG_HOME", xdg.path().toLocal8Bit());
        bool exited = false;
        {
            dl::gui::DesktopApp app;
            app.onExit = [&] { exited = true; };
            app.start();
            auto* frame = app.frame();
            QCOMPARE(frame->windowTitle(), QStringLiteral("Downloader"));
            QCOMPARE(frame->pos(), QPoint(100, 100));
            QCOMPARE(frame->width(), 100);
            QVERIFY(frame->height() > 0);  // saved height 0: the least the frame can take
            QVERIFY(!(frame->windowFlags() & Qt::WindowStaysOnTopHint));
            QVERIFY(frame->close());
        }
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(exited);
        QFile f(xdg.filePath(QStringLiteral("downloader/corvane.ini")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QStringList expected{"iCountry", "Port", "Baudrate", "AlwaysOnTop"};
        for (int slot = 0; slot < 5; ++slot)
            for (const char* base : {"WinLeft", "WinTop", "WinRight", "WinBottom"})
                expected << QStringLiteral("%1%2").arg(QLatin1String(base)).arg(slot);
        QCOMPARE(settingsKeys(text), expected);
        QCOMPARE(valueOf(text, "iCountry"), QStringLiteral("1"));
        QCOMPARE(valueOf(text, "AlwaysOnTop"), QStringLiteral("0"));
        QCOMPARE(valueOf(text, "WinLeft0"), QStringLiteral("100"));
        QCOMPARE(valueOf(text, "WinRight0"), QStringLiteral("200"));
        QVERIFY(valueOf(text, "WinBottom0").toInt() > 100);
        QCOMPARE(valueOf(text, "WinLeft4"), QStringLiteral("52"));
        QCOMPARE(valueOf(text, "WinBottom4"), QStringLiteral("166"));
        QVERIFY(!text.contains("RecentFile"));
    }

    void countryChoosesLanguage_data() {
        QTest::addColumn<int>("country");
        QTest::addColumn<bool>("systemKorea");
        QTest::addColumn<bool>("korean");
        QTest::newRow("82") << 82 << false << true;
        QTest::newRow("1") << 1 << true << false;
        QTest::newRow("7") << 7 << true << false;
        QTest::newRow("0, system Korea") << 0 << true << true;
        QTest::newRow("0, system elsewhere") << 0 << false << false;
    }
    void countryChoosesLanguage() {
        QFETCH(int, country);
        QFETCH(bool, systemKorea);
        QFETCH(bool, korean);
        dl::systemCountryCode = systemKorea ? koreaCountry : usCountry;
        Desktop d;
        d.writeSettings(QStringLiteral("[Settings]\niCountry=%1\n").arg(country).toUtf8());
        auto* frame = d.start();
        QCOMPARE(dl::koreanUi.load(), korean);
        QCOMPARE(frame->windowTitle(),
                 korean ? QStringLiteral("코르바네 시험기") : QStringLiteral("Downloader"));
        const auto dstb = openMenu(frame->popup(1));
        QCOMPARE(dstb[0].text, korean ? QStringLiteral("직렬 연결\tHome") : QStringLiteral("Connect\tHome"));
        QCOMPARE(openMenu(frame->popup(0))[0].text, QStringLiteral("Open Com&1"));  // the bar stays English
        QCOMPARE(frame->popup(3)->title(), korean ? QStringLiteral("도구") : QStringLiteral("Tools"));
        QVERIFY(frame->close());
        QCOMPARE(valueOf(d.readSettings(), "iCountry"), QString::number(country));
    }

    void alwaysOnTopAndOtherSectionsKept() {
        Desktop d;
        d.writeSettings(
            "; bench 3\n[Devices]\nCOM1=/dev/ttyUSB0\n[Settings]\nAlwaysOnTop=1\nRecentFile1=/img/a.img\n"
            "RecentFile2=x.i\nRecentFile3=/img/c.img\n");
        auto* frame = d.start();
        QVERIFY(frame->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(frame->close());
        const QByteArray text = d.readSettings();
        QVERIFY(text.startsWith("; bench 3\n[Devices]\nCOM1=/dev/ttyUSB0\n"));
        QCOMPARE(valueOf(text, "AlwaysOnTop"), QStringLiteral("1"));
        QCOMPARE(valueOf(text, "RecentFile1"), QStringLiteral("/img/a.img"));
        QCOMPARE(valueOf(text, "RecentFile2"), QStringLiteral("/img/c.img"));
        QVERIFY(!text.contains("RecentFile3"));
    }

    void menuBarTexts() {
        Desktop d;
        auto* frame = d.start();
        QStringList titles;
        for (QAction* a : frame->menuBar()->actions()) titles << a->text();
        QCOMPARE(titles, (QStringList{"&File   ", "DSTB   ", "Window  ", "Tools", "Help"}));
        auto texts = [&](int i) {
            QStringList out;
            for (const auto& item : openMenu(frame->popup(i))) out << item.text;
            return out;
        };
        QCOMPARE(texts(0),
                 (QStringList{"Open Com&1", "Open Com&2", "Open Com&3", "Open Com&4", "-", "E&xit"}));
        // The key names stand in the menu's shortcut column.
        QCOMPARE(texts(1), (QStringList{"Connect\tHome", "-", "Verify System\tF1", "Update Channel Data\tF2",
                                        "Update Software (Safe)\tF3", "Update Software and Data (All)\tF4",
                                        "Update Cardless\tF5", "Update M5\tF6", "-", "Upload...\tPgUp", "-",
                                        "Close\tAlt F4"}));
        QCOMPARE(texts(2), (QStringList{"Arrange &Icons", "&Cascade", "Tile &Horizontal", "Tile &Vertical"}));
        QCOMPARE(texts(3), (QStringList{"Copy\tCtrl+Shift+C", "Paste\tCtrl+Shift+V",
                                        "Select All\tCtrl+Shift+A", "-", "Log to File...", "Timestamps", "-",
                                        "Reconnect Automatically"}));
        QCOMPARE(texts(4), (QStringList{"Contents", "&Release note...", "-", "&About..."}));
    }

    // Each row of the state table, as the DSTB popup shows it when opened.
    void menuStatesFollowTheActiveSession() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        QMenu* dstb = frame->popup(1);
        auto check = [&](const char* row, const QString& connectText, bool connect, bool updates, bool upload,
                         bool arrange) {
            const auto items = openMenu(dstb);
            QVERIFY2(items[0].text == connectText, row);
            QVERIFY2(items[0].enabled == connect, row);
            for (int i : {2, 3, 4, 5, 6, 7}) QVERIFY2(items[i].enabled == updates, row);
            QVERIFY2(items[9].enabled == upload, row);
            QVERIFY2(items[11].enabled == arrange, row);  // Close
            openMenu(frame->popup(2));
            for (uint16_t id :
                 {dl::cmdArrangeIcons, dl::cmdCascade, dl::cmdTileHorizontal, dl::cmdTileVertical})
                QVERIFY2(actionOf(frame->popup(2), id)->isEnabled() == arrange, row);
            for (const auto& f : openMenu(frame->popup(0))) QVERIFY2(f.enabled, row);
        };
        const QString connectText = QStringLiteral("Connect\tHome");
        const QString disconnectText = QStringLiteral("Disconnect\tHome");
        check("no window", connectText, false, false, false, false);
        choose(frame->popup(0), dl::cmdOpenCom2);
        QVERIFY(sessionTable[2].connected.load());
        check("connected", disconnectText, true, true, false, true);
        QVERIFY(openMenu(frame->popup(0))[1].checked);
        sessionTable[2].programming = 1;
        check("programming", disconnectText, true, false, true, true);
        sessionTable[2].programming = 0;
        choose(dstb, dl::cmdConnect);  // forwarded to the active window: disconnects
        QVERIFY(!sessionTable[2].connected.load());
        check("disconnected", connectText, true, false, false, true);
        choose(dstb, dl::cmdClose);
        QTRY_VERIFY(frame->sessionWindows().empty());
        check("closed again", connectText, false, false, false, false);
    }

    void openComTwoToggles() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        QMenu* file = frame->popup(0);
        choose(file, dl::cmdOpenCom2);
        QCOMPARE(frame->sessionWindows().size(), size_t(1));
        QCOMPARE(frame->subWindowOf(frame->sessionWindows()[0])->windowTitle(), QStringLiteral("Com2"));
        QVERIFY(openMenu(file)[1].checked);
        QVERIFY(!openMenu(file)[0].checked);
        choose(file, dl::cmdOpenCom2);
        QVERIFY(frame->sessionWindows().empty());
        QCOMPARE(sessionTable[2].inUse.load(), 0);
        QVERIFY(!openMenu(file)[1].checked);
        choose(file, dl::cmdOpenCom2);  // the freed slot opens again
        QCOMPARE(frame->sessionWindows().size(), size_t(1));
        QVERIFY(sessionTable[2].connected.load());
    }

    // Exit with two windows, the inactive one running a transfer, answered No: the active one is
    // closed, the other one, the frame and the settings file stay as they were.
    void closeSequenceStopsAtARefusingWindow() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        const QByteArray before = d.readSettings();
        auto* frame = d.start();
        QTemporaryDir notes;
        frame->setReleaseNotesFolders({notes.path()});
        choose(frame->popup(0), dl::cmdOpenCom1);
        choose(frame->popup(0), dl::cmdOpenCom2);
        const auto windows = frame->sessionWindows();
        QCOMPARE(windows.size(), size_t(2));
        QCOMPARE(frame->subWindowOf(windows[0])->windowTitle(), QStringLiteral("Com2"));  // active first
        choose(frame->popup(4), dl::cmdReleaseNote);
        QVERIFY(frame->releaseNotes());
        sessionTable[1].transferActive = 1;
        QWidget* owner = nullptr;
        QString text, title;
        auto asked = whenModal<QMessageBox>([&](QMessageBox* box) {
            owner = box->parentWidget();
            text = box->text();
            title = box->windowTitle();
            press(box, QMessageBox::No);
        });
        choose(frame->popup(0), dl::cmdExit);
        QTRY_VERIFY(*asked);
        QCOMPARE(text, QStringLiteral("Stop downloading and close program ?"));
        QCOMPARE(title, QStringLiteral("Warning:If you break downloading the STB may not revive !!!"));
        QCOMPARE(owner, static_cast<QWidget*>(frame->sessionWindow(windows[1])));
        QVERIFY(frame->isVisible());
        QVERIFY(!d.exited);
        QCOMPARE(frame->sessionWindows(), std::vector<dl::WindowId>{windows[1]});
        QCOMPARE(sessionTable[2].inUse.load(), 0);
        QVERIFY(sessionTable[1].connected.load());
        QTRY_VERIFY(!frame->releaseNotes());  // asked to close although the frame stays
        QCOMPARE(d.readSettings(), before);

        sessionTable[1].transferActive = 0;
        QVERIFY(frame->close());
        QVERIFY(d.exited);
        QVERIFY(d.readSettings().contains("WinLeft1="));
    }

    void namedKeysAndTypingReachTheActiveWindow() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        choose(frame->popup(0), dl::cmdOpenCom1);
        QVERIFY(sessionTable[1].connected.load());
        auto* view = frame->sessionWindow(frame->activeSessionWindow());
        QVERIFY(view);
        com1.drain();
        QTest::keyClicks(view, QStringLiteral("at"));
        QTest::keyClick(view, Qt::Key_Backspace);
        QTest::keyClick(view, Qt::Key_Return);
        // Keys as the platform's characters have them: Delete and Alt with a letter make none,
        // Ctrl+Enter is a line feed, Ctrl+@ a NUL, Ctrl+C the interrupt.
        QTest::keyClick(view, Qt::Key_Delete);
        QTest::keyClick(view, Qt::Key_W, Qt::AltModifier);
        QTest::keyClick(view, Qt::Key_X, Qt::AltModifier);
        QTest::keyClick(view, Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_At, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QByteArray typed;
        QTRY_COMPARE(typed += com1.drain(), QByteArray("at\b\r\n\0\x03", 7));
        QTest::keyClick(view, Qt::Key_Home);  // 603: disconnect
        QVERIFY(!sessionTable[1].connected.load());
        // Page Up and Home are the MDI area's scrolling keys too; with the focus there they still
        // reach the window.
        frame->mdiArea()->setFocus();
        QTest::keyClick(frame->mdiArea(), Qt::Key_Home);
        QVERIFY(sessionTable[1].connected.load());
        // Alt+F4, named by the Close items, closes the session window and leaves the frame.
        QTest::keyClick(view, Qt::Key_F4, Qt::AltModifier);
        QTRY_VERIFY(frame->sessionWindows().empty());
        QCOMPARE(sessionTable[1].inUse.load(), 0);
        QVERIFY(!d.exited);
    }

    void arrangeAndWindowList() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        frame->resize(800, 600);
        choose(frame->popup(0), dl::cmdOpenCom1);
        choose(frame->popup(0), dl::cmdOpenCom2);
        const QRect area = frame->mdiArea()->viewport()->rect();
        const auto windows = frame->sessionWindows();
        QMdiSubWindow* com2Sub = frame->subWindowOf(windows[0]);
        QMdiSubWindow* com1Sub = frame->subWindowOf(windows[1]);
        choose(frame->popup(2), dl::cmdTileVertical);
        QCOMPARE(com1Sub->geometry(), QRect(0, 0, area.width() / 2, area.height()));
        QCOMPARE(com2Sub->geometry().left(), area.width() / 2);
        choose(frame->popup(2), dl::cmdTileHorizontal);
        QCOMPARE(com1Sub->geometry(), QRect(0, 0, area.width(), area.height() / 2));
        QCOMPARE(com2Sub->geometry().top(), area.height() / 2);

        const auto rows = openMenu(frame->popup(2));
        QCOMPARE(rows.size(), 7);
        QCOMPARE(rows[5].text, QStringLiteral("&1 Com1"));
        QCOMPARE(rows[6].text, QStringLiteral("&2 Com2"));
        QVERIFY(rows[6].checked && !rows[5].checked);
        choose(frame->popup(2), dl::cmdWindowMenuFirst);
        QCOMPARE(frame->activeSessionWindow(), windows[1]);
        // Ctrl+F6 and Ctrl+Shift+F6 step through the windows.
        QTest::keyClick(frame->sessionWindow(windows[1]), Qt::Key_F6, Qt::ControlModifier);
        QCOMPARE(frame->activeSessionWindow(), windows[0]);
        QTest::keyClick(frame->sessionWindow(windows[0]), Qt::Key_F6,
                        Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(frame->activeSessionWindow(), windows[1]);

        // Cascade keeps usable windows: one standard size, stepped, never under the default 200 x 100.
        choose(frame->popup(2), dl::cmdCascade);
        QCOMPARE(com1Sub->size(), com2Sub->size());
        QVERIFY(com1Sub->width() >= area.width() / 2 && com1Sub->height() >= area.height() / 2);
        QVERIFY(com1Sub->pos() != com2Sub->pos());
        QCOMPARE(frame->activeSessionWindow(), windows[1]);
        frame->resize(150, 120);
        QCoreApplication::processEvents();
        choose(frame->popup(2), dl::cmdCascade);
        QVERIFY(com1Sub->width() >= 200 && com1Sub->height() >= 100);
    }

    // SIGTERM and SIGINT run File, Exit: the guard asks while a transfer runs and No keeps the program;
    // without a transfer the settings are saved and the program ends.
    void terminationSignalsRunFileExit() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        d.app->catchExitSignals();
        choose(frame->popup(0), dl::cmdOpenCom1);
        sessionTable[1].transferActive = 1;
        QString asked;
        auto ran = whenModal<QMessageBox>([&](QMessageBox* box) {
            asked = box->text();
            press(box, QMessageBox::No);
        });
        ::raise(SIGTERM);
        QTRY_VERIFY(*ran);
        QCOMPARE(asked, QStringLiteral("Stop downloading and close program ?"));
        QVERIFY(!d.exited);
        QVERIFY(sessionTable[1].connected.load());
        sessionTable[1].transferActive = 0;
        d.app->catchExitSignals();  // a second signal would end the test itself
        ::raise(SIGINT);
        QTRY_VERIFY(d.exited);
        QVERIFY(d.readSettings().contains("WinLeft1="));
    }

    // Tools, Log to File... writes what the box sends into the chosen file, with the time when
    // Timestamps is on; choosing it again stops the log, and the choice of Timestamps is kept.
    void logToFileFromTheToolsMenu() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        choose(frame->popup(0), dl::cmdOpenCom1);
        choose(frame->popup(3), dl::cmdLogTimestamps);
        const QString log = d.dir.filePath(QStringLiteral("box.log"));
        QString filter;
        auto chosen = whenModal<QFileDialog>([&](QFileDialog* dialog) {
            filter = dialog->selectedNameFilter();
            chooseInDialog(dialog, log);
        });
        choose(frame->popup(3), dl::cmdLogToFile);
        QVERIFY(*chosen);
        QVERIFY2(filter.endsWith(QStringLiteral("(*)")), qPrintable(filter));  // a log is no image
        QVERIFY(openMenu(frame->popup(3))[4].checked);
        QCOMPARE(::write(com1.master, "boot ok\r\n", 9), 9);
        QFile file(log);
        QByteArray text;
        QTRY_VERIFY_WITH_TIMEOUT(
            (file.open(QIODevice::ReadOnly), text = file.readAll(), file.close(), text.contains("boot ok\n")),
            3000);
        const QRegularExpression stamped(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d boot ok\n"));
        QVERIFY2(stamped.match(QString::fromLatin1(text)).hasMatch(), text.constData());
        choose(frame->popup(3), dl::cmdLogToFile);  // stops
        QVERIFY(!openMenu(frame->popup(3))[4].checked);
        choose(frame->popup(3), dl::cmdReconnect);
        QVERIFY(openMenu(frame->popup(3))[7].checked);
        QVERIFY(frame->close());
        QVERIFY(d.readSettings().contains("[Log]\nTimestamps=1"));
        QVERIFY(d.readSettings().contains("[Connection]\nReconnectAutomatically=1"));
        dl::logTimestamps = false;
        dl::reconnectAutomatically = false;
    }

    // A settings file that cannot be read is said once at start and left alone at exit.
    void unreadableSettingsAreSaidAndLeftAlone() {
        Desktop d;
        QVERIFY(::mkfifo(QFile::encodeName(d.settings()).constData(), 0600) == 0);
        QString said, detail;
        auto asked = whenModal<QMessageBox>([&](QMessageBox* box) {
            said = box->text();
            detail = box->informativeText();
            press(box, QMessageBox::Ok);
        });
        auto* frame = d.start();
        QTRY_VERIFY(*asked);
        QCOMPARE(said, QStringLiteral(
                           "The settings file cannot be read: the settings of this run will not be saved."));
        QVERIFY2(detail.contains(QStringLiteral("not a regular file")), qPrintable(detail));
        QVERIFY(frame->close());
        QVERIFY(d.exited);
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(d.settings()).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    }

    // A frame saved on a screen that is gone comes back onto one.
    void framePlacedOffEveryScreenComesBack() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        frame->placeAt(dl::Rect{-30000, 40000, -29400, 40500});
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(screen.intersects(QRect(frame->pos(), frame->size())));
        QCOMPARE(frame->size(), QSize(600, 500).boundedTo(screen.size()));
        frame->placeAt(dl::Rect{10, 20, 610, 520});  // a visible place is kept as it is
        QCOMPARE(frame->pos(), QPoint(10, 20));
        frame->placeAt(dl::Rect{-595, 20, 5, 520});  // five pixels of it seen are not enough to grab
        QVERIFY(screen.intersected(QRect(frame->pos(), frame->size())).width() >= 64);
        // Sizes no screen shows, and the largest values the file can hold, fit the screens.
        frame->placeAt(dl::Rect{0, 0, 100000000, 100000000});
        QVERIFY(frame->width() <= screen.width() && frame->height() <= screen.height());
        frame->placeAt(dl::Rect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX});
        QVERIFY(screen.intersects(QRect(frame->pos(), frame->size())));
        sessionTable[2].windowRect = dl::Rect{-100000000, 0, 100000000, 100000000};
        choose(frame->popup(0), dl::cmdOpenCom2);
        QMdiSubWindow* sub = frame->subWindowOf(frame->activeSessionWindow());
        QVERIFY(sub && sub->width() <= screen.width() && sub->x() + sub->width() > 0);
    }

    void connectionFailedSaysWhy() {
        Pty com1, com2;
        Desktop d;
        d.writeSettings(devices(com1, com2).toUtf8());
        auto* frame = d.start();
        QString text, detail;
        QMessageBox::Icon icon{};
        QWidget* owner = nullptr;
        auto asked = whenModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            detail = box->informativeText();
            icon = box->icon();
            owner = box->parentWidget();
            press(box, QMessageBox::Ok);
        });
        choose(frame->popup(0), dl::cmdOpenCom3);
        QTRY_VERIFY(*asked);
        QCOMPARE(text, QStringLiteral("Connection failed."));
        QVERIFY2(!detail.isEmpty(), "the reason goes under the text");
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(frame->sessionWindows().size(), size_t(1));  // the window stays, disconnected
        QCOMPARE(owner, static_cast<QWidget*>(frame->sessionWindow(frame->sessionWindows()[0])));
        QVERIFY(!sessionTable[3].connected.load());
    }
};

QTEST_MAIN(FrameTest)
#include "frame_test.moc"
