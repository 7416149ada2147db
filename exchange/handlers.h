// Connects the protocol machines to the reader thread: each received piece goes to its machine, which
// runs on the process-wide transfer record with the current tick, and what the machine asked for is
// carried out at once on the reader thread.
#pragma once

#include "protocol/effects.h"
#include "session/session.h"

namespace dl {

// Fills receiveHandlers() with the machines.
void installProtocolHandlers();

// Carries out a machine's effects for session `s`, in this order: every port write, the screen marks,
// the semaphore releases, the posted commands, the progress repaint.
void carryOut(PortSession& s, const Effects& e);

// Gives the line back to the terminal from outside the reader (an exchange given up while the reader
// runs): a machine step already under way when this is called has its result dropped, so it cannot
// bring back the state of the exchange that ended. Its machine handler then returns -1.
void takeLineBack();

}  // namespace dl
