// What the portable half of serial/ asks of the platform's backend (port_posix.cpp or
// port_win32.cpp, chosen by CMake). Private to serial/: the rest of the core sees only port.h,
// port_write.h and reader.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/reader.h"
#include "session/session.h"

namespace dl {

// COMn's device when nothing maps it: /dev/ttyS<n-1>, or \\.\COMn.
std::string defaultDevicePath(int portNumber);
// Opens `path` exclusively into s.port. False, with the reason in words in `error`.
bool openLine(PortSession& s, const std::string& path, std::string& error);
// Discards what waits in both directions.
void purgeLine(PortSession& s);
// Every close of a port goes through here.
void closeLine(PortSession& s);
// Takes back a wake that is left from the session's last connection.
void clearWakes(PortSession& s);

// The reader's parts (reader.cpp holds the portable ones, the backend the waiting and reading).
// One read of what waits, at most `capacity` bytes, never blocking. Returns the count: 0 with `status`
// empty when nothing waited, or lost (after its error mark) when the device is gone.
size_t readWaiting(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus& status);
// Drains what waits, a read at a time, each read routed and shown piece by piece. `got` adds the bytes
// read. Returns false when the line turned out to be gone.
bool drain(PortSession& s, size_t& got);
// Routes what one read brought, piece by piece, each shown (when no transfer holds the line) before
// the next is routed.
void routeAndShow(PortSession& s, const uint8_t* data, size_t n);
// Whether the line only carries console text, so the reader may let it gather between reads.
bool consoleOnly(const PortSession& s);
// How long the reader lets console text gather after a read that brought `got` bytes.
int consoleGatherMs(size_t got);
// Whether a read that brought `got` bytes gathered over `since` (zero after a quiet spell) is of a fast
// line, one the host paints at the display's pace.
bool fastConsoleLine(size_t got, std::chrono::steady_clock::duration since);
// When a gather that begins at `now` after such a read ends: at least consoleGatherMs later, or, on a
// line already streaming where the host paints on a clock, just before its next paint (nextPaintDue),
// since text read sooner would only wait for that paint; sooner where the driver's buffer would fill
// first, and while the host paints at the display's pace only for a line whose screen moves by a
// screenful within half a paint period. `rows`: how far the read's text moved the screen up; `since`:
// the time from the read before, which gathered this one's bytes (zero after a quiet spell).
std::chrono::steady_clock::time_point consoleGatherEnd(size_t got, uint32_t rows,
                                                       std::chrono::steady_clock::duration since,
                                                       std::chrono::steady_clock::time_point now);
// Records when the bytes the reader hands on next began to wait (lineWaitingSince).
void markLineWaiting(std::chrono::steady_clock::time_point at);

}  // namespace dl

namespace dl {
// The external-terminal command as last set ("" when none).
std::string externalTerminalCommand();
}  // namespace dl
