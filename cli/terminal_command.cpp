#include <poll.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/reconnect.h"
#include "base/commands.h"
#include "base/texts.h"
#include "cli_session.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "session/terminal.h"

namespace dl::cli {

namespace {

constexpr uint8_t kQuitKey = 0x1D;  // Ctrl-]

// Raw keyboard while the terminal runs, so every key (Ctrl-C included) goes to the box; restored on
// every way out.
class RawStdin {
public:
    RawStdin() {
        if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        ::cfmakeraw(&raw);
        raw.c_oflag |= OPOST | ONLCR;  // keep our own messages readable
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawStdin() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    bool active() const { return active_; }

private:
    termios saved_{};
    bool active_ = false;
};

// Returns false when the user asked to quit.
bool forwardKeys(const uint8_t* keys, ssize_t n, bool rawKeyboard) {
    for (ssize_t i = 0; i < n; ++i) {
        uint8_t ch = keys[i];
        if (ch == kQuitKey) return false;
        // From a pipe, a line ends in LF; the box expects the Enter key's CR.
        if (!rawKeyboard && ch == '\n') ch = '\r';
        typeChar(kCliWindow, ch);
    }
    return true;
}

}  // namespace

int runTerminal(const Options& o, CliHost& host) {
    if (!openSession(o, host)) return kExitPort;
    RawStdin keyboard;
    if (keyboard.active())
        std::fprintf(stderr, "%s\r\n",
                     formatText(Text::cliConnected, devicePath(o.portNumber).c_str()).c_str());
    pollfd fds[4] = {{STDIN_FILENO, POLLIN, 0},
                     {host.wakeFd(), POLLIN, 0},
                     {signalFd(), POLLIN, 0},
                     {logFailureFd(), POLLIN, 0}};
    int result = kExitOk;
    reconnectAutomatically = o.reconnect;
    const int slot = lookupSession(kCliWindow);
    for (bool running = true; running;) {
        // While the device is away, four looks a second for its return.
        const int ready = ::poll(fds, 4, awaitingDevice(slot) ? 250 : -1);
        lookForLostDevice(slot, o.portNumber);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            uint8_t keys[256];
            ssize_t n = ::read(STDIN_FILENO, keys, sizeof keys);
            if (n <= 0)
                fds[0].fd = -1;  // input ended: go on showing what the box prints
            else
                running = forwardKeys(keys, n, keyboard.active());
        }
        if ((fds[1].revents & POLLIN) && !dispatchTerminalPosts(host, slot, o.portNumber)) {
            result = kExitPort;
            running = false;
        }
        if (fds[3].revents & POLLIN) reportLogFailure();  // the terminal goes on without its log
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info;
            (void)!::read(signalFd(), &info, sizeof info);
            running = false;
        }
    }
    closeSession();
    return result;
}

}  // namespace dl::cli
