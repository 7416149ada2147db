#include "session/session_note.h"

#include <array>
#include <mutex>

#include "session/session.h"

namespace dl {

namespace {

std::mutex notesMutex;
std::array<std::string, kSessionSlots> notes;

}  // namespace

void noteSessionEvent(int slot, std::string note) {
    if (slot <= 0 || slot >= kSessionSlots) return;
    std::lock_guard lock(notesMutex);
    notes[static_cast<size_t>(slot)] = std::move(note);
}

std::string sessionNote(int slot) {
    if (slot <= 0 || slot >= kSessionSlots) return {};
    std::lock_guard lock(notesMutex);
    return notes[static_cast<size_t>(slot)];
}

}  // namespace dl
