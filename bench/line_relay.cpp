// A serial line between two programs that each expect a port: two pseudo-terminals joined by a relay
// that carries each direction no faster than a UART at the given baud rate (10 bits a byte), with a
// small buffer per direction so that a writer that outruns the line is held back, as by a full output
// queue. Used to put different transfer programs on the very same paced line, and to record what one
// side receives (the split points and gaps included) as fuzzing seeds.
//
//   line_relay [--baud N] [--latency MS] [--attach DEVICE] [--record FILE] [--seconds S]
//
// Prints "PTY A /dev/pts/N" and "PTY B /dev/pts/M", then relays until SIGTERM/SIGINT or S seconds
// (default 3600). With --attach, side A is DEVICE (opened as a client, e.g. stbsim's pseudo-terminal)
// and only B is made. --baud 0 does not pace. --record writes what is delivered towards B in the
// fuzz targets' record format: one byte of length less one (pieces of at most 128 bytes), one byte of
// gap since the previous piece (milliseconds up to 127; above that, seconds with the top bit set),
// then the bytes. At exit it prints the bytes carried each way. --latency holds what the line carried in
// each direction until MS milliseconds have passed since the first byte held or 62 bytes are held, as
// a USB serial adapter's latency timer does with what it received.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

// A pseudo-terminal whose far end this program keeps open as well, so a client may close and reopen
// it without the relay seeing a hang-up.
struct Pty {
    int master = -1, keep = -1;
    std::string path;
};

bool openPty(Pty& p) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
    p.path = ptsname(p.master);
    p.keep = ::open(p.path.c_str(), O_RDWR | O_NOCTTY);
    if (p.keep < 0) return false;
    makeRaw(p.keep);
    return true;
}

// One direction of the line: what was read from the source waits here until the line has carried it.
struct Direction {
    int from = -1, to = -1;
    std::deque<uint8_t> queue;
    double credit = 0;  // bytes the line may carry now
    uint64_t carried = 0;
    std::deque<uint8_t> held;  // carried, waiting for the adapter's latency timer
    Clock::time_point heldSince;
};

constexpr size_t kAdapterPacket = 62;  // what an adapter sends on without waiting for its timer

constexpr size_t kBuffer = 4096;  // per direction, like a UART driver's queue
// How far a late wake-up may catch up: enough that the relay's own scheduling does not idle the line.
constexpr double kBurst = 64;

struct Recorder {
    FILE* file = nullptr;
    Clock::time_point last = Clock::now();
    void piece(const uint8_t* bytes, size_t n) {
        if (!file) return;
        const auto now = Clock::now();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        last = now;
        uint8_t gap = ms < 128 ? static_cast<uint8_t>(ms) : static_cast<uint8_t>(0x80 | std::min<long>(ms / 1000, 127));
        for (size_t at = 0; at < n; at += 128) {
            const size_t k = std::min<size_t>(128, n - at);
            const uint8_t head[2] = {static_cast<uint8_t>(k - 1), gap};
            fwrite(head, 1, 2, file);
            fwrite(bytes + at, 1, k, file);
            gap = 0;
        }
    }
};

void fill(Direction& d) {
    uint8_t buf[1024];
    while (d.queue.size() < kBuffer) {
        const size_t room = std::min(sizeof buf, kBuffer - d.queue.size());
        const ssize_t n = ::read(d.from, buf, room);
        if (n <= 0) return;
        d.queue.insert(d.queue.end(), buf, buf + n);
    }
}

void drain(Direction& d, double rate, double seconds, std::chrono::milliseconds latency, Recorder* rec) {
    if (rate > 0) {
        // An idle line saves nothing up: the first byte after a pause takes its full time.
        d.credit = d.queue.empty() ? 0 : std::min(kBurst, d.credit + seconds * rate);
    } else {
        d.credit = static_cast<double>(d.queue.size());
    }
    size_t n = std::min(d.queue.size(), static_cast<size_t>(d.credit));
    if (latency.count() > 0) {
        // The line carries at its pace into the adapter; the adapter passes it on when its timer says.
        // A far end that does not read holds the adapter full, and so the line and the writer behind it.
        n = std::min(n, kBuffer - std::min(kBuffer, d.held.size()));
        if (n > 0 && d.held.empty()) d.heldSince = Clock::now();
        d.held.insert(d.held.end(), d.queue.begin(), d.queue.begin() + static_cast<long>(n));
        d.queue.erase(d.queue.begin(), d.queue.begin() + static_cast<long>(n));
        d.credit -= static_cast<double>(n);
        if (d.held.empty() || (d.held.size() < kAdapterPacket && Clock::now() - d.heldSince < latency)) return;
        uint8_t buf[kBuffer];
        const size_t m = std::min(d.held.size(), sizeof buf);
        std::copy_n(d.held.begin(), m, buf);
        const ssize_t k = ::write(d.to, buf, m);
        if (k <= 0) return;
        d.held.erase(d.held.begin(), d.held.begin() + k);
        d.heldSince = Clock::now();
        d.carried += static_cast<uint64_t>(k);
        if (rec) rec->piece(buf, static_cast<size_t>(k));
        return;
    }
    if (n == 0) return;
    uint8_t buf[kBuffer];
    std::copy_n(d.queue.begin(), n, buf);
    const ssize_t k = ::write(d.to, buf, n);
    if (k <= 0) return;
    d.queue.erase(d.queue.begin(), d.queue.begin() + k);
    d.credit -= static_cast<double>(k);
    d.carried += static_cast<uint64_t>(k);
    if (rec) rec->piece(buf, static_cast<size_t>(k));
}

}  // namespace

int main(int argc, char** argv) {
    long baud = 115200;
    long seconds = 3600;
    long latencyMs = 0;
    const char* attach = nullptr;
    const char* record = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--baud" && v) {
            baud = atol(v), ++i;
        } else if (a == "--latency" && v) {
            latencyMs = atol(v), ++i;
        } else if (a == "--attach" && v) {
            attach = v, ++i;
        } else if (a == "--record" && v) {
            record = v, ++i;
        } else if (a == "--seconds" && v) {
            seconds = atol(v), ++i;
        } else {
            fprintf(stderr, "usage: line_relay [--baud N] [--latency MS] [--attach DEVICE] [--record FILE] [--seconds S]\n");
            return 2;
        }
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);

    Pty a, b;
    int sideA;
    if (attach) {
        sideA = ::open(attach, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (sideA < 0) {
            perror(attach);
            return 1;
        }
        makeRaw(sideA);
        a.path = attach;
    } else {
        if (!openPty(a)) return 1;
        sideA = a.master;
    }
    if (!openPty(b)) return 1;
    printf("PTY A %s\nPTY B %s\n", a.path.c_str(), b.path.c_str());
    fflush(stdout);

    Recorder rec;
    if (record && !(rec.file = fopen(record, "wb"))) {
        perror(record);
        return 1;
    }
    Direction ab{sideA, b.master}, ba{b.master, sideA};
    const double rate = baud > 0 ? baud / 10.0 : 0;
    const auto start = Clock::now();
    auto last = start;
    while (!stopping && Clock::now() - start < std::chrono::seconds(seconds)) {
        pollfd fds[2] = {{sideA, 0, 0}, {b.master, 0, 0}};
        if (ab.queue.size() < kBuffer) fds[0].events |= POLLIN;
        if (ba.queue.size() < kBuffer) fds[1].events |= POLLIN;
        if (!ab.queue.empty()) fds[1].events |= POLLOUT;
        if (!ba.queue.empty()) fds[0].events |= POLLOUT;
        // A paced line with bytes queued wakes every millisecond to carry its next few; POLLOUT alone
        // would spin, since the far end can nearly always take more.
        const bool busy = !ab.queue.empty() || !ba.queue.empty() || !ab.held.empty() || !ba.held.empty();
        if (busy && rate > 0) {
            fds[0].events &= ~POLLOUT;
            fds[1].events &= ~POLLOUT;
        }
        const int r = ::poll(fds, 2, busy ? (rate > 0 ? 1 : 10) : 100);
        if (r < 0 && errno != EINTR) break;
        // An attached device that hung up ends the line.
        if (attach && (fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) break;
        fill(ab);
        fill(ba);
        const auto now = Clock::now();
        const double dt = std::chrono::duration<double>(now - last).count();
        last = now;
        const std::chrono::milliseconds latency(latencyMs);
        drain(ab, rate, dt, latency, record ? &rec : nullptr);
        drain(ba, rate, dt, latency, nullptr);
    }
    if (rec.file) fclose(rec.file);
    fprintf(stderr, "line_relay: A->B %llu bytes, B->A %llu bytes\n", static_cast<unsigned long long>(ab.carried),
            static_cast<unsigned long long>(ba.carried));
    return 0;
}
