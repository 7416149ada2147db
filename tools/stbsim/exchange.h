// How the box takes what the PC sends during an exchange: tokens, decimal fields, the answer frame and raw
// data. A token from the PC is the run of printable bytes (0x20..0xFF) up to CR or LF; other control bytes
// are ignored and empty tokens skipped, the tolerance the PC itself applies. Unlike the PC, the box compares
// whole tokens, so trailing junk after a token is reported instead of slipping through.
//
// Waiting for a token gives up after the timeout (TIMEOUT, then ExchangeAbort); raw data waits the timeout
// for each further piece, so a long transfer at a slow rate is not cut short.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "box.h"

namespace stbsim {

std::string readToken(Box& box, std::string_view phase);
void expectToken(Box& box, std::string_view expected, std::string_view phase);
uint32_t readDecimalField(Box& box, std::string_view phase);
// Skips whatever comes before the frame's ESC; any other byte after it is a protocol error.
void expectFrame(Box& box, std::span<const uint8_t> frame, std::string_view phase);

// Up to `count` bytes; fewer when the PC falls silent. With a hang-up planned at `midPhase`, the line is hung
// up once half of the bytes have arrived.
Bytes receiveBlock(Box& box, size_t count, std::string_view midPhase);
// Sends data at the line rate; with a hang-up planned at `midPhase`, hangs up after half of it.
void sendBlock(Box& box, std::span<const uint8_t> data, std::string_view midPhase);

}  // namespace stbsim
