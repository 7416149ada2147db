#include "serial/reader.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "base/commands.h"
#include "protocol/transfer.h"
#include "serial/port_write.h"
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

size_t readAndRoute(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus* status) {
    auto say = [&](ReadStatus st) {
        if (status) *status = st;
    };
    say(ReadStatus::empty);
    (void)takeLineErrors(s);  // taken and cleared here; shown only when a read fails
    int waiting = 0;
    if (::ioctl(s.port.get(), FIONREAD, &waiting) != 0) waiting = 0;
    size_t n = capacity < static_cast<size_t>(waiting) ? capacity : static_cast<size_t>(waiting);
    if (n == 0) {
        // The count can read 0 while the far side is gone; a read tells that apart from "nothing yet".
        n = capacity;
    }
    ssize_t k = ::read(s.port.get(), buffer, n);
    if (k > 0) {
        say(ReadStatus::data);
        routePiece(s, std::span<const uint8_t>(buffer, static_cast<size_t>(k)));
        return static_cast<size_t>(k);
    }
    if (k < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // A read of 0 or EIO: the device has vanished (adapter pulled, far side hung up).
    writeErrorMark(s, static_cast<uint32_t>(k < 0 ? errno : EIO));
    reportLineErrors(s);
    say(ReadStatus::lost);
    return 0;
}

size_t readAndRoute(WindowId window, uint8_t* buffer, size_t capacity) {
    PortSession* s = sessionOf(window);
    return s ? readAndRoute(*s, buffer, capacity) : 0;
}

namespace {

// Drains what waits, piece by piece, each routed and (when no transfer holds the line) shown before the
// next is read. Returns false when the line turned out to be gone.
bool drain(PortSession& s) {
    uint8_t buffer[kReadPiece];
    for (;;) {
        ReadStatus st;
        size_t n = readAndRoute(s, buffer, sizeof buffer, &st);
        if (st == ReadStatus::lost) return false;
        if (n == 0) return true;
        if (pieceIsShown(s)) {
            terminalWrite(s, buffer, n);
            hostUpdateNow(s.window.load());
        }
        if (!s.readerRun.load()) return true;
    }
}

// While the line only carries console text (no exchange anywhere, no programming run armed on this
// session), a read that would take less than a piece first lets the line gather for a moment: a box
// that prints line by line at 3 Mbaud would otherwise wake the reader thousands of times a second,
// each wake costing more than the text it brings. One millisecond is far below a display frame, and
// the console's recognisers keep their counts across pieces, so only the cut points move. During an
// exchange every byte is read at once, as it comes.
constexpr int kConsoleGatherMs = 1;

bool consoleOnly(const PortSession& s) {
    return protocolMode.load() == modeIdle && transferState.load() == 0 && s.programming.load() == 0;
}

void gatherConsoleText(PortSession& s, pollfd& wake) {
    int waiting = 0;
    if (!consoleOnly(s) || ::ioctl(s.port.get(), FIONREAD, &waiting) != 0 ||
        waiting >= static_cast<int>(kReadPiece))
        return;
    // The wake descriptor still ends the wait at once for a disconnect.
    pollfd w{wake.fd, POLLIN, 0};
    (void)::poll(&w, 1, kConsoleGatherMs);
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
    pollfd fds[2] = {{s.port.get(), POLLIN, 0}, {s.readWake.get(), POLLIN, 0}};
    while (s.connected.load() && s.readerRun.load()) {
        int r = pollLine(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            // A reader that cannot wait for the line is as good as a lost line: a session left
            // "connected" that shows nothing would look like a silent box.
            writeErrorMark(s, static_cast<uint32_t>(errno));
            lost = true;
            break;
        }
        if (!s.readerRun.load()) break;
        if (fds[1].revents & POLLIN) clearWake(s);
        if (fds[0].revents & POLLNVAL) {
            lost = true;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (!(fds[0].revents & (POLLERR | POLLHUP))) gatherConsoleText(s, fds[1]);
            if (!s.readerRun.load()) break;
            if (!drain(s)) {
                lost = true;
                break;
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
