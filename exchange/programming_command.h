// Typing a programming command to the box, as a person would at its console: one character at a
// time, each followed by a pause. Blocks the calling (main) thread for 50 ms a character.
#pragma once

#include <cstdint>
#include <functional>

#include "protocol/wire.h"
#include "session/session.h"

namespace dl {

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
