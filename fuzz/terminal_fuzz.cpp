// The terminal interpreter on arbitrary console text. Traps when the cursor leaves the screen, when a
// changed cell is reported outside the screen's rectangle, or when the same bytes fed in other pieces
// leave a different screen or cursor: the interpreter keeps no state between calls but the screen and
// the cursor, so how the reader happened to cut the text must not show.
//
// Input: one set-up byte (bit 0 auto-wrap, bit 1 new line on CR, bits 2..7 the cut pattern's seed),
// then the text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "session/session.h"
#include "session/terminal.h"
#include "session/window_host.h"

namespace {

using namespace dl;

constexpr WindowId kWindow = 0x201;
constexpr int kCellWidth = 8, kCellHeight = 16;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void setUpOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    check(createSession(kWindow, 1) == 1);
    check(createSession(kWindow + 1, 2) == 1);
    windowHost().invalidate = [](WindowId, std::optional<Rect> r, bool) {
        if (!r) return;  // the whole window, after a scroll
        check(r->left >= 0 && r->top >= 0);
        check(r->right <= kScreenColumns * kCellWidth && r->bottom <= kScreenRows * kCellHeight);
        // One row high, a whole number of cells wide, on cell edges: a run of cells on one row.
        check(r->bottom - r->top == kCellHeight && r->top % kCellHeight == 0);
        check(r->left % kCellWidth == 0 && r->right > r->left && (r->right - r->left) % kCellWidth == 0);
    };
}

void reset(PortSession& s, uint8_t setup) {
    {
        std::lock_guard lock(s.screenMutex);
        s.screen.fill(' ');
        s.row = 0;
        s.column = 0;
    }
    s.autoWrap = setup & 1;
    s.newLineOnCr = (setup >> 1) & 1;
    s.charWidth = kCellWidth;
    s.charHeight = kCellHeight;
}

void checkCursor(PortSession& s) {
    const CursorPos c = cursorOf(s);
    check(c.row >= 0 && c.row < kScreenRows && c.column >= 0 && c.column < kScreenColumns);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    setUpOnce();
    PortSession& whole = sessionTable[1];
    PortSession& pieces = sessionTable[2];
    reset(whole, data[0]);
    reset(pieces, data[0]);
    const uint8_t* text = data + 1;
    const size_t length = size - 1;

    terminalWrite(whole, text, length);
    checkCursor(whole);

    // Pieces of 1 to 128 bytes, as a reader hands them over, cut by a small generator seeded from the
    // set-up byte so the same input always cuts alike.
    uint32_t cut = (data[0] >> 2) * 2654435761u + 1;
    for (size_t at = 0; at < length;) {
        cut = cut * 1103515245u + 12345u;
        size_t n = ((cut >> 16) % 128) + 1;
        if (n > length - at) n = length - at;
        terminalWrite(pieces, text + at, n);
        checkCursor(pieces);
        at += n;
    }

    const CursorPos a = cursorOf(whole), b = cursorOf(pieces);
    check(a.row == b.row && a.column == b.column);
    for (int row = 0; row < kScreenRows; ++row) {
        const std::string r = screenRow(whole, row);
        check(r.size() == static_cast<size_t>(kScreenColumns));
        check(r == screenRow(pieces, row));
    }
    return 0;
}
