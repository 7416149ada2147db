// The sending side of a data send, run on the reader thread on every received block while
// protocolMode is 1.
//
// States: 1 the box's answer frame was just recognised: identify with "h:vexon" at the first accepted
// byte; 2 wait for "s:send size", answer with the file size as "%8u"; 3 wait for "s:send data", then
// the stream thread sends the file (4) and sets 5 when it is done; 5 wait for "s:send sum", answer with
// the checksum; 6 wait for "s:done!", then idle (0). A token that does not match abandons the send
// (0) without a message. The frame is told through command 620: with the size when the data is
// requested, with 0 when the box confirmed the checksum.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/effects.h"
#include "protocol/transfer.h"
#include "session/session.h"

namespace dl {

// Runs the machine from `state` over the block; returns the new state.
int runSendMachine(TransferRecord& t, PortSession& s, int state, std::span<const uint8_t> bytes,
                   Effects& out);

// The whole-number percentage of `done` out of `total`, rounded: (done * 1000 / total + 5) / 10, each
// division dropping its remainder, without overflow. A total of 0 counts as complete (100).
uint32_t progressPercent(uint64_t done, uint64_t total);

}  // namespace dl
