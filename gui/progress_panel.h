// The transfer progress panel: red done part and grey rest of a bar, the elapsed time, the
// description line and the percentage in white, a one-pixel black frame. One place for all session
// windows (the window resized last sets it), so it lives here and not in a window.
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

    // GUI thread only.
    static PanelPlace place() { return place_; }
    static void setPlace(const PanelPlace& p) { place_ = p; }
    // The rectangle a new percentage repaints.
    static QRect barRect();

    // Draws with the painter's current font (the window's, not the terminal's).
    static void draw(QPainter& p, const Figures& f);

    static const QColor done, remaining, frame;

private:
    static PanelPlace place_;
};

}  // namespace dl::gui
