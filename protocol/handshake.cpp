#include "protocol/handshake.h"

#include <algorithm>
#include <string_view>

#include "base/commands.h"
#include "protocol/data_receive.h"
#include "protocol/data_send.h"
#include "session/protocol_state.h"
#include "session/tick.h"

namespace dl {
namespace {

void openFrame(TransferRecord& t, uint32_t nowTick) {
    t.escapeTick = nowTick;
    t.inEscape = 1;
    t.escapeLength = 0;
}

// Stores one byte of an open frame. True when the frame may now be complete: at least two bytes held
// and the first is 0xDA. A frame that cannot be one of ours any more is closed.
bool collectFrameByte(TransferRecord& t, uint8_t byte) {
    if (t.escapeLength >= static_cast<int32_t>(kEscapeCapacity)) {
        t.inEscape = 0;
        return false;
    }
    t.escapeBuffer[static_cast<size_t>(t.escapeLength++)] = byte;
    if (t.escapeLength < 2) return false;
    if (t.escapeBuffer[0] != kFrameLead) {
        t.inEscape = 0;
        return false;
    }
    return true;
}

// Exact comparison at exactly the frame's length: a frame that differs there can never match later.
bool frameIs(const TransferRecord& t, uint8_t kind, std::string_view token) {
    const size_t length = 2 + token.size();
    return static_cast<size_t>(t.escapeLength) == length && t.escapeBuffer[1] == kind &&
           std::equal(token.begin(), token.end(), t.escapeBuffer.begin() + 2);
}

void closeFrame(TransferRecord& t) {
    t.escapeLength = 0;
    t.inEscape = 0;
}

int startSend(TransferRecord& t, PortSession& s, std::span<const uint8_t> block, Effects& out) {
    closeFrame(t);
    setOutcome(out, ExchangeKind::dataSend, OutcomeKind::none);  // a new exchange: nothing ended yet
    // The machine sees the whole block; the frame's own bytes are enough for it to identify at once.
    out.nextState = runSendMachine(t, s, SendState::answered, block, out);
    out.nextMode = modeDataSend;
    return handshakeSend;
}

int startReceive(TransferRecord& t, PortSession& s, std::span<const uint8_t> block, uint32_t nowTick,
                 Effects& out) {
    closeFrame(t);
    setOutcome(out, ExchangeKind::dataReceive, OutcomeKind::none);
    out.nextState = runReceiveMachine(t, s, ReceiveState::requested, block, nowTick, out);
    addPost(out, 0, cmdReceiveNotify, 0);
    out.nextMode = modeDataReceive;
    return handshakeReceive;
}

}  // namespace

int detectHandshake(TransferRecord& t, PortSession& s, std::span<const uint8_t> bytes, uint32_t nowTick,
                    Effects& out) {
    for (uint8_t byte : bytes) {
        if (byte == kEscape) {
            openFrame(t, nowTick);
            continue;
        }
        if (!t.inEscape) continue;
        if (ticksSince(t.escapeTick, nowTick) > kFrameWindowMs) {
            // A late byte ends the frame and the block: an ESC further on does not open a new one.
            t.inEscape = 0;
            return handshakeNone;
        }
        if (!collectFrameByte(t, byte)) continue;
        if (frameIs(t, kAnswerKind, kAnswerToken)) return startSend(t, s, bytes, out);
        if (frameIs(t, kRequestKind, kRequestToken)) return startReceive(t, s, bytes, nowTick, out);
    }
    return handshakeNone;
}

}  // namespace dl
