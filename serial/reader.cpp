#include "serial/reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/commands.h"
#include "protocol/transfer.h"
#include "serial/port_write.h"
#include "serial/session_log.h"
#include "session/protocol_state.h"
#include "session/terminal.h"

namespace dl {

ReceiveHandlers& receiveHandlers() {
    static ReceiveHandlers handlers;
    return handlers;
}

namespace {

// Runs a data-transfer machine; one that returns to idle gives the line back to the terminal and to
// the frame detector, so a later exchange can start.
template <class Handler>
void runMachine(Handler& handler, PortSession& s, int state, std::span<const uint8_t> piece) {
    if (!handler) return;
    const int next = handler(s, state, piece);
    if (next < 0) return;  // the exchange was given up under this step; it was told already
    // A handler may have stored the state itself before it posted anything; the window may have ended
    // the exchange since (a refused stream): that end must not be overwritten with a stale state.
    int32_t expected = state;
    transferState.compare_exchange_strong(expected, next);
    if (next == 0) endExchange(s.window.load());
}

int slotIndex(const PortSession& s) {
    return static_cast<int>(&s - sessionTable.data());
}

// An exchange whose owner was never recorded (0) belongs to whichever line feeds it.
bool isOwner(const PortSession& s) {
    const int owner = transferOwner.load();
    return owner == 0 || owner == slotIndex(s);
}

}  // namespace

int (*pollLine)(pollfd* fds, nfds_t count, int timeoutMs) = ::poll;

namespace {
thread_local std::chrono::steady_clock::time_point waitingSince;
}

std::chrono::steady_clock::time_point lineWaitingSince() {
    return waitingSince;
}

bool ownsExchange(const PortSession& s) {
    return protocolMode.load() == modeIdle || isOwner(s);
}

bool pieceIsShown(const PortSession& s) {
    return transferState.load() == 0 || !isOwner(s);
}

void routePiece(PortSession& s, std::span<const uint8_t> piece) {
    // One exchange runs in the whole program: another box's bytes must neither feed nor abandon it.
    if (!ownsExchange(s)) return;
    auto& h = receiveHandlers();
    const int mode = protocolMode.load();
    const int state = transferState.load();
    switch (mode) {
        case modeDataSend:
            // While the file streams the machine waits; the stream thread hands it the checksum step.
            if (state > SendState::idle && state != SendState::streaming)
                runMachine(h.runSendMachine, s, state, piece);
            return;
        case modeDataReceive:
            if (state == ReceiveState::dataPhase)
                runMachine(h.acceptDataBlock, s, state, piece);
            else if (state > ReceiveState::idle)
                runMachine(h.runReceiveMachine, s, state, piece);
            return;
        case modeProgramming:
            if (h.parseProgrammingInput) h.parseProgrammingInput(s, piece);
            return;
        default:
            if (!(h.detectHandshake && h.detectHandshake(s, piece) != 0) && h.parseProgrammingInput)
                h.parseProgrammingInput(s, piece);
            return;
    }
}

namespace {

// One read of what waits, at most `capacity` bytes (the port is non-blocking, so the read takes only
// what is there). Returns the count: 0 with `status` empty when nothing waited, or lost when the
// device is gone.
size_t readWaiting(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus& status) {
    status = ReadStatus::empty;
    (void)takeLineErrors(s);  // taken and cleared here; shown only when a read fails
    ssize_t k = ::read(s.port.get(), buffer, capacity);
    if (k > 0) {
        status = ReadStatus::data;
        return static_cast<size_t>(k);
    }
    if (k < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // A read of 0 or EIO: the device has vanished (adapter pulled, far side hung up). (With VMIN 1
    // an empty line fails with EAGAIN, so 0 means the far side is gone.)
    writeErrorMark(s, static_cast<uint32_t>(k < 0 ? errno : EIO));
    reportLineErrors(s);
    status = ReadStatus::lost;
    return 0;
}

// Hands what one read brought to the routing in pieces of at most kReadPiece bytes, each routed (and,
// with `show`, shown when no transfer holds the line) before the next: a piece that starts an exchange
// sends the rest of the read to the exchange's machine, as if it had been read on its own.
void routePieces(PortSession& s, const uint8_t* data, size_t n, bool show) {
    for (size_t at = 0; at < n; at += kReadPiece) {
        const std::span<const uint8_t> piece(data + at, std::min(kReadPiece, n - at));
        routePiece(s, piece);
        if (!show) continue;
        if (pieceIsShown(s)) {
            terminalWrite(s, piece.data(), piece.size());
            sessionLogText(s, piece);
        }
        if (!s.readerRun.load()) return;  // a disconnect shows nothing more
    }
}

}  // namespace

size_t readAndRoute(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus* status) {
    ReadStatus st;
    const size_t n = readWaiting(s, buffer, capacity, st);
    if (status) *status = st;
    routePieces(s, buffer, n, false);
    return n;
}

size_t readAndRoute(WindowId window, uint8_t* buffer, size_t capacity) {
    PortSession* s = sessionOf(window);
    return s ? readAndRoute(*s, buffer, capacity) : 0;
}

namespace {

// Drains what waits, a read at a time, each read routed and shown piece by piece. `got` adds the bytes
// read. Returns false when the line turned out to be gone.
bool drain(PortSession& s, size_t& got) {
    uint8_t buffer[kReadChunk];
    for (;;) {
        ReadStatus st;
        const size_t n = readWaiting(s, buffer, sizeof buffer, st);
        const auto readAt = std::chrono::steady_clock::now();
        if (st == ReadStatus::lost) return false;
        if (n == 0) return true;
        got += n;
        routePieces(s, buffer, n, true);
        waitingSince = readAt;  // what the next read takes came after this one
        hostUpdateNow(s.window.load());
        // A read that left room took all there was; the poll tells when more comes, so a second read
        // that would only fail is not made.
        if (n < sizeof buffer || !s.readerRun.load()) return true;
    }
}

// While the line only carries console text (no exchange anywhere, no programming run armed on this
// session), the reader lets it gather between reads: a box that prints line by line at 3 Mbaud would
// otherwise wake the reader thousands of times a second, each wake costing more than the text it
// brings. After a read that brought text the reader sleeps first and then looks, so a steady stream
// costs one wake every two milliseconds. Text after a quiet spell is read at once, before any gather:
// a hang-up discards what the driver still holds (on a pseudo-terminal the read after the far side
// closed returns none of it), so a box's last words before it is unplugged would be lost to a gather
// made in front of them. What comes during a gather and is followed at once by a hang-up is still lost;
// that is the gather's price, paid only by a line that is already streaming.
// Two milliseconds are far below a display frame (measured at 3 Mbaud: halving the wakes from one a
// millisecond took 15 to 20 % off the desktop program's share of a core), and the console's recognisers
// keep their counts across pieces, so only the cut points move. During an exchange every byte is read at
// once, as it comes.
constexpr int kConsoleGatherMs = 2;
// A flood (a gather that brought this much or more, about 2.5 Mbaud and up) moves the screen by more
// than a screenful a frame, so the window only ever shows its newest text; a longer gather halves the
// wakes of the fastest lines for about 3 ms more on that text (still well within a frame), and leaves
// no more than about 2 KiB waiting in the driver at 5 Mbaud.
constexpr size_t kFloodBytes = 512;
constexpr int kFloodGatherMs = 4;

bool consoleOnly(const PortSession& s) {
    return protocolMode.load() == modeIdle && transferState.load() == 0 && s.programming.load() == 0;
}

// The wake descriptor still ends the wait at once for a disconnect.
void sleepWakeable(pollfd& wake, int ms) {
    pollfd w{wake.fd, POLLIN, 0};
    (void)::poll(&w, 1, ms);
}

void clearWake(PortSession& s) {
    uint64_t v;
    while (::read(s.readWake.get(), &v, sizeof v) > 0) {
    }
}

}  // namespace

int readerMain(PortSession& s) {
    const WindowId window = s.window.load();
    bool lost = false;
    bool gathered = false;  // the reader slept after text came, so what waits now has gathered
    pollfd fds[2] = {{s.port.get(), POLLIN, 0}, {s.readWake.get(), POLLIN, 0}};
    while (s.connected.load() && s.readerRun.load()) {
        int r = pollLine(fds, 2, gathered ? 0 : -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            // A reader that cannot wait for the line is as good as a lost line: a session left
            // "connected" that shows nothing would look like a silent box.
            writeErrorMark(s, static_cast<uint32_t>(errno));
            lost = true;
            break;
        }
        if (r == 0) {  // nothing came while it slept: the stream has paused
            gathered = false;
            continue;
        }
        if (!s.readerRun.load()) break;
        if (fds[1].revents & POLLIN) clearWake(s);
        if (fds[0].revents & POLLNVAL) {
            lost = true;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (!gathered) waitingSince = std::chrono::steady_clock::now();
            gathered = false;
            size_t got = 0;
            if (!drain(s, got)) {
                lost = true;
                break;
            }
            if (got > 0 && consoleOnly(s) && s.readerRun.load()) {
                sleepWakeable(fds[1], got >= kFloodBytes ? kFloodGatherMs : kConsoleGatherMs);
                gathered = true;
            }
        }
    }
    if (lost) {
        s.readerRun = 0;
        hostPostCommand(window, cmdLineLost, 0);
    }
    s.readerThreadId = 0;
    return 1;
}

}  // namespace dl
