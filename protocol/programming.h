// Both ends of the start of a firmware update: typing a programming command to the box, and watching
// the lines the box sends back.
//
// The box answers a command with a start line ("s:prog_start XXXX", the sector count), then asks for
// sectors one by one ("s:prog_sector XXXX") and ends with a stop line ("s:prog_stop XXXX"). Each line
// is assembled in the session's lineBuffer and tested as each character arrives: it is recognised when
// it has exactly the expected length and everything before its four-digit field matches, ignoring
// letter case. The parser only decides; releases of the sector semaphore and the posted Upload command
// are returned as effects.
//
// The stop line also hands the line back to the escape-frame detector (protocolMode 0): otherwise no
// data transfer could start after the first programming run until the program is restarted.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "protocol/effects.h"
#include "protocol/wire.h"
#include "session/session.h"

namespace dl {

// The box's lines in `bytes`, received by the reader of `s` at `nowTick`. Always 0.
int parseProgrammingInput(PortSession& s, std::span<const uint8_t> bytes, uint32_t nowTick, Effects& out);

// Types the command of `kind` to the session of `window`, one character every 50 ms (main thread).
// 1 when typed; 0 without a connected session, or when the boot-block warning of `all` was declined.
int sendProgrammingCommand(WindowId window, ProgrammingCommand kind);

// Returns once at least `ms` milliseconds have passed. It sleeps until the deadline rather than
// polling the clock, so the wait costs no processor time.
void busyWait(uint32_t ms);

// The pause after each typed character; busyWait unless a test replaces it.
extern std::function<void(uint32_t ms)> programmingDelay;

inline constexpr uint32_t kTypingDelayMs = 50;

}  // namespace dl
