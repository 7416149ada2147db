// The seam between the portable core and whoever shows it (the Qt front end, the command-line tool or
// a test). The core never touches a window: it asks for repaints, titles, posted commands, message
// boxes, file choices, beeps and cursors through one record of functions that the host fills in.
//
// Every member may be called from any thread (reader and sender threads included). A GUI host must
// queue the work to its own thread and must never block the caller on it, except for the two calls
// that return an answer (messageBox, chooseFile), which worker threads never make.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dl {

// Opaque key of a window. 0 means "no window".
using WindowId = std::uintptr_t;

struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A command posted to a window, as hosts queue it and machines ask for it.
struct PostedCommand {
    WindowId window;  // 0 addresses the frame
    uint16_t command;
    intptr_t param;
    friend bool operator==(const PostedCommand&, const PostedCommand&) = default;
};

enum class MessageIcon { none, information, warning, error, question };
// yesNoDefaultNo: a question whose Yes cannot be undone (stopping a firmware run, rewriting the boot
// block); Enter must not answer it.
enum class MessageButtons { ok, yesNo, okCancel, yesNoDefaultNo };
inline bool asksYesNo(MessageButtons b) {
    return b == MessageButtons::yesNo || b == MessageButtons::yesNoDefaultNo;
}
enum class MessageAnswer { ok, cancel, yes, no };

struct FileChoice {
    WindowId owner = 0;
    std::string initialDir;
    std::string path;        // initial file name; the answer replaces it
    size_t capacity = 4096;  // longest path (terminator included) the caller can hold
    std::string title;
    bool mustExist = true;
    bool forSaving = false;  // the file will be written: a dialog that says so and asks before replacing one
    bool anyName = false;    // no kind of file is meant (a log): the dialog lists every file first
};

struct PortSession;

struct WindowHost {
    // Invalidate a rectangle of a window's client area (nullopt: all of it).
    std::function<void(WindowId, std::optional<Rect>, bool erase)> invalidate;
    std::function<void(WindowId)> updateNow;
    // A transfer's figures changed (percent, description): repaint the progress panel.
    std::function<void(WindowId)> progressChanged;
    std::function<void(WindowId, const std::string&)> setTitle;
    // Post (never send) a command to a window; window 0 addresses the frame.
    std::function<void(WindowId, uint16_t command, intptr_t param)> postCommand;
    // `text` is the box's fixed text; `detail` (often empty) says more beneath it, such as why a port
    // could not be opened.
    std::function<MessageAnswer(WindowId owner, const std::string& text, const std::string& title,
                                MessageIcon, MessageButtons, const std::string& detail)>
        messageBox;
    // Returns false when the user cancelled; otherwise choice.path holds the chosen path.
    std::function<bool(FileChoice& choice)> chooseFile;
    std::function<void()> beep;
    std::function<void(bool on)> waitCursor;
    // A request to move the caret to the session's cursor; it takes effect on the GUI thread.
    std::function<void(WindowId)> placeCaret;
    // Session creation and destruction steps that belong to the window: font and metrics, the
    // session's menu state, and where the window stands inside the frame's client area.
    std::function<void(PortSession&)> createScreenFont;
    std::function<void(PortSession&)> deleteFont;
    std::function<void(WindowId, bool connected)> updateSessionMenu;
    std::function<std::optional<Rect>(WindowId)> windowPlacement;
    // Every run of bytes the terminal interpreted, in order, as it reached the screen: lets a host
    // without a window (the command-line tool) show the session as a stream. Called under the
    // session's screen lock, so it must be quick and must not call back into the terminal.
    std::function<void(WindowId, const uint8_t*, size_t)> textShown;

    // ----- What the command dispatcher asks of the windows (main thread only) -----
    // Creates and shows the session window of `slot` titled `title`; its creation step calls
    // createSession(window, slot). 0 when no window could be made.
    std::function<WindowId(const std::string& title, int slot)> openSessionWindow;
    // The active session window of the frame, or 0.
    std::function<WindowId()> activeSessionWindow;
    std::function<void(WindowId)> activateWindow;
    // Asks a window to close now (the close guard runs); true when it closed.
    std::function<bool(WindowId)> closeWindow;
    // Asks a window to close later, from the event loop (so the guard runs after the caller returns).
    std::function<void(WindowId)> postClose;
    // The session windows in the frame's own order (first child first), for the close sequence.
    std::function<std::vector<WindowId>()> sessionWindows;
    // 609..612: arrange icons, cascade, tile horizontally, tile vertically.
    std::function<void(uint16_t command)> arrangeWindows;
    std::function<void()> showReleaseNotes;
    std::function<void()> closeReleaseNotes;
    std::function<void()> showAbout;
    std::function<void(bool on)> setAlwaysOnTop;
    // Closes the frame later, from the event loop, which runs the close sequence.
    std::function<void()> postFrameClose;
    // The modal port settings dialog of a session window; it stores what the user confirmed.
    std::function<void(WindowId)> portSettingsDialog;
    // The session window's caret: created and shown, or taken away.
    std::function<void(WindowId, bool on)> caret;
};

// The process's host. Unset members do nothing (and answer "cancel"/"no"/false).
WindowHost& windowHost();

// Helpers that tolerate unset members, so the core can call them unconditionally.
void hostInvalidate(WindowId w, std::optional<Rect> r, bool erase);
void hostUpdateNow(WindowId w);
void hostProgressChanged(WindowId w);
void hostSetTitle(WindowId w, const std::string& title);
void hostPostCommand(WindowId w, uint16_t command, intptr_t param);
MessageAnswer hostMessageBox(WindowId owner, const std::string& text, const std::string& title,
                             MessageIcon icon, MessageButtons buttons, const std::string& detail = {});
bool hostChooseFile(FileChoice& choice);
void hostBeep();
void hostWaitCursor(bool on);
void hostPlaceCaret(WindowId w);

// When the host next paints its windows' changes, if it paints on a clock (the desktop program); the
// epoch when it does not. A time gone by when it has had nothing to paint since. Readers of lines that
// let console text gather read it just before then: text read earlier would only wait for the same
// paint, and each read is a wake. Any thread may read it; the host sets it from its own.
// `period` is the time from that paint to the one after, while changes keep coming; `displayPace` says
// the host paints at the display's own frame then (screens that move fast, or several at once), when
// only the reads of a line that moves its screen by a screenful within half a period are timed to the
// paint.
std::chrono::steady_clock::time_point nextPaintDue();
std::chrono::steady_clock::duration paintPeriod();
bool paintsAtDisplayPace();
void setNextPaintDue(std::chrono::steady_clock::time_point at, std::chrono::steady_clock::duration period,
                     bool displayPace = false);

}  // namespace dl
