// What a protocol machine asks to happen. The machines only decide; the reader thread applies the
// new mode and state, then carries the effects out, in this order: port writes, screen marks,
// semaphore releases, the outcome, posted commands, then the progress repaint. Keeping clocks, descriptors
// and windows out of the machines makes every wire rule checkable without a port or a display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/outcome.h"
#include "session/window_host.h"

namespace dl {

struct Effects {
    // Each element is one port write: frame bytes go out one per write, each token as one write.
    std::vector<std::vector<uint8_t>> writes;
    std::vector<PostedCommand> posts;
    std::vector<std::string> screenText;  // marks for the session's screen
    int semaphoreReleases = 0;
    // When not -1: after that many of the releases, take back a count the sector semaphore still holds.
    // A new run starts with no request pending, so its sender waits for the box's first request.
    int semaphoreDrainAt = -1;
    bool progressChanged = false;
    // How the exchange ended, when this step ended it; recorded before the posts go out.
    std::optional<ExchangeOutcome> outcome;
    // Who owns the line from now on, when this step changed it (a ProtocolMode), and the machine state
    // a recognised frame started. The one caller that routes bytes applies them: no machine writes
    // the process-wide state itself.
    std::optional<int32_t> nextMode;
    std::optional<int32_t> nextState;
    friend bool operator==(const Effects&, const Effects&) = default;
};

inline void addWrite(Effects& e, std::string_view text) {
    e.writes.emplace_back(text.begin(), text.end());
}
inline void addByteWrite(Effects& e, uint8_t byte) {
    e.writes.push_back({byte});
}
inline void setOutcome(Effects& e, ExchangeKind exchange, OutcomeKind kind) {
    e.outcome = ExchangeOutcome{};
    e.outcome->exchange = exchange;
    e.outcome->kind = kind;
}
inline void addPost(Effects& e, WindowId window, uint16_t command, intptr_t param) {
    e.posts.push_back({window, command, param});
}

}  // namespace dl
