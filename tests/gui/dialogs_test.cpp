// The frame's dialogs and viewers: release notes (one at a time, a missing file), the About box, and
// the result of a receive with its save, a failed save and the offer to save again.
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "about_dialog.h"
#include "base/commands.h"
#include "exchange/data_stream.h"
#include "gui_support.h"
#include "protocol/transfer.h"
#include "release_notes_window.h"
#include "session/protocol_state.h"

using namespace dltest;

namespace {

QList<dl::gui::ReleaseNotesWindow*> viewers() {
    QList<dl::gui::ReleaseNotesWindow*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<dl::gui::ReleaseNotesWindow*>(w); v && v->isVisible()) out << v;
    return out;
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void releaseNotesOneAtATime() {
        Desktop d;
        auto* frame = d.start();
        QTemporaryDir empty, notes;
        QFile f(notes.filePath(QStringLiteral("ZENTU.TXT")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("1.32R\nfixed the upload\n");
        f.close();
        frame->setReleaseNotesFolders({empty.path(), notes.path()});  // the first folder has none
        choose(frame->popup(4), dl::cmdReleaseNote);
        choose(frame->popup(4), dl::cmdReleaseNote);
        QCOMPARE(viewers().size(), 1);
        auto* viewer = viewers().first();
        QVERIFY(viewer->isReadOnly());
        QCOMPARE(viewer->toPlainText(), QStringLiteral("1.32R\nfixed the upload\n"));
        QCOMPARE(viewer->shownFile(), f.fileName());
        viewer->showMinimized();
        QTRY_VERIFY(viewer->isMinimized());
        choose(frame->popup(4), dl::cmdReleaseNote);
        QTRY_VERIFY(!viewer->isMinimized());
        QCOMPARE(viewers().size(), 1);
        QCOMPARE(viewers().first(), viewer);
        QVERIFY(!viewer->windowIcon().isNull());
    }

    void releaseNotesMissing() {
        Desktop d;
        auto* frame = d.start();
        QTemporaryDir empty;
        frame->setReleaseNotesFolders({empty.path()});
        choose(frame->popup(4), dl::cmdReleaseNote);
        QCOMPARE(viewers().size(), 1);
        const QString text = viewers().first()->toPlainText();
        QVERIFY2(text.contains(QStringLiteral("ZENTU.TXT was not found")), qPrintable(text));
        QVERIFY(text.contains(empty.path()));
        QVERIFY(viewers().first()->shownFile().isEmpty());
        QVERIFY(frame->close());
        QTRY_VERIFY(viewers().isEmpty());
    }

    void aboutBox_data() {
        QTest::addColumn<int>("country");
        QTest::addColumn<QString>("title");
        QTest::newRow("English") << 1 << QStringLiteral("Downloader");
        QTest::newRow("Korean") << 82 << QStringLiteral("코르바네 시험기");
    }
    void aboutBox() {
        QFETCH(int, country);
        QFETCH(QString, title);
        Desktop d;
        d.writeSettings(QStringLiteral("[Settings]\niCountry=%1\n").arg(country).toUtf8());
        auto* frame = d.start();
        QString seenTitle, version, date;
        bool stayedOnEscape = false, stayedOnClose = false, iconSet = false;
        QImage drawn;
        auto shown = whenModal<dl::gui::AboutDialog>([&](dl::gui::AboutDialog* about) {
            seenTitle = about->windowTitle();
            version = about->versionLabel()->text();
            date = about->dateLabel()->text();
            iconSet = !about->windowIcon().isNull();
            drawn = about->grab().toImage();
            QTest::keyClick(about, Qt::Key_Escape);
            stayedOnEscape = about->isVisible();
            about->close();
            stayedOnClose = about->isVisible();
            QTest::keyClick(about, Qt::Key_Return);
        });
        choose(frame->popup(4), dl::cmdAbout);  // returns when the box has closed
        QVERIFY(*shown);
        QCOMPARE(seenTitle, title);
        QCOMPARE(version, QStringLiteral("Version 1.32R"));
        QCOMPARE(date, QStringLiteral("Apr 16 2004"));
        QVERIFY(stayedOnEscape);
        QVERIFY(stayedOnClose);
        QVERIFY(iconSet);
        const QImage picture(QStringLiteral(":/about.xpm"));
        QCOMPARE(picture.size(), QSize(64, 64));
        const QRect at = dl::gui::AboutDialog::pictureRect();
        const qreal dpr = drawn.devicePixelRatio();
        for (QPoint p : {QPoint(0, 0), QPoint(63, 63), QPoint(20, 10), QPoint(40, 50)})
            QCOMPARE(QColor(drawn.pixel((at.topLeft() + p) * dpr)), QColor(picture.pixel(p)));
        const QIcon icon = QApplication::windowIcon();
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    }

    // The box's text, Yes, a save that fails (a folder that is not there), the offer to save again,
    // and a save that lands with the received bytes.
    void receiveResultAndSaveAgain() {
        Desktop d;
        auto* frame = d.start();
        const QByteArray data("\x01\xFFupload", 8);
        uint32_t sum = 0;
        for (char c : data) sum += static_cast<uint8_t>(c);
        dl::keepReceivedUpload({std::vector<uint8_t>(data.begin(), data.end()), sum});
        dl::transferOwner = 0;

        QTemporaryDir out;
        const QString target = out.filePath(QStringLiteral("new name.dat"));
        QString boxText, boxTitle, dialogTitle, failText, failDetail;
        QMessageBox::Icon boxIcon{};
        QWidget* boxOwner = nullptr;
        std::shared_ptr<bool> done;
        auto asked = whenModal<QMessageBox>([&](QMessageBox* box) {
            boxText = box->text();
            boxTitle = box->windowTitle();
            boxIcon = box->icon();
            boxOwner = box->parentWidget();
            QVERIFY(box->button(QMessageBox::No));
            whenModal<QFileDialog>([&](QFileDialog* dialog) {
                dialogTitle = dialog->windowTitle();
                whenModal<QMessageBox>([&](QMessageBox* fail) {
                    failText = fail->text();
                    failDetail = fail->informativeText();
                    done = whenModal<QFileDialog>([&](QFileDialog* again) { chooseInDialog(again, target); });
                    press(fail, QMessageBox::Yes);
                });
                chooseInDialog(dialog, out.filePath(QStringLiteral("no such folder/x.dat")));
            });
            press(box, QMessageBox::Yes);
        });
        dl::hostPostCommand(0, dl::cmdReceiveNotify, data.size());
        QTRY_VERIFY(*asked);
        QCOMPARE(boxText,
                 QStringLiteral("8 bytes received\n\nChecksum is %1\n\n\nDo you want to save as a file ?")
                     .arg(QString::number(sum, 16).toUpper()));
        QCOMPARE(boxTitle, QStringLiteral("Data Receiving Done"));
        QCOMPARE(boxIcon, QMessageBox::Question);
        QCOMPARE(boxOwner, static_cast<QWidget*>(frame));
        QTRY_VERIFY(done && *done);
        QCOMPARE(dialogTitle, QStringLiteral("Select file to save data"));
        QVERIFY(!failText.isEmpty());
        QVERIFY2(failDetail.contains(QStringLiteral("no such folder")), qPrintable(failDetail));
        QFile saved(target);
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), data);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
