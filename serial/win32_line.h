// The Win32 backend's own handles on the line, for that backend and its tests: the DCB image of the
// line settings and the timeouts the port runs with.
#pragma once

#include <windows.h>

#include "session/session.h"

namespace dl {

// The DCB image of the session's line settings: binary, no error replacement, no abort on error, and
// flow control only as the session asks for it. False when the device could not take them (no such
// speed, word size or parity). `dcb` keeps what the driver filled in otherwise.
bool fillDcb(const PortSession& s, DCB& dcb);

// The timeouts of the port: none for reads (the reader waits for the first byte with an overlapped
// read of one byte beside its wake event, then takes what ClearCommError says waits, which completes at
// once) and none for writes (a write waits for its deadline beside the session's other wake event).
COMMTIMEOUTS portTimeouts();

}  // namespace dl
