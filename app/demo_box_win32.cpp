// The demonstration box on Windows: there is none. stbsim answers on a pseudo-terminal, which Windows
// does not have, so a demonstration run says why it cannot start (the caller shows the reason) and
// nothing else changes; a real box on a COM port works as on Linux.
#include "app/demo_box.h"

namespace dl {

std::string findStbsim(const std::string&) {
    return {};
}

std::optional<DemoBox> startDemoBox(const std::string&, std::string* error, uint32_t) {
    if (error)
        *error = "the demonstration box (stbsim) needs a pseudo-terminal, which Windows does not have; "
                 "run the demonstration on Linux, or connect a real box";
    return std::nullopt;
}

void stopDemoBox(DemoBox&) {}

}  // namespace dl
