// The receiving side of a data transfer: the box uploads data, which is collected in the transfer
// record's receiveBuffer, checked against the box's checksum and kept for saving.
//
// States: 1 the box's request frame was just recognised: send the answer frame; 2 wait for "h:vexon",
// ask for the size; 3 take the 8-character size field, ask for the data; 4 wait for the start of the
// data (CR, LF or any accepted byte; the block that starts it contributes no data); 5 data phase,
// handled block by block by acceptDataBlock until the announced size is reached, then ask for the
// checksum; 6 take the 8-character checksum field: on a match confirm with "s:done!" and tell the
// frame the size through command 619. Every other outcome ends in idle (0) without a message.
//
// The buffer holds 262144 bytes and is never written past: an announced size above that, or a
// negative one, is refused at the size step: the data is not asked for, the machine goes idle and
// the screen shows the mark "<CE-1B>" (EFBIG). An announced size of 0 is complete at the start of its
// data (a box may send no data block for it): the checksum is asked for at once, at 100 percent.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/effects.h"
#include "protocol/transfer.h"
#include "session/session.h"

namespace dl {

// Runs the machine from `state` over the block; returns the new state. `nowTick` stamps the start of
// the data phase.
int runReceiveMachine(TransferRecord& t, PortSession& s, int state, std::span<const uint8_t> bytes,
                      uint32_t nowTick, Effects& out);

// One block of the data phase (state 5): stores the bytes up to the announced size, drops the rest,
// and returns 6 once the size is reached (the checksum is then asked for), else 5.
int acceptDataBlock(TransferRecord& t, PortSession& s, int state, std::span<const uint8_t> bytes,
                    Effects& out);

}  // namespace dl
