// The box between exchanges: it waits for a client, greets it with the banner, chats on its console, collects
// typed lines and starts the exchange that a line or a frame asks for. It also decides when the process ends.
#pragma once

#include "box.h"

namespace stbsim {

// Plays the box until the process is to end; returns the exit code.
int runBox(const Options& options, const Inputs& inputs, Line& line);

}  // namespace stbsim
