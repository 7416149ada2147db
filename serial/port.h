// Opening, configuring and closing a session's serial port.
//
// COMn names a device: /dev/ttyS<n-1> on POSIX, \\.\COMn on Windows, unless the settings file or the
// command line name another. The port is opened exclusively (POSIX: TIOCEXCL and flock, since TIOCEXCL
// does not stop root; Windows: no sharing), purged, and programmed raw 8-bit with the session's line
// settings; without flow control DTR and RTS are held off. Reads never block the reader (it waits for
// the line beside a wake-up object), and writes wait at most 2000 ms plus 230400/baud ms per byte.
//
// One backend per platform implements this header (port_posix.cpp with reader_posix.cpp and
// port_write_posix.cpp, or their _win32 counterparts), chosen by CMake; nothing above serial/ knows
// which one runs.
//
// Disconnect stops and joins the session's reader and sender threads before it closes the port, so
// no thread ever touches a closed or reused descriptor or handle.
#pragma once

#include <cstdint>
#include <string>

#include "session/session.h"

namespace dl {

int connectPort(WindowId window);        // 1 connected, 0 not
int applyLineSettings(WindowId window);  // non-zero when the device took the settings
int disconnectPort(WindowId window);     // 1, or 0 without a session
void notifyExternalTerminal(bool afterDisconnect);

// Why the last connectPort of this thread failed ("" when it did not), for detail beside
// "Connection failed.".
const std::string& lastConnectError();

// Whether a device is there to be opened now: a path that names something (a link whose device has
// gone does not), or on Windows a COM port the system knows, held by a program or not.
bool linePresent(const std::string& path);

// Device naming. Ports 1..4; an empty override restores the default.
std::string devicePath(int portNumber);
void setDevicePath(int portNumber, const std::string& path);
// The command told about connects (argument "401") and disconnects ("400"); empty: nobody is told.
void setExternalTerminalCommand(const std::string& path);

// Takes the device names and the external-terminal command from the settings file: section "Devices",
// keys "COM1".."COM4" (device paths) and "ExternalTerminal" (a program run with 401 before a port is
// opened and 400 after one was closed; never through a shell).
struct Profile;
void loadLinkSettings(const Profile& profile);

// Write deadline of one write of `count` bytes at `baud`, in milliseconds.
uint64_t writeTimeoutMs(uint32_t baud, size_t count);

// Wakes whatever of this session waits for the line: the reader, or a writer waiting for room.
void wakeSession(PortSession& s);

}  // namespace dl
