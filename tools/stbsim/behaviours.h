// The box's three exchanges, each started from the console and each ending back at it.
#pragma once

#include <string_view>

#include "box.h"

namespace stbsim {

// A programming command arrived: announce the sectors, request each one, check it, and stop.
void runProgramming(Box& box, std::string_view kind);
// The PC's transfer request frame arrived: take its data file (the box is the receiving side).
void runTake(Box& box);
// Upload data to the PC (the box is the sending side).
void runUpload(Box& box);

}  // namespace stbsim
