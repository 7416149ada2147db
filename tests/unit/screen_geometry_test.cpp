#include "session/screen_geometry.h"

#include <gtest/gtest.h>

#include "session/session.h"

namespace dl {
namespace {

ScrollAxis vertical(int32_t client, int32_t pos = 0) {
    ScrollAxis a{.cell = 12};
    resizeAxis(a, kScreenRows, client);
    a.pos = pos;
    return a;
}

TEST(ScreenGeometry, ResizeKeepsThePositionInsideTheRange) {
    ScrollAxis a = vertical(100, 320);
    EXPECT_EQ(a.max, 320);
    resizeAxis(a, kScreenRows, 300);  // growing while at the bottom lowers the position
    EXPECT_EQ(a.max, 120);
    EXPECT_EQ(a.pos, 120);
    resizeAxis(a, kScreenRows, 200);  // shrinking never moves it
    EXPECT_EQ(a.pos, 120);
    resizeAxis(a, kScreenRows, 35 * 12 + 7);  // taller than the screen: no range at all
    EXPECT_EQ(a.max, 0);
    EXPECT_EQ(a.pos, 0);
}

TEST(ScreenGeometry, ScrollStepsStopAtBothEnds) {
    const auto change = [](int32_t pos, ScrollAction action, uint16_t thumb = 0) {
        return scrollChange(vertical(100, pos), static_cast<uint16_t>(action), thumb);
    };
    EXPECT_EQ(change(300, ScrollAction::pageDown), 20);
    EXPECT_EQ(change(50, ScrollAction::pageUp), -50);
    EXPECT_EQ(change(320, ScrollAction::lineDown), 0);
    EXPECT_EQ(change(5, ScrollAction::lineUp), -5);
    EXPECT_EQ(change(100, ScrollAction::lineDown), 12);
    EXPECT_EQ(change(100, ScrollAction::top), -100);
    EXPECT_EQ(change(100, ScrollAction::bottom), 220);
    EXPECT_EQ(change(100, ScrollAction::thumbPosition, 250), 150);
    EXPECT_EQ(change(100, ScrollAction::thumbPosition, 60000), 220);  // 16-bit thumb, clamped
    EXPECT_EQ(change(100, ScrollAction::thumbTrack, 250), std::nullopt);
    EXPECT_EQ(change(100, ScrollAction::endScroll), std::nullopt);
    EXPECT_EQ(scrollChange(vertical(100, 100), 9, 0), std::nullopt);
}

TEST(ScreenGeometry, UpdateRectangleCoversItsCellsOnly) {
    CellSpan c = cellsToDraw(Rect{0, 0, 40, 24}, 0, 30, 8, 12);
    EXPECT_EQ(c.firstRow, 2);
    EXPECT_EQ(c.lastRow, 4);
    EXPECT_EQ(c.firstColumn, 0);
    EXPECT_EQ(c.lastColumn, 4);
    EXPECT_EQ(c.columns(), 5);
    // Exactly one cell: the exclusive right and bottom edges add no neighbour.
    c = cellsToDraw(Rect{8, 12, 16, 24}, 0, 0, 8, 12);
    EXPECT_EQ(c.firstRow, 1);
    EXPECT_EQ(c.lastRow, 1);
    EXPECT_EQ(c.columns(), 1);
    // Beyond the screen's last row and column nothing is drawn past row 34 and column 79.
    c = cellsToDraw(Rect{700, 450, 900, 600}, 0, 0, 8, 12);
    EXPECT_EQ(c.firstRow, 34);
    EXPECT_EQ(c.lastRow, 34);
    EXPECT_EQ(c.firstColumn, 79);
    EXPECT_EQ(c.lastColumn, 79);
    c = cellsToDraw(Rect{600, 400, 900, 600}, 0, 0, 8, 12);
    EXPECT_EQ(c.firstColumn, 75);
    EXPECT_EQ(c.lastColumn, 79);
    EXPECT_EQ(c.lastRow, 34);
    EXPECT_TRUE(cellsToDraw(Rect{0, 0, 40, 24}, 0, 0, 0, 0).empty());  // no font measured yet
}

TEST(ScreenGeometry, PanelBarFrameAndTexts) {
    PanelLayout l = panelLayout(PanelPlace{}, 57);  // before any resize: x 0..200, y 10..30
    EXPECT_EQ(l.done, (Rect{0, 10, 114, 30}));
    EXPECT_EQ(l.remaining, (Rect{114, 10, 200, 30}));
    EXPECT_EQ(l.percentLeft, 150);
    EXPECT_EQ(l.timeLeft, 10);
    EXPECT_EQ(l.infoLeft, 100);
    EXPECT_EQ(l.textTop, 14);
    l = panelLayout(panelAfterResize(640, 300), 100);
    EXPECT_EQ(l.done, (Rect{0, 280, 640, 300}));
    EXPECT_EQ(l.remaining.left, l.remaining.right);
    EXPECT_EQ(l.frame, (Rect{-1, 279, 641, 301}));
    EXPECT_EQ(l.invalidate, (Rect{0, 280, 640, 300}));
    EXPECT_EQ(panelLayout(PanelPlace{}, 0).done.right, 0);
    EXPECT_EQ(elapsedText(65'999), " 1:05 sec");
    EXPECT_EQ(elapsedText(600'000), "10:00 sec");
    EXPECT_EQ(percentText(57), "57 %");
}

}  // namespace
}  // namespace dl
