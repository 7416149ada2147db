// The desktop program's start and end, and the one place where its parts are wired together: the
// settings are read (always-on-top, country and language, recent files, window rectangles, the device
// names), the window host is filled, and the frame is placed at its saved rectangle; when the frame's
// close sequence lets it close, the settings are written back.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace dl::gui {

class FrameWindow;
class GuiHost;
class ExitSignals;

class DesktopApp {
public:
    // `settingsPath` empty: the settings file where the command-line tool keeps it.
    explicit DesktopApp(QString settingsPath = {});
    ~DesktopApp();

    // Reads the settings and shows the frame.
    void start();
    FrameWindow* frame() const { return frame_.get(); }
    QString settingsPath() const { return settingsPath_; }

    // Where the release notes are looked for, for a program in `programDirectory`: beside it, then the
    // installed data folders.
    static QStringList releaseNotesFolders(const QString& programDirectory);

    // SIGTERM and SIGINT from here on run File, Exit (a second one ends the program at once).
    void catchExitSignals();

    // Runs after the settings were written at exit (the program quits its event loop there).
    std::function<void()> onExit;

private:
    void exitStep();

    QString settingsPath_;
    bool settingsRefused_ = false;  // the file is there but could not be read: never written over
    std::unique_ptr<FrameWindow> frame_;
    std::unique_ptr<GuiHost> host_;
    std::unique_ptr<ExitSignals> exitSignals_;
};

}  // namespace dl::gui
