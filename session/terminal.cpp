#include "session/terminal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace dl {

namespace {

constexpr int kLastRow = kScreenRows - 1;
constexpr int kLastColumn = kScreenColumns - 1;
constexpr int kTabWidth = 4;

// What the interpretation asks of the window host, in order. The requests are made only after the
// screen lock is released, so a host may read the screen or the cursor back from inside its hook.
struct HostRequests {
    enum Kind : uint8_t { cell, whole, caret, beep };
    struct Request {
        Kind kind;
        Rect rect;
    };
    std::vector<Request> list;
    bool wholeAsked = false;
    void add(Kind k, Rect r = {}) {
        // Consecutive caret moves say nothing the last one does not.
        if (k == caret && !list.empty() && list.back().kind == caret) return;
        // One whole-window repaint covers every other and every cell: a flood scrolls many times a
        // write, and its text would otherwise grow the list by a run a row for nothing.
        if ((k == whole || k == cell) && wholeAsked) return;
        wholeAsked = wholeAsked || k == whole;
        // Text runs along a row: the cells of one run make one rectangle, not one request each.
        if (k == cell && !list.empty() && list.back().kind == cell) {
            Rect& run = list.back().rect;
            if (run.top == r.top && run.bottom == r.bottom && run.right == r.left) {
                run.right = r.right;
                return;
            }
        }
        list.push_back({k, r});
    }
    void send(WindowId w) const {
        for (const Request& q : list) {
            switch (q.kind) {
                case cell:
                    // The whole client area is repainted anyway: its cells need no word of their own.
                    if (!wholeAsked) hostInvalidate(w, q.rect, false);
                    break;
                case whole:
                    hostInvalidate(w, std::nullopt, false);
                    break;
                case caret:
                    hostPlaceCaret(w);
                    break;
                case beep:
                    hostBeep();
                    break;
            }
        }
    }
};

// The top row goes into the scroll-back ring before the screen moves up over it.
void keepTopRow(PortSession& s) {
    const size_t capacity = s.historyCapacity.load(std::memory_order_relaxed);
    if (capacity == 0) return;
    if (s.history.size() != capacity * kScreenColumns) {
        s.history.assign(capacity * kScreenColumns, ' ');
        s.historyFirst = s.historyCount = 0;
    }
    const size_t slot = (s.historyFirst + s.historyCount) % capacity;
    std::memcpy(s.history.data() + slot * kScreenColumns, s.screen.data(), kScreenColumns);
    if (s.historyCount < capacity)
        ++s.historyCount;
    else
        s.historyFirst = (s.historyFirst + 1) % capacity;
}

void lineFeed(PortSession& s, HostRequests& out) {
    int old = s.row++;
    if (old == kLastRow) {
        keepTopRow(s);
        uint8_t* screen = s.screen.data();
        std::memmove(screen, screen + kScreenColumns, kLastRow * kScreenColumns);
        std::memset(screen + kLastRow * kScreenColumns, ' ', kScreenColumns);
        s.screenScrolls.fetch_add(1, std::memory_order_relaxed);
        out.add(HostRequests::whole);
        s.row = kLastRow;
    }
    out.add(HostRequests::caret);
}

void interpret(PortSession& s, HostRequests& out, const uint8_t* bytes, size_t count);

void putChar(PortSession& s, HostRequests& out, uint8_t ch) {
    s.screen[s.row * kScreenColumns + s.column] = ch;
    const int cw = s.charWidth.load(std::memory_order_relaxed);
    const int chh = s.charHeight.load(std::memory_order_relaxed);
    const int left = s.column * cw - s.hScrollPos.load(std::memory_order_relaxed);
    const int top = s.row * chh - s.vScrollPos.load(std::memory_order_relaxed);
    out.add(HostRequests::cell, Rect{left, top, left + cw, top + chh});
    if (s.column < kLastColumn) {
        ++s.column;
    } else if (s.autoWrap.load(std::memory_order_relaxed)) {
        static constexpr uint8_t crlf[] = {'\r', '\n'};
        interpret(s, out, crlf, 2);  // runs inside the caller's lock
    }
}

// Bytes stored as they are, not acted on.
bool isText(uint8_t b) {
    return b > 0x0D || (b != 0x00 && b != 0x07 && b != 0x08 && b != 0x09 && b != 0x0A && b != 0x0D);
}

// A run of text: what fits before the row's last cell is stored at once and asks for one rectangle (a
// console at 3 Mbaud brings 300,000 characters a second); the last cell goes through putChar, which
// wraps or stays there.
void putRun(PortSession& s, HostRequests& out, const uint8_t* text, size_t n) {
    while (n > 0) {
        const size_t k = std::min(n, static_cast<size_t>(kLastColumn - s.column));
        if (k > 0) {
            std::memcpy(s.screen.data() + s.row * kScreenColumns + s.column, text, k);
            const int cw = s.charWidth.load(std::memory_order_relaxed);
            const int chh = s.charHeight.load(std::memory_order_relaxed);
            const int left = s.column * cw - s.hScrollPos.load(std::memory_order_relaxed);
            const int top = s.row * chh - s.vScrollPos.load(std::memory_order_relaxed);
            out.add(HostRequests::cell, Rect{left, top, left + static_cast<int>(k) * cw, top + chh});
            s.column += static_cast<int>(k);
            text += k;
            n -= k;
            if (n == 0) return;
        }
        putChar(s, out, *text++);
        --n;
    }
}

void interpret(PortSession& s, HostRequests& out, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t ch = bytes[i];
        switch (ch) {
            case 0x00:
                break;
            case 0x07:
                out.add(HostRequests::beep);
                break;
            case 0x08:
                if (s.column > 0) --s.column;
                out.add(HostRequests::caret);
                break;
            case 0x09:
                for (int k = 0; k < kTabWidth; ++k) putChar(s, out, ' ');
                break;
            case 0x0A:
                lineFeed(s, out);
                break;
            case 0x0D:
                s.column = 0;
                out.add(HostRequests::caret);
                if (s.newLineOnCr.load(std::memory_order_relaxed)) lineFeed(s, out);
                break;
            default: {
                size_t end = i + 1;
                while (end < count && isText(bytes[end])) ++end;
                putRun(s, out, bytes + i, end - i);
                i = end - 1;
                break;
            }
        }
    }
}

}  // namespace

void terminalWrite(PortSession& s, const uint8_t* bytes, size_t count) {
    HostRequests requests;
    requests.list.reserve(std::min<size_t>(count, 64) + 4);
    WindowId w;
    {
        std::lock_guard lock(s.screenMutex);
        w = s.window.load();
        interpret(s, requests, bytes, count);
        // The stream tap keeps the screen's order, so it stays inside the lock (it must only copy).
        if (auto& tap = windowHost().textShown) tap(w, bytes, count);
    }
    requests.send(w);
}

int terminalWrite(WindowId window, const uint8_t* bytes, size_t count) {
    PortSession* s = sessionOf(window);
    if (!s) return 0;
    terminalWrite(*s, bytes, count);
    return 1;
}

int terminalWrite(WindowId window, std::string_view text) {
    return terminalWrite(window, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string screenRow(PortSession& s, int row) {
    std::lock_guard lock(s.screenMutex);
    const auto* begin = s.screen.data() + row * kScreenColumns;
    return std::string(begin, begin + kScreenColumns);
}

size_t historyLines(PortSession& s) {
    std::lock_guard lock(s.screenMutex);
    return s.historyCount;
}

namespace {

// Row `row` of the view `back` lines back; the screen lock is held.
const uint8_t* viewLine(const PortSession& s, size_t back, int row) {
    back = std::min(back, s.historyCount);
    const size_t line = s.historyCount - back + static_cast<size_t>(row);
    return line < s.historyCount
               ? s.history.data() +
                     ((s.historyFirst + line) % (s.history.size() / kScreenColumns)) * kScreenColumns
               : s.screen.data() + (line - s.historyCount) * kScreenColumns;
}

}  // namespace

std::string viewRow(PortSession& s, size_t back, int row) {
    std::lock_guard lock(s.screenMutex);
    const uint8_t* begin = viewLine(s, back, row);
    return std::string(begin, begin + kScreenColumns);
}

uint32_t copyView(PortSession& s, size_t back, uint8_t* rows) {
    std::lock_guard lock(s.screenMutex);
    if (back == 0 || s.historyCount == 0) {
        std::memcpy(rows, s.screen.data(), kScreenRows * kScreenColumns);
    } else {
        for (int row = 0; row < kScreenRows; ++row)
            std::memcpy(rows + row * kScreenColumns, viewLine(s, back, row), kScreenColumns);
    }
    return s.screenScrolls.load(std::memory_order_relaxed);
}

void clearHistory(PortSession& s) {
    std::lock_guard lock(s.screenMutex);
    s.history.clear();
    s.history.shrink_to_fit();
    s.historyFirst = s.historyCount = 0;
}

CursorPos cursorOf(PortSession& s) {
    std::lock_guard lock(s.screenMutex);
    return {s.row, s.column};
}

}  // namespace dl
