// How long console text waits for the repaint that shows it, for the desktop benchmark. Off unless
// DL_PAINT_LATENCY names a file; then each session window's paint records the time since the oldest
// change it shows was handed to the window, and at exit the counts and percentiles go to that file.
#pragma once

#include <cstdint>

namespace dl::gui::paint_latency {

// Steady-clock nanoseconds, the stamp a change carries.
int64_t now();
bool enabled();
// One paint that showed changes made `since` (a stamp of now()).
void record(int64_t since);
// Writes "paints N p50_us X p99_us Y max_us Z" to the file, when enabled.
void write();

}  // namespace dl::gui::paint_latency
