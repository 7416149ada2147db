#include "protocol/protocol_state.h"

#include "app/commands.h"
#include "protocol/outcome.h"
#include "session/window_host.h"

namespace dl {

std::atomic<int32_t> protocolMode{modeIdle};
std::atomic<int32_t> transferState{0};
std::atomic<int32_t> transferOwner{0};

void endExchange(std::uintptr_t notifyWindow) {
    transferState = 0;
    protocolMode = modeIdle;
    if (notifyWindow != 0)
        hostPostCommand(notifyWindow, cmdExchangeEnded, static_cast<intptr_t>(lastOutcome().kind));
}

}  // namespace dl
