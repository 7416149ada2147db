// The program's own read-only viewer of the release notes file "ZENTU.TXT": looked for beside the
// program, then in the installed data folder. A missing file is said in the viewer itself, with the
// places looked in, rather than as an empty window.
#pragma once

#include <QPlainTextEdit>
#include <QStringList>

namespace dl::gui {

// The first readable release notes file in `folders`, or empty.
QString findReleaseNotes(const QStringList& folders);

class ReleaseNotesWindow : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ReleaseNotesWindow(const QStringList& folders, QWidget* parent = nullptr);

    // The file that was shown, or empty when none was found.
    QString shownFile() const { return shownFile_; }

private:
    QString shownFile_;
};

}  // namespace dl::gui
