#include "exchange/programming_command.h"

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "base/texts.h"
#include "exchange/exchange_watch.h"
#include "protocol/outcome.h"
#include "serial/port_write.h"
#include "session/protocol_state.h"
#include "session/terminal.h"

namespace dl {

std::function<void(uint32_t)> programmingDelay = busyWait;

void busyWait(uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

int sendProgrammingCommand(WindowId window, ProgrammingCommand kind) {
    const int slot = findSession(window);
    if (slot == 0) return 0;
    PortSession& s = sessionTable[static_cast<size_t>(slot)];
    if (!s.connected.load()) return 0;
    const std::string_view command = programmingCommandText(kind);
    if (command.empty()) return 0;
    // Set before the warning: the box's lines belong to the programming parser from here on, also when
    // the user declines and types the command by hand.
    protocolMode = modeProgramming;
    transferOwner = slot;
    recordOutcome(ExchangeOutcome{.kind = OutcomeKind::none, .exchange = ExchangeKind::programming});
    if (kind == ProgrammingCommand::all &&
        hostMessageBox(window, std::string(text(Text::bootBlockText)),
                       std::string(text(Text::bootBlockTitle)), MessageIcon::warning,
                       MessageButtons::yesNoDefaultNo) != MessageAnswer::yes) {
        return 0;
    }
    s.programming = 0;
    for (size_t i = 0; i < command.size(); ++i) {
        const auto byte = static_cast<uint8_t>(command[i]);
        // The box answers only after the command's last character: whatever its console printed up to
        // then (a prompt without a line end, the echo of the typing) is not the start of its answer.
        if (i + 1 == command.size()) s.lineResetPending = true;
        // One character per write with a pause after each, as if typed: the box takes these commands
        // on its console.
        portWrite(s, &byte, 1);
        if (s.localEcho.load()) terminalWrite(s, &byte, 1);
        programmingDelay(kTypingDelayMs);
    }
    expectExchange(window, ExchangeKind::programming);
    return 1;
}

}  // namespace dl
