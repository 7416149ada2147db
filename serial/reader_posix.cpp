// The POSIX backend of serial/reader.h: the reader sleeps in poll() on the port and an eventfd.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "serial/line_backend.h"
#include "serial/port_write.h"
#include "serial/posix_line.h"
#include "serial/reader.h"
#include "base/commands.h"

namespace dl {

int (*pollLine)(pollfd* fds, nfds_t count, int timeoutMs) = ::poll;

// The port is non-blocking, so the read takes only what is there.
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

namespace {

// The wake descriptor still ends the wait at once for a disconnect. (ppoll: a gather timed to a paint
// wants finer steps than poll's milliseconds.)
void sleepWakeable(pollfd& wake, std::chrono::steady_clock::time_point until) {
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= left.zero()) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec span{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd w{wake.fd, POLLIN, 0};
    (void)::ppoll(&w, 1, &span, nullptr);
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
    std::chrono::steady_clock::time_point lastRead{};  // of the read before, while gathering
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
            const auto readAt = std::chrono::steady_clock::now();
            if (!gathered) markLineWaiting(readAt);
            const auto since = gathered ? readAt - lastRead : std::chrono::steady_clock::duration::zero();
            lastRead = readAt;
            gathered = false;
            size_t got = 0;
            const uint32_t scrolls = s.screenScrolls.load(std::memory_order_relaxed);
            // Raised before the read, so a write made while it runs still ends the gather after it.
            if (consoleOnly(s)) s.consoleGathering = 1;
            if (!drain(s, got)) {
                lost = true;
                break;
            }
            if (got > 0 && consoleOnly(s) && s.readerRun.load()) {
                if (since > since.zero()) s.fastConsole = fastConsoleLine(got, since) ? 1 : 0;
                sleepWakeable(fds[1],
                              consoleGatherEnd(got, s.screenScrolls.load(std::memory_order_relaxed) - scrolls,
                                               since, std::chrono::steady_clock::now()));
                gathered = true;
            }
            s.consoleGathering = 0;
        }
    }
    s.consoleGathering = 0;
    if (lost) {
        s.readerRun = 0;
        hostPostCommand(window, cmdLineLost, 0);
    }
    s.readerThreadId = 0;
    return 1;
}

}  // namespace dl
