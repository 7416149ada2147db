// The application's one top-level window: the menu bar, the MDI area holding the session windows, the
// keys the menus name, and the close sequence. Menu contents are computed by the core each time a menu
// opens; a chosen item or a named key becomes a frameCommand / sessionCommand call.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <vector>

#include "release_notes_window.h"
#include "session/window_host.h"

class QMdiArea;
class QMdiSubWindow;
class QMenu;

namespace dl::gui {

class SessionWindow;

class FrameWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit FrameWindow(QWidget* parent = nullptr);
    ~FrameWindow() override;

    QMdiArea* mdiArea() const { return mdi_; }
    // The popups of the menu bar, left to right.
    QMenu* popup(int index) const { return popups_.at(index); }

    WindowId openSessionWindow(const QString& title, int slot);
    WindowId activeSessionWindow() const;
    SessionWindow* sessionWindow(WindowId id) const;
    QMdiSubWindow* subWindowOf(WindowId id) const;
    // Active (topmost) first, as the close sequence walks them.
    std::vector<WindowId> sessionWindows() const;
    std::optional<Rect> placementOf(WindowId id) const;
    void arrange(uint16_t command);

    void setReleaseNotesFolders(const QStringList& folders) { notesFolders_ = folders; }
    void showReleaseNotes();
    void closeReleaseNotes();
    ReleaseNotesWindow* releaseNotes() const { return notes_; }

    void showAbout();
    void setAlwaysOnTop(bool on);
    // The frame's rectangle as the settings file keeps it.
    Rect frameRect() const;
    void placeAt(const Rect& r);

    // Runs when the close sequence let the frame close (the settings are saved there).
    std::function<void()> onClosed;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refreshMenu(int index);
    void menuChosen(uint16_t id);
    void tile(bool stacked);
    void cascade();
    void arrangeIcons();
    std::vector<QMdiSubWindow*> sessionSubWindows() const;

    QMdiArea* mdi_;
    std::vector<QMenu*> popups_;
    QStringList notesFolders_;
    QPointer<ReleaseNotesWindow> notes_;
};

}  // namespace dl::gui
