// The escape-frame detector: recognises the two frames that start a data transfer in the received
// bytes while no protocol mode is set.
//
// An ESC opens a frame anywhere, also inside another; the bytes after it are collected. The first must
// be 0xDA. With the kind byte 0xDD and "s:send id" at exactly 11 bytes it is the box's answer to our
// request (a data send starts); with 0xAA and "h:down_data" at exactly 13 bytes the box asks to upload
// (a data receive starts). Every byte must arrive within 2000 ms of its ESC. The detector's values
// persist between blocks, so a frame may arrive split over several reads.
//
// The escape buffer holds 32 bytes; a frame that is still open when a 33rd byte would be stored is
// closed at that byte. Both frames are far shorter, so no frame that could match is lost.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/effects.h"
#include "protocol/transfer.h"
#include "session/session.h"

namespace dl {

enum HandshakeResult : int { handshakeNone = 0, handshakeSend = 1, handshakeReceive = 2 };

// 0 when no frame was completed in the block; 1 when the answer frame started the send machine
// (protocolMode 1); 2 when the request frame started the receive machine (protocolMode 2). A non-zero
// result means the block was consumed.
int detectHandshake(TransferRecord& t, PortSession& s, std::span<const uint8_t> bytes, uint32_t nowTick,
                    Effects& out);

}  // namespace dl
