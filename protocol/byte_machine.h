// The shape both data-transfer machines share: one small handler per state, fed one byte at a time,
// each able to end the block early (the rest of it is then not examined).
#pragma once

#include <cstdint>
#include <span>

namespace dl {

enum class Flow { next, stop };  // stop: the rest of the block is not examined

// Feeds the block to the handler of the run's current state, byte by byte; returns the state reached.
// `Run` has an int `state`; `handlerFor` maps a state to its handler.
template <class Run>
int feedBytes(Run& run, std::span<const uint8_t> bytes, Flow (*(*handlerFor)(int))(Run&, uint8_t)) {
    for (uint8_t byte : bytes) {
        if (handlerFor(run.state)(run, byte) == Flow::stop) break;
    }
    return run.state;
}

}  // namespace dl
