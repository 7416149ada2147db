// Connecting a session again when its device returns (opt-in): a USB adapter pulled out and put back,
// a box's own USB serial port that goes away while it reboots.
//
// When the line is lost with this on, the session waits for its device instead of only saying the
// line is gone; each tick looks whether the device is back and, when it is, connects the same window
// with the same settings. What ran over the line ended with the loss and is not taken up again: a
// broken exchange has already ended with its outcome, and the session comes back idle. A user who
// connects, disconnects or closes the window ends the wait. All on the main thread.
#pragma once

#include <atomic>
#include <string>

#include "session/session.h"

namespace dl {

// Stored in the settings file's [Connection] section, key ReconnectAutomatically.
extern std::atomic<bool> reconnectAutomatically;

// The window of `slot` waits for its device from now on.
void awaitDevice(int slot);
void stopAwaitingDevice(int slot);
void stopAwaitingEveryDevice();
bool awaitingDevice(int slot);

// Connects every waiting session whose device is present again; returns how many came back. A device
// that is present but cannot be opened yet (udev still setting its permissions) is tried again at
// the next tick.
int reconnectTick();

// Whether the device a port names is there now; tests replace it.
extern bool (*devicePresent)(const std::string& path);

}  // namespace dl
