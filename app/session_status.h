// What the status line under a session window says: the line (connected or not, the device, the speed),
// then the exchange that runs with its figures, or else how the last one of the session ended ("Saved
// 40000 bytes to ...", "Line lost", a failure's own words).
//
// The ended note is set by the dispatcher and the save as an exchange ends; the text is composed anew
// each time the line is drawn, from the session's figures. Any thread may set a note; the front end
// reads the text on its main thread.
#pragma once

#include <string>

#include "session/session_note.h"

namespace dl {

std::string sessionStatus(int slot);
struct PortSession;
// How long the session's transfer has run, "0:22".
std::string runTime(const PortSession& s);

}  // namespace dl
