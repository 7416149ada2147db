// Whole sessions as the reader thread drives them: arbitrary bytes, cut into pieces at arbitrary points
// and spaced by arbitrary gaps of the clock, go through the real routing (routePiece) and the real
// handlers (installProtocolHandlers) of one or two connected sessions, and every piece the routing
// leaves to the terminal is shown, as the reader does. Traps when a cursor leaves the screen, a buffer
// count passes its size, the received count passes the announced size or the announced size passes
// the buffer, a state or mode leaves its range, or a session that does not own the running exchange
// feeds a machine or changes the exchange.
//
// Input: one set-up byte (bit 0 two sessions, bit 1 auto-wrap, bit 2 new line on CR, bits 3..7 the size
// of the file a send would announce, in KiB), then records: one byte whose top bit picks the second
// session and whose low 7 bits are the piece length less one, one byte of clock gap before the piece
// (milliseconds; with the top bit set, seconds, to cross the frame's time limit), the piece's bytes.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "exchange/handlers.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/session.h"
#include "session/terminal.h"

namespace {

using namespace dl;

constexpr WindowId kWindows[2] = {0x101, 0x102};
constexpr int kSlots[2] = {1, 2};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Which session a machine was handed during the piece being routed (0: none yet).
int fedSlot = 0;

int slotOf(const PortSession& s) {
    return static_cast<int>(&s - sessionTable.data());
}

// Every machine call is checked at the moment it is made: a running exchange takes bytes only from the
// session that owns it.
void noteFeed(const PortSession& s) {
    const int owner = transferOwner.load();
    check(protocolMode.load() == modeIdle || owner == 0 || owner == slotOf(s));
    fedSlot = slotOf(s);
}

// The real handlers, each wrapped so that a call is noted before it runs.
void wrapHandlers() {
    installProtocolHandlers();
    ReceiveHandlers& h = receiveHandlers();
    auto wrapMachine = [](auto real) {
        return [real](PortSession& s, int state, std::span<const uint8_t> bytes) {
            noteFeed(s);
            return real(s, state, bytes);
        };
    };
    h.runSendMachine = wrapMachine(h.runSendMachine);
    h.acceptDataBlock = wrapMachine(h.acceptDataBlock);
    h.runReceiveMachine = wrapMachine(h.runReceiveMachine);
    auto detect = h.detectHandshake;
    h.detectHandshake = [detect](PortSession& s, std::span<const uint8_t> bytes) {
        noteFeed(s);
        return detect(s, bytes);
    };
    auto parse = h.parseProgrammingInput;
    h.parseProgrammingInput = [parse](PortSession& s, std::span<const uint8_t> bytes) {
        noteFeed(s);
        parse(s, bytes);
    };
}

// Two sessions made as the program makes them, each with a line that swallows what is written to it.
void setUpOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    for (int i = 0; i < 2; ++i) {
        check(createSession(kWindows[i], kSlots[i]) == 1);
        PortSession& s = sessionTable[kSlots[i]];
        s.port.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        check(static_cast<bool>(s.port));
        s.connected = 1;
        s.readerRun = 1;
        s.sectorLineLength = static_cast<uint16_t>(kSectorLinePattern.size());
        s.startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
        s.stopLineLength = static_cast<uint16_t>(kStopLinePattern.size());
    }
    wrapHandlers();
}

void resetSession(PortSession& s, uint8_t setup) {
    {
        std::lock_guard lock(s.screenMutex);
        s.screen.fill(' ');
        s.row = 0;
        s.column = 0;
    }
    s.autoWrap = (setup >> 1) & 1;
    s.newLineOnCr = (setup >> 2) & 1;
    s.charWidth = 8;
    s.charHeight = 16;
    s.lineLength = 0;
    s.programming = 0;
    s.transferActive = 0;
    s.percent = 0;
    s.fileSize = static_cast<uint32_t>(setup >> 3) * 1024u;
}

// The clock moves on by the gap: the detector measures a frame's age from the tick of its ESC, so
// moving that tick back is the same as the time passing.
void letTimePass(uint8_t gap) {
    const uint32_t ms = (gap & 0x80) ? (gap & 0x7Fu) * 1000u : gap;
    transfer.escapeTick -= ms;
}

void checkInvariants() {
    for (int slot : kSlots) {
        PortSession& s = sessionTable[slot];
        const CursorPos c = cursorOf(s);
        check(c.row >= 0 && c.row < kScreenRows && c.column >= 0 && c.column < kScreenColumns);
        check(s.lineLength >= 0 && s.lineLength <= static_cast<int32_t>(s.lineBuffer.size()));
    }
    check(transfer.escapeLength >= 0 && transfer.escapeLength <= static_cast<int32_t>(kEscapeCapacity));
    check(transfer.token.length >= 0 && transfer.token.length <= static_cast<int>(transfer.token.buffer.size()));
    check(transfer.receiveBuffer.size() == kReceiveCapacity);
    const uint32_t announced = static_cast<uint32_t>(transfer.announcedSize.load());
    check(announced <= kReceiveCapacity);
    check(transfer.receivedCount.load() <= announced);
    const int mode = protocolMode.load();
    check(mode == modeIdle || mode == modeDataSend || mode == modeDataReceive || mode == modeProgramming);
    check(transferState.load() >= 0 && transferState.load() <= 6);
    check(transferOwner.load() >= 0 && transferOwner.load() < kSessionSlots);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    setUpOnce();
    const uint8_t setup = data[0];
    const int sessions = (setup & 1) ? 2 : 1;
    resetTransfer(transfer);
    protocolMode = modeIdle;
    transferState = 0;
    transferOwner = 0;
    for (int slot : kSlots) resetSession(sessionTable[slot], setup);

    size_t at = 1;
    while (at + 2 <= size) {
        const uint8_t head = data[at];
        PortSession& s = sessionTable[kSlots[sessions == 2 ? head >> 7 : 0]];
        const size_t want = static_cast<size_t>(head & 0x7F) + 1;
        letTimePass(data[at + 1]);
        at += 2;
        const size_t n = want < size - at ? want : size - at;
        const std::span<const uint8_t> piece(data + at, n);
        at += n;

        // A send whose data phase began has, by the next piece, been streamed to its end: the stream
        // thread hands the machine on to the checksum step.
        if (protocolMode.load() == modeDataSend && transferState.load() == 4) transferState = 5;

        const int modeBefore = protocolMode.load();
        const int stateBefore = transferState.load();
        const int ownerBefore = transferOwner.load();
        const bool foreign = modeBefore != modeIdle && ownerBefore != 0 && ownerBefore != slotOf(s);
        fedSlot = 0;
        routePiece(s, piece);
        if (pieceIsShown(s)) terminalWrite(s, piece.data(), piece.size());

        if (foreign) {
            // Another box's bytes: shown on its own screen, never fed to the exchange nor ending it.
            check(fedSlot == 0);
            check(protocolMode.load() == modeBefore && transferState.load() == stateBefore);
            check(transferOwner.load() == ownerBefore);
            check(pieceIsShown(s));
        }
        checkInvariants();
    }
    return 0;
}
