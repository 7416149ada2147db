// Process-wide transfer state: who owns the received bytes and where the active data-transfer machine
// stands. Only one transfer runs in the whole application at a time, so these are shared by all
// sessions. They are written on reader threads and read by the main thread, hence atomics.
#pragma once

#include <atomic>
#include <cstdint>

namespace dl {

enum ProtocolMode : int32_t {
    modeIdle = 0,         // escape-frame detection and programming-line parsing run on every piece
    modeDataSend = 1,     // the PC sends a data file
    modeDataReceive = 2,  // the box uploads data
    modeProgramming = 4,  // sector programming
};

extern std::atomic<int32_t> protocolMode;
// State number of the active data-transfer machine; 0 idle. While non-zero, received bytes are not shown.
extern std::atomic<int32_t> transferState;
// Slot of the session whose exchange set the mode last (0 before any): the one a result, a disconnect or
// a finished run refers to, since only one exchange runs in the application at a time. It outlives the
// exchange, because the results are shown (and the received data saved) after the line went idle.
extern std::atomic<int32_t> transferOwner;

// Returns the line to the terminal after an exchange ended or was abandoned, and tells the session
// window (when one is named) with cmdExchangeEnded; how it ended is the recorded outcome
// (protocol/outcome.h).
void endExchange(std::uintptr_t notifyWindow = 0);

}  // namespace dl
