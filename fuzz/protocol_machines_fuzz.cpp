// Drives every protocol machine the way the reader routes received pieces, with the piece sizes and
// the clock taken from the input, and traps when a machine leaves its buffers' bounds or stops
// answering in its own state numbers.
//
// Input layout, repeated: one byte for the piece length (1..128), one byte for the milliseconds that
// pass before the piece (the top bit makes it a jump of seconds, to cross the frame time limit), then
// the piece's bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/data_receive.h"
#include "protocol/data_send.h"
#include "protocol/effects.h"
#include "protocol/handshake.h"
#include "protocol/programming.h"
#include "session/protocol_state.h"
#include "protocol/transfer.h"
#include "session/session.h"

namespace {

using namespace dl;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

int runMachine(int next) {
    // As the reader does: a machine back at idle returns the line to the detector.
    transferState = next;
    if (next == 0) protocolMode = modeIdle;
    return next;
}

void route(TransferRecord& t, PortSession& s, std::span<const uint8_t> piece, uint32_t tick, Effects& out) {
    const int state = transferState.load();
    switch (protocolMode.load()) {
        case modeDataSend:
            // The stream thread's end is simulated: a send waiting in the data phase has finished it.
            if (state == 4) transferState = 5;
            if (transferState.load() > 0) runMachine(runSendMachine(t, s, transferState.load(), piece, out));
            break;
        case modeDataReceive:
            if (state == 5)
                check(runMachine(acceptDataBlock(t, s, state, piece, out)) >= 5);
            else if (state > 0)
                runMachine(runReceiveMachine(t, s, state, piece, tick, out));
            break;
        case modeProgramming:
            parseProgrammingInput(s, piece, tick, out);
            break;
        default:
            if (detectHandshake(t, s, piece, tick, out) == 0) parseProgrammingInput(s, piece, tick, out);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TransferRecord t;
    static PortSession s;
    resetTransfer(t);
    protocolMode = modeIdle;
    transferState = 0;
    s.lineLength = 0;
    s.fileSize = 40000;
    s.percent = 0;
    s.sectorLineLength = static_cast<uint16_t>(kSectorLinePattern.size());
    s.startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
    s.stopLineLength = static_cast<uint16_t>(kStopLinePattern.size());

    uint32_t tick = 0xFFFFF000u;  // close to the wrap of the tick counter
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t want = static_cast<size_t>(data[at] % 128) + 1;
        const uint8_t pause = data[at + 1];
        tick += (pause & 0x80) ? (pause & 0x7F) * 1000u : pause;
        at += 2;
        const size_t n = want < size - at ? want : size - at;
        Effects out;
        route(t, s, std::span<const uint8_t>(data + at, n), tick, out);
        at += n;

        check(t.escapeLength >= 0 && t.escapeLength <= static_cast<int32_t>(kEscapeCapacity));
        check(t.token.length >= 0 && t.token.length <= static_cast<int>(t.token.buffer.size()));
        check(s.lineLength >= 0 && s.lineLength <= static_cast<int32_t>(s.lineBuffer.size()));
        check(t.receivedCount.load() <= kReceiveCapacity);
        check(t.receiveBuffer.size() == kReceiveCapacity);
        check(transferState.load() >= 0 && transferState.load() <= 6);
        for (const auto& w : out.writes) check(!w.empty());
    }
    return 0;
}
