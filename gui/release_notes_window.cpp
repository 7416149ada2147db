#include "release_notes_window.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QStringDecoder>

#include "base/texts.h"

namespace dl::gui {

namespace {

QString qstr(Text t) {
    return QString::fromStdString(std::string(text(t)));
}

// Notes written on a Korean Windows machine are not UTF-8; Latin-1 at least shows every byte.
QString decode(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString s = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : s;
}

}  // namespace

QString findReleaseNotes(const QStringList& folders) {
    for (const QString& folder : folders) {
        const QString path = QDir(folder).filePath(qstr(Text::releaseNotesFile));
        if (QFile(path).open(QIODevice::ReadOnly)) return path;
    }
    return {};
}

ReleaseNotesWindow::ReleaseNotesWindow(const QStringList& folders, QWidget* parent) : QPlainTextEdit(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setReadOnly(true);
    setWindowTitle(qstr(Text::releaseNotesTitle));
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    resize(640, 480);
    const QString name = qstr(Text::releaseNotesFile);
    QStringList looked;
    for (const QString& folder : folders) {
        const QString path = QDir(folder).filePath(name);
        looked << QDir::toNativeSeparators(path);
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        shownFile_ = path;
        setPlainText(decode(f.readAll()));
        return;
    }
    setPlainText(
        qstr(Text::releaseNotesMissing).replace(QLatin1String("%s"), looked.join(QLatin1Char('\n'))));
}

}  // namespace dl::gui
