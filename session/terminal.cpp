#include "session/terminal.h"

#include <cstring>

#include "serial/port_write.h"

namespace dl {

namespace {

constexpr int kLastRow = kScreenRows - 1;
constexpr int kLastColumn = kScreenColumns - 1;
constexpr int kTabWidth = 4;

void lineFeed(PortSession& s, WindowId w) {
    int old = s.row++;
    if (old == kLastRow) {
        uint8_t* screen = s.screen.data();
        std::memmove(screen, screen + kScreenColumns, kLastRow * kScreenColumns);
        std::memset(screen + kLastRow * kScreenColumns, ' ', kScreenColumns);
        hostInvalidate(w, std::nullopt, false);
        s.row = kLastRow;
    }
    hostPlaceCaret(w);
}

void interpret(PortSession& s, WindowId w, const uint8_t* bytes, size_t count);

void putChar(PortSession& s, WindowId w, uint8_t ch) {
    s.screen[s.row * kScreenColumns + s.column] = ch;
    const int cw = s.charWidth.load(std::memory_order_relaxed);
    const int chh = s.charHeight.load(std::memory_order_relaxed);
    const int left = s.column * cw - s.hScrollPos.load(std::memory_order_relaxed);
    const int top = s.row * chh - s.vScrollPos.load(std::memory_order_relaxed);
    hostInvalidate(w, Rect{left, top, left + cw, top + chh}, false);
    if (s.column < kLastColumn) {
        ++s.column;
    } else if (s.autoWrap.load(std::memory_order_relaxed)) {
        static constexpr uint8_t crlf[] = {'\r', '\n'};
        interpret(s, w, crlf, 2);  // runs inside the caller's lock
    }
}

void interpret(PortSession& s, WindowId w, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t ch = bytes[i];
        switch (ch) {
            case 0x00:
                break;
            case 0x07:
                hostBeep();
                break;
            case 0x08:
                if (s.column > 0) --s.column;
                hostPlaceCaret(w);
                break;
            case 0x09:
                for (int k = 0; k < kTabWidth; ++k) putChar(s, w, ' ');
                break;
            case 0x0A:
                lineFeed(s, w);
                break;
            case 0x0D:
                s.column = 0;
                hostPlaceCaret(w);
                if (s.newLineOnCr.load(std::memory_order_relaxed)) lineFeed(s, w);
                break;
            default:
                putChar(s, w, ch);
                break;
        }
    }
}

}  // namespace

void terminalWrite(PortSession& s, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(s.screenMutex);
    const WindowId w = s.window.load();
    interpret(s, w, bytes, count);
    if (auto& tap = windowHost().textShown) tap(w, bytes, count);
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

int typeChar(WindowId window, uint8_t ch) {
    PortSession* s = sessionOf(window);
    if (!s || !s->connected.load()) return 0;
    portWrite(*s, &ch, 1);
    if (s->localEcho.load()) terminalWrite(*s, &ch, 1);
    return 1;
}

std::string screenRow(PortSession& s, int row) {
    std::lock_guard lock(s.screenMutex);
    const auto* begin = s.screen.data() + row * kScreenColumns;
    return std::string(begin, begin + kScreenColumns);
}

CursorPos cursorOf(PortSession& s) {
    std::lock_guard lock(s.screenMutex);
    return {s.row, s.column};
}

}  // namespace dl
