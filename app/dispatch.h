// The one command dispatcher of both front ends. Every rule that a menu item, a key or a posted
// notification triggers lives here, so the desktop program and downloader-cli can never disagree about
// it: the front end turns its events into frameCommand / sessionCommand calls and fills the window host
// with what only it can do (open a window, run a dialog, show a box).
//
// frameCommand carries the frame's commands: opening and closing port windows (501..504), forwarding
// the session commands to the active session window, arranging windows, release notes, About, always
// on top, exit, and the data-exchange notifications 619 / 620. sessionCommand carries a session window's
// commands: close, port settings, connect / disconnect with its guard and boxes, the update commands,
// upload, the recent images, and the private notifications (line lost, exchange ended, sender ended).
//
// Main thread only; worker threads reach these through posted commands.
#pragma once

#include <cstdint>

#include "session/window_host.h"

namespace dl {

// The frame's WM_COMMAND. Returns 1 when the command was acted on, 0 otherwise.
int frameCommand(uint16_t id, intptr_t lParam);

// A session window's WM_COMMAND. Returns 1 when acted on, 0 otherwise (also for a window without a
// session); for the programming commands, 1 exactly when the command was typed to the box.
int sessionCommand(WindowId window, uint16_t id, intptr_t lParam);

// The close guard of a session window (its close and the disconnect command): true when no transfer
// runs, or the user agreed to stop it.
bool sessionMayClose(WindowId window);

// The frame's close sequence: the release notes are asked to close, then every session window in the
// frame's order; a window that refuses stops the walk. True when every session window closed (the frame
// may then be destroyed and the settings saved).
bool closeAllSessions();

// Whether the frame stays on top of other windows (616 toggles it; saved at exit).
extern int32_t alwaysOnTop;
// Whether session logs started from now on stamp each line with the time ([Log] Timestamps).
extern bool logTimestamps;

}  // namespace dl
