// The box's side of the start of a firmware update as this end reads it: the lines the box sends
// back after a programming command (typing the command is exchange/programming_command.h).
//
// The box answers a command with a start line ("s:prog_start XXXX", the sector count), then asks for
// sectors one by one ("s:prog_sector XXXX") and ends with a stop line ("s:prog_stop XXXX"). Each line
// is assembled in the session's lineBuffer and tested as each character arrives: it is recognised when
// it has exactly the expected length and everything before its four-digit field matches, ignoring
// letter case. The parser only decides; releases of the sector semaphore and the posted Upload command
// are returned as effects.
//
// The stop line also hands the line back to the escape-frame detector (protocolMode 0): otherwise no
// data transfer could start after the first programming run until the program is restarted.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/effects.h"
#include "protocol/wire.h"
#include "session/session.h"

namespace dl {

// The box's lines in `bytes`, received by the reader of `s` at `nowTick`. Always 0.
int parseProgrammingInput(PortSession& s, std::span<const uint8_t> bytes, uint32_t nowTick, Effects& out);

}  // namespace dl
