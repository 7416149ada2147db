// The last word of a session's status line: how its last exchange ended ("Saved 40000 bytes to ...",
// "Line lost", a failure's own words). Set where an exchange ends, read by the status line. Any thread.
#pragma once

#include <string>

namespace dl {

void noteSessionEvent(int slot, std::string note);
std::string sessionNote(int slot);

}  // namespace dl
