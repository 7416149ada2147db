// Fills the core's window host for the desktop program. Calls that may come from worker threads
// (repaints, titles, posted commands, beeps, cursors, caret) only queue work to the GUI thread and
// return at once; repaint requests for one window are merged until the GUI thread takes them, so a
// fast line cannot flood the event queue. Message boxes and file dialogs run on the GUI thread, owned
// by the window the core names.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "session/window_host.h"

class QTimer;
class QWidget;

namespace dl::gui {

class FrameWindow;

class GuiHost : public QObject {
    Q_OBJECT
public:
    explicit GuiHost(FrameWindow* frame);
    ~GuiHost() override;

    // The name filters of every file dialog, in Qt's notation.
    static QStringList fileFilters();

    // Where a device chosen in the port settings is kept ([Devices]); not written when the file
    // could not be read at start.
    void setSettingsFile(std::string path, bool writable) {
        settingsPath_ = std::move(path);
        settingsWritable_ = writable;
    }

private:
    std::string settingsPath_;
    bool settingsWritable_ = false;
    struct PendingRepaint {
        QRect rect;
        bool whole = false;
        bool panel = false;  // the progress bar's rectangle
        bool caret = false;  // the caret follows the cursor
        int64_t since = 0;   // when the oldest change waiting was made (paint_latency::now())
        // With the latency probe on: each change handed on, by the screen's scroll count just after
        // it and its stamp, so a flush can tell which of them are still on the screen.
        std::vector<std::pair<uint32_t, int64_t>> changes;
    };
    void install();
    // Any thread: merges a repaint request of window w and makes sure one flush is on its way.
    void request(WindowId w, const std::function<void(PendingRepaint&)>& change);
    void flushRepaints();
    // The stamp of the oldest pending change of window w that still lies on its screen (0: none).
    int64_t oldestShown(WindowId w, const PendingRepaint& p);
    void portSettings(WindowId w);
    void queue(std::function<void()> work);
    void dispatchPosted(WindowId w, uint16_t command, intptr_t param);
    QWidget* ownerOf(WindowId w) const;
    MessageAnswer messageBox(WindowId owner, const std::string& text, const std::string& title,
                             MessageIcon icon, MessageButtons buttons, const std::string& detail);
    bool chooseFile(FileChoice& choice);
    void waitCursor(bool on);

    void startRepaintTimer(int ms);
    int slowPeriodMs() const;
    // Whether the changes taken call for paints at the display's own pace: a screen moving by
    // screenfuls, or several windows changing.
    bool paintAtFramePace(const std::unordered_map<WindowId, PendingRepaint>& taken);

    FrameWindow* frame_;
    QTimer* repaintTimer_;
    int frameMs_ = 16;          // the display's frame time
    int periodMs_ = 12;         // the time between paints while changes flow
    bool framePace_ = false;    // periodMs_ is the display's frame
    QElapsedTimer sinceFlush_;  // GUI thread only
    std::mutex pendingMutex_;
    std::unordered_map<WindowId, PendingRepaint> pending_;
    bool flushQueued_ = false;                              // guarded by pendingMutex_
    std::unordered_map<WindowId, unsigned> scrollSerials_;  // GUI thread only
    std::unordered_map<WindowId, uint32_t> screenScrolls_;  // GUI thread only: at the last flush
    int waitCursors_ = 0;
};

}  // namespace dl::gui
