// The POSIX backend of serial/port.h: termios, TIOCEXCL and flock, eventfd wakes.
#include "serial/port.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/profile.h"
#include "protocol/wire.h"
#include "serial/line_backend.h"
#include "serial/port_write.h"
#include "serial/posix_line.h"
#include "serial/reader.h"
#include "session/protocol_state.h"

extern char** environ;

namespace dl {

namespace {

std::mutex stragglerMutex;
std::vector<pid_t> stragglers;  // external-terminal commands that outlived their wait

speed_t speedFor(uint32_t baud) {
    struct Pair {
        uint32_t baud;
        speed_t speed;
    };
    static constexpr Pair table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& p : table) {
        if (p.baud == baud) return p.speed;
    }
    return B0;
}

// Modem-control ioctls fail with ENOTTY on pseudo-terminals and some adapters; that is not an error of
// the connection, so their results are not checked.
void setModemLines(int fd, int bits, bool on) {
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

void drainWake(const UniqueFd& fd) {
    uint64_t v;
    while (fd && ::read(fd.get(), &v, sizeof v) > 0) {
    }
}

bool isPseudoTerminal(int fd) {
    struct stat st {};
    // Unix98 pseudo-terminal slaves have the majors 136 to 143.
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

bool openExclusive(PortSession& s, const std::string& path, std::string& connectError) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int e = errno;
        connectError = path + ": " + std::strerror(e);
        if (e == EACCES) connectError += " (join the dialout group to use serial ports)";
        // Another program holds the line exclusively: a normal user is refused at the open itself.
        if (e == EBUSY) connectError = path + ": in use by another program (" + std::strerror(e) + ")";
        return false;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        connectError = path + ": in use by another program";
        return false;
    }
    // A pseudo-terminal lives as long as its master side: an exclusive flag left on it by a holder that
    // was killed (and so never took it back) would refuse every later open of a normal user, with
    // nobody holding the line. There the lock alone keeps two programs apart; a real device forgets
    // the flag at its last close.
    if (!isPseudoTerminal(fd.get()) && ::ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY) {
        connectError = path + ": " + std::strerror(errno);
        return false;
    }
    s.queueUntold = isPseudoTerminal(fd.get());
    s.port = std::move(fd);
    return true;
}

// Every close of a port goes through here. TIOCEXCL stays on the device after our descriptor is gone
// while anyone else still holds it open, and it refuses every later open of a normal user (ourselves
// reconnecting included): it is taken back first.
void closePort(PortSession& s) {
    if (!s.port) return;
    (void)::ioctl(s.port.get(), TIOCNXCL);
    s.port.reset();
}

int tcsetattrNow(int fd, const termios& t) {
    return ::tcsetattr(fd, TCSANOW, &t);
}

// The parts of the termios image that carry the session's line settings.
bool sameLineSettings(const termios& a, const termios& b) {
    constexpr tcflag_t cflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    constexpr tcflag_t iflags = IXON | IXOFF | INPCK;
    return (a.c_cflag & cflags) == (b.c_cflag & cflags) && (a.c_iflag & iflags) == (b.c_iflag & iflags) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b) && ::cfgetispeed(&a) == ::cfgetispeed(&b);
}

}  // namespace

int (*setLineAttributes)(int fd, const termios& t) = tcsetattrNow;

bool linePresent(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string defaultDevicePath(int portNumber) {
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

bool openLine(PortSession& s, const std::string& path, std::string& error) {
    return openExclusive(s, path, error);
}

void purgeLine(PortSession& s) {
    ::tcflush(s.port.get(), TCIOFLUSH);
}

void closeLine(PortSession& s) {
    closePort(s);
}

void clearWakes(PortSession& s) {
    drainWake(s.readWake);
    drainWake(s.writeWake);
}

void wakeSession(PortSession& s) {
    const uint64_t one = 1;
    if (s.readWake) (void)!::write(s.readWake.get(), &one, sizeof one);
    if (s.writeWake) (void)!::write(s.writeWake.get(), &one, sizeof one);
}

bool fillLineSettings(const PortSession& s, termios& t) {
    const speed_t speed = speedFor(s.baudRate.load());
    if (speed == B0) return false;
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (s.byteSize) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            return false;
    }
    switch (s.parity) {
        case 0:
            break;
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            return false;
    }
    if (s.parity != 0) t.c_iflag |= INPCK;
    if (s.stopBits != 0) t.c_cflag |= CSTOPB;  // 1.5 stop bits exist only for 5-bit words: take two
    if (s.flowControl & 0x2) t.c_cflag |= CRTSCTS;
    if (s.flowControl & 0x4) t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    // With VMIN 0 an empty non-blocking read returns 0, which is indistinguishable from a vanished
    // device; with VMIN 1 it fails with EAGAIN and 0 keeps meaning "the line is gone".
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return true;
}

int applyLineSettings(WindowId window) {
    PortSession* s = sessionOf(window);
    if (!s || !s->port) return 0;
    const int fd = s->port.get();
    termios t{};
    if (::tcgetattr(fd, &t) != 0 || !fillLineSettings(*s, t)) return 0;
    // tcsetattr succeeds when any part of the change took effect: only reading the settings back tells
    // whether the device took them all.
    termios got{};
    if (setLineAttributes(fd, t) != 0 || ::tcgetattr(fd, &got) != 0 || !sameLineSettings(t, got)) return 0;
    // Without a handshake DTR and RTS are held off; with one, the driver (RTS) or we (DTR) raise them.
    setModemLines(fd, TIOCM_DTR, s->flowControl & 0x1);
    if (!(s->flowControl & 0x2)) setModemLines(fd, TIOCM_RTS, false);
    return 1;
}

void notifyExternalTerminal(bool afterDisconnect) {
    std::string cmd = externalTerminalCommand();
    if (cmd.empty()) return;
    {
        std::lock_guard lock(stragglerMutex);
        std::erase_if(stragglers, [](pid_t p) { return ::waitpid(p, nullptr, WNOHANG) != 0; });
    }
    // Run without a shell, so nothing in the configured text is interpreted; reap it before returning,
    // as the window message this stands in for was sent synchronously, but never wait past 2 s.
    std::string arg = afterDisconnect ? "400" : "401";
    char* argv[] = {cmd.data(), arg.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, cmd.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd p{exited.get(), POLLIN, 0};
    if (exited && ::poll(&p, 1, 2000) == 1) {
        ::waitpid(pid, nullptr, 0);
        return;
    }
    // Still running after 2 s: the line must not wait for it. It is reaped at a later notification.
    std::lock_guard lock(stragglerMutex);
    stragglers.push_back(pid);
}

}  // namespace dl
