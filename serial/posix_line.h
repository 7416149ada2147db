// The POSIX backend's own handles on the line, for that backend and for the tests and benchmarks that
// run it on pseudo-terminals: the termios image of the line settings, and the system calls a test
// replaces to make them fail or to simulate a UART. Nothing outside serial/ and those needs them.
#pragma once

#include <poll.h>
#include <termios.h>

#include "serial/port_write.h"
#include "session/session.h"

namespace dl {

// The termios image of the session's line settings (raw 8-bit apart from them). False when the device
// could not take them (no such speed or word size).
bool fillLineSettings(const PortSession& s, termios& t);

// How line settings are handed to the device (tcsetattr); tests replace it with a device that takes
// only part of them.
extern int (*setLineAttributes)(int fd, const termios& t);

// How the reader waits for the line (poll); tests replace it to make the wait fail.
extern int (*pollLine)(pollfd* fds, nfds_t count, int timeoutMs);

// How the port is asked for its counters; tests replace it. Returns false where the driver has none.
extern bool (*readLineCounters)(int fd, LineCounters& out);
// How the port is asked for the bytes in its output queue (TIOCOUTQ); a benchmark replaces it with a
// simulated UART that drains at the line rate.
extern int (*readOutputQueue)(int fd);

}  // namespace dl
