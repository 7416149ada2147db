#include "protocol/protocol_state.h"

namespace dl {

std::atomic<int32_t> protocolMode{modeIdle};
std::atomic<int32_t> transferState{0};

}  // namespace dl
