#include "protocol/programming.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "app/commands.h"
#include "protocol/outcome.h"
#include "protocol/protocol_state.h"
#include "serial/port_write.h"
#include "session/terminal.h"

namespace dl {

std::function<void(uint32_t)> programmingDelay = busyWait;

void busyWait(uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

namespace {

constexpr std::string_view kBootBlockText =
    "The STB can not work if downloading breaks before loading boot block.\r\n\r\nContinue anyway ?";
constexpr std::string_view kBootBlockTitle = "Critical Warning: BOOT BLOCK of the STB will be DESTROYED !!!";

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The line's four-digit field, when the line has exactly `fullLength` characters and everything before
// the field matches the pattern's prefix. The lengths come from the session (set at connect); a
// session that never connected has 0 there and recognises nothing.
bool lineMatches(const PortSession& s, uint16_t fullLength, std::string_view pattern, uint16_t* field) {
    if (fullLength <= kHexFieldWidth || fullLength > pattern.size()) return false;
    if (s.lineLength != fullLength) return false;
    const std::string_view line(s.lineBuffer.data(), fullLength);
    const size_t prefix = fullLength - kHexFieldWidth;
    if (!sameIgnoringCase(line.substr(0, prefix), pattern.substr(0, prefix))) return false;
    *field = parseHexField(line.substr(prefix));
    return true;
}

void onSectorRequest(PortSession& s, uint16_t sector, uint32_t, Effects& out) {
    // Stored before the release, so the sender reads the new number once its wait returns. The line
    // stays: a second request on the same line makes it too long to match.
    s.requestedSector = sector;
    ++out.semaphoreReleases;
}

void onStartLine(PortSession& s, uint16_t sectors, uint32_t nowTick, Effects& out) {
    // A count still held (from the semaphore's creation, or a request or stop of an earlier run) would
    // let the new sender serve a sector the box never asked for, and the box would take it as the one
    // it asks for next.
    out.semaphoreDrainAt = out.semaphoreReleases;
    protocolMode = modeProgramming;
    s.announcedSectors = sectors;
    s.sectorsSent = 0;
    s.programming = 1;
    s.startTick = nowTick;
    addPost(out, s.window.load(), cmdUpload, 0);
}

void onStopLine(PortSession& s, uint16_t code, uint32_t, Effects& out) {
    s.stopCode = code;
    // Cleared at once, so a start line that follows without a line break is still recognised.
    s.lineLength = 0;
    s.senderRun = 0;
    ++out.semaphoreReleases;  // a sender waiting for a request wakes up and sees senderRun cleared
    protocolMode = modeIdle;
}

struct LineRule {
    uint16_t PortSession::*length;
    std::string_view pattern;
    void (*act)(PortSession&, uint16_t field, uint32_t nowTick, Effects&);
};

// Tested in this order; the first match is acted on.
constexpr LineRule kLineRules[] = {
    {&PortSession::sectorLineLength, kSectorLinePattern, onSectorRequest},
    {&PortSession::startLineLength, kStartLinePattern, onStartLine},
    {&PortSession::stopLineLength, kStopLinePattern, onStopLine},
};

void testLine(PortSession& s, uint32_t nowTick, Effects& out) {
    for (const LineRule& rule : kLineRules) {
        uint16_t field = 0;
        if (lineMatches(s, s.*rule.length, rule.pattern, &field)) {
            rule.act(s, field, nowTick, out);
            return;
        }
    }
}

}  // namespace

int parseProgrammingInput(PortSession& s, std::span<const uint8_t> bytes, uint32_t nowTick, Effects& out) {
    for (uint8_t byte : bytes) {
        if (storeLineByte(s.lineBuffer, s.lineLength, byte)) testLine(s, nowTick, out);
    }
    return 0;
}

int sendProgrammingCommand(WindowId window, ProgrammingCommand kind) {
    const int slot = findSession(window);
    if (slot == 0) return 0;
    PortSession& s = sessionTable[static_cast<size_t>(slot)];
    if (!s.connected.load()) return 0;
    const std::string_view text = programmingCommandText(kind);
    if (text.empty()) return 0;
    // Set before the warning: the box's lines belong to the programming parser from here on, also when
    // the user declines and types the command by hand.
    protocolMode = modeProgramming;
    transferOwner = slot;
    recordOutcome(ExchangeOutcome{.kind = OutcomeKind::none, .exchange = ExchangeKind::programming});
    if (kind == ProgrammingCommand::all &&
        hostMessageBox(window, std::string(kBootBlockText), std::string(kBootBlockTitle),
                       MessageIcon::warning, MessageButtons::yesNo) != MessageAnswer::yes) {
        return 0;
    }
    s.programming = 0;
    for (char ch : text) {
        const auto byte = static_cast<uint8_t>(ch);
        // One character per write with a pause after each, as if typed: the box takes these commands
        // on its console.
        portWrite(s, &byte, 1);
        if (s.localEcho.load()) terminalWrite(s, &byte, 1);
        programmingDelay(kTypingDelayMs);
    }
    return 1;
}

}  // namespace dl
