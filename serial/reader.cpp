#include "serial/reader.h"

#include <algorithm>

#include "base/commands.h"
#include "protocol/transfer.h"
#include "serial/line_backend.h"
#include "serial/port_write.h"
#include "serial/session_log.h"
#include "session/protocol_state.h"
#include "session/terminal.h"
#include "session/window_host.h"

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

namespace {
thread_local std::chrono::steady_clock::time_point waitingSince;
}

std::chrono::steady_clock::time_point lineWaitingSince() {
    return waitingSince;
}

void markLineWaiting(std::chrono::steady_clock::time_point at) {
    waitingSince = at;
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

// Hands what one read brought to the routing in pieces of at most kReadPiece bytes, each routed (and,
// with `show`, shown when no transfer holds the line) before the next: a piece that starts an exchange
// sends the rest of the read to the exchange's machine, as if it had been read on its own.
// `readAt` (when known) is when the read was made: the bytes came in a stream from lineWaitingSince()
// on, so each piece is dated by where it lies in the read. A read that gathered several screenfuls
// then still tells how late its newest rows, the ones left on the screen, are shown.
void routePieces(PortSession& s, const uint8_t* data, size_t n, bool show,
                 std::chrono::steady_clock::time_point readAt = {}) {
    const auto began = waitingSince;
    const auto span = readAt > began ? readAt - began : std::chrono::steady_clock::duration::zero();
    for (size_t at = 0; at < n; at += kReadPiece) {
        const std::span<const uint8_t> piece(data + at, std::min(kReadPiece, n - at));
        if (at > 0 && span > span.zero())
            waitingSince = began + span * static_cast<int64_t>(at) / static_cast<int64_t>(n);
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

void routeAndShow(PortSession& s, const uint8_t* data, size_t n) {
    routePieces(s, data, n, true);
}

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

bool drain(PortSession& s, size_t& got) {
    uint8_t buffer[kReadChunk];
    for (;;) {
        ReadStatus st;
        const size_t n = readWaiting(s, buffer, sizeof buffer, st);
        const auto readAt = std::chrono::steady_clock::now();
        if (st == ReadStatus::lost) return false;
        if (n == 0) return true;
        got += n;
        routePieces(s, buffer, n, true, readAt);
        waitingSince = readAt;  // what the next read takes came after this one
        hostUpdateNow(s.window.load());
        // A read that left room took all there was; the poll tells when more comes, so a second read
        // that would only fail is not made.
        if (n < sizeof buffer || !s.readerRun.load()) return true;
    }
}

namespace {

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

}  // namespace

bool consoleOnly(const PortSession& s) {
    return protocolMode.load() == modeIdle && transferState.load() == 0 && s.programming.load() == 0;
}

int consoleGatherMs(size_t got) {
    return got >= kFloodBytes ? kFloodGatherMs : kConsoleGatherMs;
}

namespace {
// Where the host paints on a clock, a line already streaming is read this long before the paint, enough
// for a late wake and for the terminal to take the text; and it never lets text gather longer than
// this, whatever the host says (a clock that stopped, a host that paints seldom).
constexpr auto kReadBeforePaint = std::chrono::microseconds(500);
constexpr auto kLongestGather = std::chrono::milliseconds(17);
// A line bringing this much a millisecond or more (about 320 kbaud and up) moves the screen by half a
// screenful a frame or near it: the host then paints at the display's own pace, and the line keeps to
// the short gathers unless it moves the screen faster still (below). Read once a paint, its text would
// wait a frame where it still shows.
constexpr size_t kFastBytesPerMs = 32;
// A gather timed to the paint ends half a period sooner (or a whole one, and so on) while about this much
// would wait by then, at the rate the line last brought text: the Linux line discipline holds 4 KiB for a
// reader, and 3 Mbaud brings that in under a frame.
constexpr size_t kMostHeldBytes = 3072;
}  // namespace

bool fastConsoleLine(size_t got, std::chrono::steady_clock::duration since) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    return us > 0 && got * 1000 >= kFastBytesPerMs * static_cast<size_t>(us);
}

std::chrono::steady_clock::time_point consoleGatherEnd(size_t got, uint32_t rows,
                                                       std::chrono::steady_clock::duration since,
                                                       std::chrono::steady_clock::time_point now) {
    const auto least = now + std::chrono::milliseconds(consoleGatherMs(got));
    // Only a line already streaming waits for the paint: the first text after a quiet spell may be a
    // box's last words before it resets, and what comes during a gather is lost to a hang-up.
    if (since <= since.zero()) return least;
    // A line whose screen moves by a whole screenful within half a paint period shows at each paint only
    // text that came in the last half period: a read just before the paint brings it at its freshest,
    // for one wake or two a frame instead of one every 4 ms. A slower screen still shows text from early
    // in the period, and one read a frame left that text later in the tail than short gathers do (921600
    // baud at a screenful in 12.5 ms of a 16 ms frame: a shown p99 of 19.4 to 20.1 ms against 17.2 to
    // 18.9); at the display's pace it reads in short steps, which spreads the wait over the frame.
    const auto half = paintPeriod() / 2;
    const bool screenfuls = rows * half >= kScreenRows * since;
    if (!screenfuls && (fastConsoleLine(got, since) || paintsAtDisplayPace())) return least;
    auto longest = now + kLongestGather;
    if (got > 0)
        longest =
            std::min(longest, now + since * static_cast<int64_t>(kMostHeldBytes) / static_cast<int64_t>(got));
    auto readAt = nextPaintDue() - kReadBeforePaint;
    // A paint due sooner than the shortest gather takes what was read already; this gather's text goes
    // to the paint after it. (A clock that has stopped leaves both in the past.)
    if (readAt <= least) readAt += paintPeriod();
    if (readAt <= least) return least;
    // Too much would wait by then: the read comes as many half periods sooner as that takes (the next
    // one then just before the paint), not sooner than the shortest gather.
    if (readAt > longest && half > half.zero()) {
        const auto tick = std::chrono::steady_clock::duration(1);
        const auto over = (readAt - longest + half - tick) / half;
        const auto room = (readAt - least - tick) / half;
        readAt -= half * std::min(over, room);
    }
    return std::max(least, std::min(readAt, longest));
}

}  // namespace dl
