// The POSIX backend of serial/port_write.h: non-blocking writes that wait in poll() for room, and the
// driver's TIOCGICOUNT counters as the line errors.
#include "serial/port_write.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "serial/port.h"
#include "serial/posix_line.h"
#include "session/terminal.h"

namespace dl {

namespace {

bool driverCounters(int fd, LineCounters& out) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    out = {ic.buf_overrun, ic.overrun, ic.parity, ic.frame, ic.brk};
    return true;
}

using Clock = std::chrono::steady_clock;

// Waits until the port takes more bytes, the deadline passes, or the session is woken. Returns 0 when
// the port is writable, otherwise the error number the write fails with.
int waitWritable(PortSession& s, Clock::time_point deadline) {
    pollfd fds[2] = {{s.port.get(), POLLOUT, 0}, {s.writeWake.get(), POLLIN, 0}};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        int r = ::poll(fds, s.writeWake ? 2 : 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        if (fds[1].revents & POLLIN) return ECANCELED;  // disconnect: the pending write is abandoned
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return EIO;
        if (fds[0].revents & POLLOUT) return 0;
    }
}

}  // namespace

bool (*readLineCounters)(int fd, LineCounters& out) = driverCounters;

static int driverOutputQueue(int fd) {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}
int (*readOutputQueue)(int fd) = driverOutputQueue;

uint32_t takeLineErrors(PortSession& s) {
    if (!s.port) return 0;
    // A pseudo-terminal keeps no counters (the call fails with ENOTTY): one call a read for nothing.
    if (s.queueUntold.load(std::memory_order_relaxed) && readLineCounters == driverCounters) return 0;
    // Read under the lock: a reader and a writer that both take errors must not let an older snapshot
    // overwrite a newer base, which would show the same error twice.
    std::lock_guard lock(s.errorMutex);
    LineCounters now;
    if (!readLineCounters(s.port.get(), now)) return 0;
    uint32_t bits = lineErrorBits(s.lineErrorBase, now);
    s.lineErrorBase = now;
    return bits;
}

bool outputQueueTold(const PortSession& s) {
    return !s.queueUntold.load(std::memory_order_relaxed) || readOutputQueue != driverOutputQueue;
}

int outputQueueBytes(PortSession& s) {
    if (!s.port) return 0;
    // A pseudo-terminal answers 0 whatever it holds: a call a chunk for nothing.
    if (!outputQueueTold(s)) return 0;
    return readOutputQueue(s.port.get());
}

bool waitLineTime(PortSession& s, size_t bytes) {
    const uint32_t rate = s.baudRate.load();
    const uint32_t baud = rate ? rate : kDefaultBaud;
    // Ten bits a byte. Never shorter than 20 us: below that a wake-up costs more than it saves.
    const uint64_t ns = std::max<uint64_t>(20'000, bytes * 10ull * 1'000'000'000ull / baud);
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000ull), static_cast<long>(ns % 1'000'000'000ull)};
    pollfd p{s.writeWake.get(), POLLIN, 0};
    int r = ::ppoll(&p, s.writeWake ? 1 : 0, &wait, nullptr);
    return !(r > 0 && (p.revents & POLLIN));
}

int portWrite(PortSession& s, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(s.writeMutex);
    if (!s.port) return 0;
    // The box answers what it is sent: a reader letting console text gather reads the answer at once.
    struct WakeGatheringReader {
        PortSession& s;
        ~WakeGatheringReader() {
            const uint64_t one = 1;
            if (s.consoleGathering.load() && s.readWake) (void)!::write(s.readWake.get(), &one, sizeof one);
        }
    } wakeReader{s};
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs(s.baudRate.load(), count));
    size_t done = 0;
    bool waited = false;
    while (done < count) {
        ssize_t n = ::write(s.port.get(), bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int err = n < 0 ? errno : EAGAIN;
        if (err == EINTR) continue;
        if (err != EAGAIN) {
            if (!waited) {  // failed at once
                reportLineErrors(s);
                return 0;
            }
            writeErrorMark(s, static_cast<uint32_t>(err));
            reportLineErrors(s);
            return 1;
        }
        waited = true;
        if (int e = waitWritable(s, deadline); e != 0) {
            // Cut short by the deadline or a disconnect: the rest is lost, and the mark says so rather
            // than letting a short write pass for a whole one.
            writeErrorMark(s, static_cast<uint32_t>(e));
            reportLineErrors(s);
            return 1;
        }
    }
    return 1;
}

}  // namespace dl
