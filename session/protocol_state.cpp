#include "session/protocol_state.h"

#include "base/commands.h"
#include "session/window_host.h"

namespace dl {

std::atomic<int32_t> protocolMode{modeIdle};
std::atomic<int32_t> transferState{0};
std::atomic<int32_t> transferOwner{0};

void endExchange(std::uintptr_t notifyWindow) {
    transferState = 0;
    protocolMode = modeIdle;
    if (notifyWindow != 0) hostPostCommand(notifyWindow, cmdExchangeEnded, 0);
}

}  // namespace dl
