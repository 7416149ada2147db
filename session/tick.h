// The millisecond tick counter: a 32-bit count that wraps, as the protocols' timers expect. Differences
// are taken as unsigned 32-bit values, so a wrap never lengthens a wait.
#pragma once

#include <chrono>
#include <cstdint>

namespace dl {

inline uint32_t tickNow() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline uint32_t ticksSince(uint32_t start, uint32_t now) {
    return now - start;
}

}  // namespace dl
