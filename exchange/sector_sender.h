// The firmware image and the thread that serves the box's sector requests.
//
// When the box announces a programming run, the session takes its image (the recent file chosen for
// it, or one picked in the dialog), describes it for the progress panel and starts the sender. The
// sender waits on the sector semaphore for each request, sends the 4096 bytes of that sector in
// 128-byte chunks while the port's output queue holds fewer than 128 bytes (sleeping the line time
// of 64 bytes when it is fuller, never spinning), then the sector's 4-byte checksum, and updates the
// progress figures and the window title. It ends on the stop line, a disconnect, or a sector the image
// cannot fill.
#pragma once

#include <cstdint>
#include <string>

#include "session/session.h"

namespace dl {

inline constexpr size_t kChunk = 128;

// Command 608: take the image and start the sender. Returns 0 on every path (non-zero would ask the
// caller to run the selection again).
int startImageUpload(WindowId window);

// Body of the sender thread of the session in `slot`; 1 after serving, 0 when it could not start.
int sectorSenderThread(int slot);

// "Com%d sector %02X chk=%X"
std::string sectorTitle(int portNumber, uint16_t sector, uint32_t checksum);

// Ends this session's programming run: the mode returns to idle, so a data transfer can start later.
void endProgrammingRun(PortSession& s);

}  // namespace dl
