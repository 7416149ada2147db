#include "line.h"

#include "report.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace stbsim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int openMaster() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("posix_openpt");
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) fail("grantpt/unlockpt");
    // Termios requests on a master act on its slave.
    termios raw{};
    if (tcgetattr(fd, &raw) != 0) fail("tcgetattr");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &raw) != 0) fail("tcsetattr");
    return fd;
}

int openStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) fail("sigprocmask");
    int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) fail("signalfd");
    return fd;
}

timespec remaining(TimePoint until) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
    if (left.count() < 0) left = {};
    return timespec{static_cast<time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)};
}

}  // namespace

Line::Line(unsigned baud) : baud_(baud) {
    master_ = openMaster();
    path_ = ptsname(master_);
    signal_ = openStopSignals();
    watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_ >= 0 && inotify_add_watch(watch_, path_.c_str(), IN_OPEN) < 0) {
        close(watch_);
        watch_ = -1;
    }
    if (watch_ < 0)
        std::fprintf(stderr, "stbsim: no inotify on %s; assuming the client is present\n", path_.c_str());
    // About 2 ms of line time per step, at least one byte.
    slice_ = baud_ ? std::max<size_t>(1, baud_ / 5000) : 0;
}

Line::~Line() {
    for (int fd : {master_, watch_, signal_})
        if (fd >= 0) close(fd);
}

Clock::duration Line::lineTime(size_t bytes) const {
    return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10 * 1'000'000'000 / baud_);
}

// Waits for the master's events (unless watchMaster is false: a plain sleep) while watching for stop signals.
// Returns the master's events, 0 on timeout.
short Line::waitFor(short masterEvents, TimePoint until, bool watchMaster) {
    for (;;) {
        pollfd fds[2] = {{signal_, POLLIN, 0}, {master_, masterEvents, 0}};
        int count = watchMaster ? 2 : 1;
        timespec left = remaining(until);
        int ready = ppoll(fds, count, until == kForever ? nullptr : &left, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fail("ppoll");
        }
        if (fds[0].revents) throw StopRequested{};
        if (ready == 0) return 0;
        if (watchMaster && fds[1].revents) return fds[1].revents;
    }
}

void Line::sleepUntil(TimePoint until) {
    while (Clock::now() < until) waitFor(0, until, false);
}

bool Line::clientOpenedSinceLastCheck() {
    alignas(inotify_event) char buffer[4096];
    bool opened = false;
    ssize_t n;
    while ((n = ::read(watch_, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            auto* e = reinterpret_cast<inotify_event*>(p);
            opened |= (e->mask & IN_OPEN) != 0;
            p += sizeof(inotify_event) + e->len;
        }
    }
    return opened;
}

// A master shows POLLHUP once every client that had the slave open has closed it again.
bool Line::clientPresent() {
    pollfd master{master_, POLLIN, 0};
    poll(&master, 1, 0);
    return !(master.revents & POLLHUP);
}

// Bytes waiting in the slave's input queue. The slave is opened just for the question and closed again at
// once, so that the client's close still shows as POLLHUP on the master.
std::optional<int> Line::unreadByClient() {
    int probe = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return std::nullopt;
    int queued = 0;
    bool known = ioctl(probe, FIONREAD, &queued) == 0;
    close(probe);
    return known ? std::optional(queued) : std::nullopt;
}

void Line::drain(TimePoint until) {
    using namespace std::chrono_literals;
    if (baud_) sleepUntil(std::min(txFree_, until));
    // The pty moves written bytes into the slave's queue asynchronously, so an empty queue counts only when
    // it is seen empty twice in a row.
    for (int emptyChecks = 0; emptyChecks < 2 && Clock::now() < until && clientPresent();) {
        auto queued = unreadByClient();
        if (!queued) return;
        emptyChecks = *queued == 0 ? emptyChecks + 1 : 0;
        sleepUntil(std::min(Clock::now() + 5ms, until));
    }
}

void Line::awaitClient() {
    if (watch_ < 0) return;
    for (;;) {
        pollfd fds[2] = {{signal_, POLLIN, 0}, {watch_, POLLIN, 0}};
        if (ppoll(fds, 2, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            fail("ppoll");
        }
        if (fds[0].revents) throw StopRequested{};
        // An open is only a connection if the client still holds the device.
        if (clientOpenedSinceLastCheck() && clientPresent()) return;
    }
}

void Line::resetForNewClient() {
    input_.clear();
    inputHead_ = 0;
    txFree_ = rxFree_ = {};
}

void Line::writeAll(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            // The PC is not reading and the pty is full: wait until it drains or goes away.
            if (waitFor(POLLOUT, kForever) & (POLLHUP | POLLERR)) throw ClientGone{};
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            throw ClientGone{};
        }
    }
}

// When the line frees again after n more bytes. A UART sends back to back while bytes wait, so a
// wake-up that came a little late must not push the schedule back: only a line that really stood
// idle restarts from now.
TimePoint Line::nextFree(TimePoint free, size_t n) const {
    const TimePoint now = Clock::now();
    const TimePoint start = now - free > std::chrono::milliseconds(2) ? now : free;
    return start + lineTime(n);
}

void Line::spoilByte(uint64_t dropAt, uint64_t flipAt) {
    dropAt_ = dropAt;
    flipAt_ = flipAt;
}

void Line::sendPiece(std::span<const uint8_t> bytes) {
    if (baud_) sleepUntil(txFree_);
    const uint64_t first = sentBytes_ + 1, last = sentBytes_ + bytes.size();
    sentBytes_ = last;
    auto hits = [&](uint64_t at) { return at >= first && at <= last; };
    if (hits(dropAt_) || hits(flipAt_)) {
        Bytes spoiled(bytes.begin(), bytes.end());
        if (hits(flipAt_)) {
            spoiled[flipAt_ - first] ^= 0x01;
            Event("LINE_FAULT").text("kind", "flip").num("at", flipAt_).emit();
        }
        if (hits(dropAt_)) {
            spoiled.erase(spoiled.begin() + static_cast<std::ptrdiff_t>(dropAt_ - first));
            Event("LINE_FAULT").text("kind", "drop").num("at", dropAt_).emit();
        }
        writeAll(spoiled);
    } else {
        writeAll(bytes);
    }
    if (baud_) txFree_ = nextFree(txFree_, bytes.size());
}

void Line::splitWrites(uint32_t seed) {
    split_.emplace(seed);
}

void Line::send(std::span<const uint8_t> bytes) {
    if (!split_) {
        sendPiece(bytes);
        return;
    }
    // The cap is drawn first (1, 2, 4 .. 64) and the length under it, so that single bytes and short
    // pieces are common while a long upload still moves in pieces of useful size.
    while (!bytes.empty()) {
        const size_t cap = size_t{1} << std::uniform_int_distribution<int>(0, 6)(*split_);
        const size_t n = std::uniform_int_distribution<size_t>(1, std::min(cap, bytes.size()))(*split_);
        const auto pause = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(*split_));
        sendPiece(bytes.first(n));
        bytes = bytes.subspan(n);
        if (!bytes.empty()) sleepUntil(Clock::now() + pause);
    }
}

void Line::send(std::string_view text) {
    send(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void Line::sendStream(std::span<const uint8_t> data) {
    size_t step = baud_ ? slice_ : data.size();
    for (size_t at = 0; at < data.size(); at += step)
        send(data.subspan(at, std::min(step, data.size() - at)));
}

bool Line::fill(TimePoint until) {
    uint8_t chunk[4096];
    for (;;) {
        if (baud_ && Clock::now() < rxFree_) {
            if (rxFree_ >= until) {
                sleepUntil(until);
                return false;
            }
            sleepUntil(rxFree_);
        }
        short events = waitFor(POLLIN, until);
        if (events == 0) return false;
        if (!(events & POLLIN)) throw ClientGone{};
        ssize_t n = ::read(master_, chunk, baud_ ? std::min(slice_, sizeof chunk) : sizeof chunk);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            if (baud_) rxFree_ = nextFree(rxFree_, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        throw ClientGone{};  // EIO (or end of file): the last client closed the device
    }
}

size_t Line::read(std::span<uint8_t> out, TimePoint until) {
    if (inputHead_ == input_.size()) {
        input_.clear();
        inputHead_ = 0;
        if (!fill(until)) return 0;
    }
    size_t n = std::min(out.size(), input_.size() - inputHead_);
    std::copy_n(input_.begin() + static_cast<ptrdiff_t>(inputHead_), n, out.begin());
    inputHead_ += n;
    return n;
}

std::optional<uint8_t> Line::readByte(TimePoint until) {
    uint8_t byte;
    if (read(std::span(&byte, 1), until) == 0) return std::nullopt;
    return byte;
}

Bytes Line::takeArrived() {
    Bytes arrived(input_.begin() + static_cast<ptrdiff_t>(inputHead_), input_.end());
    input_.clear();
    inputHead_ = 0;
    uint8_t chunk[4096];
    ssize_t n;
    while ((n = ::read(master_, chunk, sizeof chunk)) > 0) arrived.insert(arrived.end(), chunk, chunk + n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) throw ClientGone{};
    return arrived;
}

void Line::hangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

}  // namespace stbsim
