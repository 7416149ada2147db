// The pixel arithmetic of a session window, kept apart from any toolkit so it can be checked without a
// display: scroll ranges and scroll steps over the 80 x 35 screen, the screen cells an update rectangle
// covers, and the progress panel's rectangles and texts.
//
// All values are pixels in the window's client coordinates; a scroll position is the offset of the
// client area's top left corner within the whole screen. Rectangles exclude their right and bottom
// edges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "session/window_host.h"

namespace dl {

// The scroll-bar request codes the window's scroll handling takes (the platform's numbering).
enum class ScrollAction : uint16_t {
    lineUp = 0,
    lineDown = 1,
    pageUp = 2,
    pageDown = 3,
    thumbPosition = 4,
    thumbTrack = 5,
    top = 6,
    bottom = 7,
    endScroll = 8,
};

// One direction of scrolling: the cell size, the client extent, the range and the position.
struct ScrollAxis {
    int32_t cell = 0;    // character width or height
    int32_t client = 0;  // client width or height
    int32_t max = 0;
    int32_t pos = 0;
};

// A new client extent: the range becomes max(0, cells x cell - client) and the position is lowered
// into it (never raised).
void resizeAxis(ScrollAxis& axis, int32_t cells, int32_t client);

// The change one scroll request makes, already kept inside 0..max, or none for a request that does
// nothing (thumb track, end scroll, unknown codes). The position itself is left alone.
std::optional<int32_t> scrollChange(const ScrollAxis& axis, uint16_t action, uint16_t thumbPosition);

// The screen cells that an update rectangle covers, rows 0..34 and columns 0..79.
struct CellSpan {
    int firstRow = 0, lastRow = -1, firstColumn = 0, lastColumn = -1;
    int columns() const { return lastColumn - firstColumn + 1; }
    bool empty() const { return lastRow < firstRow || lastColumn < firstColumn; }
};
CellSpan cellsToDraw(const Rect& update, int32_t hScrollPos, int32_t vScrollPos, int32_t charWidth,
                     int32_t charHeight);

// Where a session window's progress panel lies: on the bottom edge of its client area.
struct PanelPlace {
    int32_t left = 0, top = 10, width = 200, height = 20;
};
// The place after a session window's client area became width x height: the bottom strip, full width.
PanelPlace panelAfterResize(int32_t width, int32_t height);

struct PanelLayout {
    Rect done, remaining;  // red and grey parts of the bar
    Rect frame;            // the one-pixel outline, one pixel outside the bar
    Rect invalidate;       // what a new percentage repaints (the bar, not the frame)
    int32_t textTop = 0;
    int32_t timeLeft = 0, infoLeft = 0, percentLeft = 0;
};
PanelLayout panelLayout(const PanelPlace& place, uint32_t percent);

// "%2d:%02d sec" of the whole seconds in elapsedMs.
std::string elapsedText(uint32_t elapsedMs);
// "%d %%"
std::string percentText(uint32_t percent);

}  // namespace dl
