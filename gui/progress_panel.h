// The transfer progress panel: red done part and grey rest of a bar, the elapsed time, the
// description line and the percentage in white, a one-pixel black frame. Each session window keeps
// its own place (on its bottom edge), so resizing one window never moves or hides another's bar.
//
// Painting only; what a transfer changes reaches the window as a repaint of exactly the bar.
#pragma once

#include <QColor>
#include <QRect>
#include <cstdint>
#include <string>

#include "session/screen_geometry.h"

class QPainter;

namespace dl::gui {

class ProgressPanel {
public:
    struct Figures {
        uint32_t percent = 0;
        uint32_t elapsedMs = 0;
        std::string info;
    };

    // The rectangle a new percentage repaints.
    static QRect barRect(const PanelPlace& place);

    // Draws with the painter's current font (the window's, not the terminal's).
    static void draw(QPainter& p, const PanelPlace& place, const Figures& f);

    static const QColor done, remaining, frame;
};

}  // namespace dl::gui
