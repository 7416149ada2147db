#include "session/screen_geometry.h"

#include <algorithm>
#include <cstdio>

#include "session/session.h"

namespace dl {

void resizeAxis(ScrollAxis& axis, int32_t cells, int32_t client) {
    axis.client = client;
    axis.max = std::max(0, cells * axis.cell - client);
    axis.pos = std::min(axis.pos, axis.max);
}

std::optional<int32_t> scrollChange(const ScrollAxis& axis, uint16_t action, uint16_t thumbPosition) {
    int32_t change = 0;
    switch (static_cast<ScrollAction>(action)) {
        case ScrollAction::lineUp:
            change = -axis.cell;
            break;
        case ScrollAction::lineDown:
            change = axis.cell;
            break;
        case ScrollAction::pageUp:
            change = -axis.client;
            break;
        case ScrollAction::pageDown:
            change = axis.client;
            break;
        case ScrollAction::thumbPosition:
            change = static_cast<int32_t>(thumbPosition) - axis.pos;
            break;
        case ScrollAction::top:
            change = -axis.pos;
            break;
        case ScrollAction::bottom:
            change = axis.max - axis.pos;
            break;
        default:
            return std::nullopt;
    }
    if (axis.pos + change > axis.max) change = axis.max - axis.pos;
    if (axis.pos + change < 0) change = -axis.pos;
    return change;
}

CellSpan cellsToDraw(const Rect& r, int32_t hScrollPos, int32_t vScrollPos, int32_t charWidth,
                     int32_t charHeight) {
    CellSpan c;
    if (charWidth <= 0 || charHeight <= 0) return c;
    c.firstRow = std::clamp((r.top + vScrollPos) / charHeight, 0, kScreenRows - 1);
    c.lastRow = std::min((r.bottom + vScrollPos - 1) / charHeight, kScreenRows - 1);
    c.firstColumn = std::clamp((r.left + hScrollPos) / charWidth, 0, kScreenColumns - 1);
    c.lastColumn = std::min((r.right + hScrollPos - 1) / charWidth, kScreenColumns - 1);
    return c;
}

PanelPlace panelAfterResize(int32_t width, int32_t height) {
    PanelPlace p;
    p.top = height - p.height;
    p.width = width;
    return p;
}

PanelLayout panelLayout(const PanelPlace& p, uint32_t percent) {
    const int32_t split = p.left + static_cast<int32_t>(static_cast<int64_t>(p.width) * percent / 100);
    PanelLayout l;
    l.done = Rect{p.left, p.top, split, p.top + p.height};
    l.remaining = Rect{split, p.top, p.left + p.width, p.top + p.height};
    l.frame = Rect{p.left - 1, p.top - 1, p.left + p.width + 1, p.top + p.height + 1};
    l.invalidate = Rect{p.left, p.top, p.left + p.width, p.top + p.height};
    l.textTop = p.top + 4;
    l.timeLeft = p.left + 10;
    l.infoLeft = p.left + 100;
    l.percentLeft = p.left + p.width - 50;
    return l;
}

std::string elapsedText(uint32_t elapsedMs) {
    const uint32_t seconds = elapsedMs / 1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%2d:%02d sec", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
    return buf;
}

std::string percentText(uint32_t percent) {
    return std::to_string(percent) + " %";
}

}  // namespace dl
