// How long console text waits for the repaint that shows it, for the desktop benchmark. Off unless
// DL_PAINT_LATENCY names a file; then each session window's paint records the time since the oldest
// change it shows was handed to the window (from when its bytes began to wait on the line), and at exit
// the counts and percentiles go to that file. Two figures: over every change since the last paint,
// and over those still on the screen when it was painted (a flood moves text off the screen before
// any paint could show it; such text is never shown, late or not).
#pragma once

#include <cstdint>

namespace dl::gui::paint_latency {

// Steady-clock nanoseconds, the stamp a change carries.
int64_t now();
bool enabled();
// One paint after changes made `since` (a stamp of now()), the oldest still shown made at `shown`
// (0: none of them is on the screen).
void record(int64_t since, int64_t shown);
// Writes "paints N p50_us X p99_us Y max_us Z shown_p50_us X shown_p99_us Y shown_max_us Z" to the
// file, when enabled.
void write();

}  // namespace dl::gui::paint_latency
