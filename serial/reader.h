// The reader thread of a connected session and the routing of what it receives.
//
// The reader sleeps on the port and the session's wake-up object (poll() on POSIX, an overlapped wait on
// Windows), so a disconnect ends its wait at once. It drains what waits, a read at a time, and hands each read in pieces of at most
// 128 bytes to the handler that owns the line (chosen by protocolMode and transferState); a piece is
// shown on the screen exactly when transferState is 0 after its handler ran. A device that vanishes
// ends the reader with an error mark and a posted cmdLineLost, so the window disconnects it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "session/session.h"

namespace dl {

inline constexpr size_t kReadPiece = 128;
// The most one read takes from the port; it is routed in pieces of kReadPiece.
inline constexpr size_t kReadChunk = 4096;

// The protocol handlers the routing calls, all on the reader thread. Unset handlers take nothing (a
// machine handler then leaves the state as it is). A machine handler returns the next state, or -1
// when the exchange was given up before its step could run (nothing is then done for it).
struct ReceiveHandlers {
    std::function<int(PortSession&, int state, std::span<const uint8_t>)> runSendMachine;
    std::function<int(PortSession&, int state, std::span<const uint8_t>)> acceptDataBlock;
    std::function<int(PortSession&, int state, std::span<const uint8_t>)> runReceiveMachine;
    std::function<int(PortSession&, std::span<const uint8_t>)> detectHandshake;
    std::function<void(PortSession&, std::span<const uint8_t>)> parseProgrammingInput;
};
ReceiveHandlers& receiveHandlers();

// Body of the reader thread of `session`; 1 after a normal end, 0 after a failed start.
int readerMain(PortSession& session);

enum class ReadStatus { data, empty, lost };
// Reads at most `capacity` waiting bytes into buffer and routes them. Returns the count read (0 when
// nothing waited or the window has no session).
size_t readAndRoute(WindowId window, uint8_t* buffer, size_t capacity);
size_t readAndRoute(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus* status = nullptr);

// Hands a received piece to its handler by the current protocolMode and transferState. While an
// exchange runs, only the session that owns it (transferOwner) feeds a machine.
void routePiece(PortSession& s, std::span<const uint8_t> piece);

// Whether the session's pieces go to the machines: always while no exchange runs, else only for the
// exchange's own session.
bool ownsExchange(const PortSession& s);
// Whether a routed piece is shown: unless it belongs to the running data exchange of this session.
bool pieceIsShown(const PortSession& s);

// When the bytes the calling reader thread is handing on began to wait for it on the line: the
// moment it woke for them or, in a steady stream, its read before. For latency probes of a host; the
// clock's epoch on any other thread.
std::chrono::steady_clock::time_point lineWaitingSince();

}  // namespace dl
