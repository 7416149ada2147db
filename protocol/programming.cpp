#include "protocol/programming.h"

#include <string_view>

#include "base/commands.h"
#include "base/text_case.h"
#include "session/protocol_state.h"

namespace dl {

namespace {

// The line's four-digit field, when the line has exactly `fullLength` characters and everything before
// the field matches the pattern's prefix. The lengths come from the session (set at connect); a
// session that never connected has 0 there and recognises nothing.
bool lineMatches(const PortSession& s, uint16_t fullLength, std::string_view pattern, uint16_t* field) {
    if (fullLength <= kHexFieldWidth || fullLength > pattern.size()) return false;
    if (s.lineLength != fullLength) return false;
    const std::string_view line(s.lineBuffer.data(), fullLength);
    const size_t prefix = fullLength - kHexFieldWidth;
    if (!asciiEqualNoCase(line.substr(0, prefix), pattern.substr(0, prefix))) return false;
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
    out.nextMode = modeProgramming;
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
    out.nextMode = modeIdle;
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
    if (s.lineResetPending.exchange(false)) s.lineLength = 0;
    for (uint8_t byte : bytes) {
        if (storeLineByte(s.lineBuffer, s.lineLength, byte)) testLine(s, nowTick, out);
    }
    return 0;
}

}  // namespace dl
