// The terminal screen of a session: a plain glass teletype of 35 rows by 80 columns.
//
// A handful of control bytes move the cursor (NUL ignored, BEL beeps, BS moves left without erasing,
// TAB writes four spaces, LF steps down and scrolls at the last row, CR returns to column 0 and, with
// newLineOnCr, steps down too); every other byte, 0x80..0xFF and ESC included, is written at the
// cursor. No escape sequences are interpreted. Output wraps after column 79 when autoWrap is set by
// feeding CR LF through the same interpreter.
//
// terminalWrite may be called from any thread; calls on one session are serialised so that each call's
// changes are whole before the next begins. Changed cells are reported to the window host as
// invalidation rectangles in client coordinates (scroll offsets applied).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "session/session.h"

namespace dl {

// Interprets count bytes for the session of window. 1, or 0 when the window has no session.
int terminalWrite(WindowId window, const uint8_t* bytes, size_t count);
int terminalWrite(WindowId window, std::string_view text);
// The same for a session already at hand (worker threads are handed theirs).
void terminalWrite(PortSession& session, const uint8_t* bytes, size_t count);

// A copy of one screen row, taken under the screen lock (for painting and tests).
std::string screenRow(PortSession& session, int row);
struct CursorPos {
    int row = 0, column = 0;
};
CursorPos cursorOf(PortSession& session);

// Scroll-back: the lines that scrolled off the top, kept up to the session's historyCapacity (the
// oldest go first). viewRow is row `row` (0..34) of the screen as it stood `back` lines ago: back 0 is
// the screen itself, and a back beyond the history shows its oldest line on top.
size_t historyLines(PortSession& session);
std::string viewRow(PortSession& session, size_t back, int row);
// All kScreenRows rows of that view into `rows` (kScreenRows * kScreenColumns bytes) under one lock, and
// the screen's scroll count (screenScrolls) they were taken at.
uint32_t copyView(PortSession& session, size_t back, uint8_t* rows);
void clearHistory(PortSession& session);

}  // namespace dl
