// The one way bytes reach the box, and the error marks that are the only report of line errors.
//
// A write of a session holds its write lock from the first byte to the last, so writes from the main
// thread (typing, commands), the reader (protocol answers) and a sender never interleave. A write that
// cannot complete at once waits for room, up to the port's write deadline, and is cut short
// by a disconnect. Failures show as "<CE-%X>" marks on the session's screen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace dl {

// 1 when the write was carried out (its failure, if any, shown as marks), 0 when it failed at once or
// the window has no session.
int portWrite(WindowId window, const uint8_t* bytes, size_t count);
int portWrite(PortSession& s, const uint8_t* bytes, size_t count);
// A character typed in the session window: sent to the port and, with local echo, shown. 1 when sent,
// 0 when the window has no session or is not connected (the character is then dropped unshown).
int typeChar(WindowId window, uint8_t ch);

// printf-style text (shorter than 256 characters) to the session's port.
int portPrintf(PortSession& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
int portPutByte(PortSession& s, int value);

// Bytes waiting in the port's output queue; 0 where the driver cannot tell (pseudo-terminals), in which
// case a full line shows as a write that waits.
int outputQueueBytes(PortSession& s);
// False where the driver cannot tell its output queue (a pseudo-terminal): there a write that waits for
// room is the only pace, so a sender hands over what it holds in one write instead of a call a chunk.
bool outputQueueTold(const PortSession& s);
// Sleeps the time the line needs for `bytes` bytes at the session's speed (to the microsecond, so a
// fast line is not left idle); a disconnect (the session's wake-up) ends the sleep at once. Returns
// false when woken that way.
bool waitLineTime(PortSession& s, size_t bytes);
// How many bytes must leave a queue holding `queued` before it holds fewer than `threshold`: one
// wake-up per chunk, right when the next chunk may go (half a chunk when the queue says nothing).
inline size_t bytesUntilRoom(int queued, size_t threshold) {
    if (queued < static_cast<int>(threshold)) return threshold / 2;
    return static_cast<size_t>(queued) - threshold + 1;
}

// Writes "<CE-%X>" with value onto the session's screen.
void writeErrorMark(PortSession& s, uint32_t value);
// Line-error bits that appeared since the last call (0x1 overflow, 0x2 overrun, 0x4 parity, 0x8 framing,
// 0x10 break); 0 where the driver keeps no counters.
uint32_t takeLineErrors(PortSession& s);
// Shows the line-error bits, if any, as a mark when displayErrors is set.
void reportLineErrors(PortSession& s);

// Line-error counters as the driver keeps them, in the order overflow, overrun, parity, framing, break.
using LineCounters = std::array<int32_t, 5>;
// Turns the growth of the counters into error bits.
uint32_t lineErrorBits(const LineCounters& before, const LineCounters& now);

}  // namespace dl
