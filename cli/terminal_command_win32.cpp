// downloader-cli terminal on Windows: the console in raw mode (every key, Ctrl-C included, goes to the
// box), keys read on a thread of their own (a console or pipe handle cannot be waited on beside the
// events the way poll() takes stdin), the box's text on stdout.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "app/reconnect.h"
#include "base/commands.h"
#include "base/texts.h"
#include "cli_session.h"
#include "serial/port.h"
#include "serial/port_write.h"

namespace dl::cli {

namespace {

constexpr uint8_t kQuitKey = 0x1D;  // Ctrl-]

// Raw keyboard while the terminal runs; restored on every way out.
class RawConsole {
public:
    RawConsole() : in_(::GetStdHandle(STD_INPUT_HANDLE)) {
        if (!::GetConsoleMode(in_, &saved_)) return;
        const DWORD raw = saved_ & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
        active_ = ::SetConsoleMode(in_, raw);
    }
    ~RawConsole() {
        if (active_) ::SetConsoleMode(in_, saved_);
    }
    bool active() const { return active_; }

private:
    HANDLE in_;
    DWORD saved_ = 0;
    bool active_ = false;
};

// Set by the key thread when the user asks to quit.
HANDLE quitEvent = nullptr;

// Reads the keys and types them. Left running at the end (a console read cannot be cut short); it only
// reaches the session through typeChar, which does nothing once the session is gone.
void readKeys(bool rawKeyboard) {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    uint8_t keys[256];
    DWORD n = 0;
    while (::ReadFile(in, keys, sizeof keys, &n, nullptr) && n > 0) {
        for (DWORD i = 0; i < n; ++i) {
            uint8_t ch = keys[i];
            if (ch == kQuitKey) {
                ::SetEvent(quitEvent);
                return;
            }
            // From a pipe, a line ends in LF (or CR LF); the box expects the Enter key's CR.
            if (!rawKeyboard && ch == '\r') continue;
            if (!rawKeyboard && ch == '\n') ch = '\r';
            typeChar(kCliWindow, ch);
        }
    }
}

}  // namespace

int runTerminal(const Options& o, CliHost& host) {
    if (!openSession(o, host)) return kExitPort;
    RawConsole keyboard;
    if (keyboard.active())
        std::fprintf(stderr, "%s\r\n",
                     formatText(Text::cliConnected, devicePath(o.portNumber).c_str()).c_str());
    quitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread(readKeys, keyboard.active()).detach();
    const HANDLE events[4] = {reinterpret_cast<HANDLE>(host.wakeFd()), reinterpret_cast<HANDLE>(signalFd()),
                              reinterpret_cast<HANDLE>(logFailureFd()), quitEvent};
    int result = kExitOk;
    reconnectAutomatically = o.reconnect;
    const int slot = lookupSession(kCliWindow);
    for (bool running = true; running;) {
        // While the device is away, four looks a second for its return.
        const DWORD w = ::WaitForMultipleObjects(4, events, FALSE, awaitingDevice(slot) ? 250 : INFINITE);
        if (w == WAIT_FAILED) break;
        lookForLostDevice(slot, o.portNumber);
        if (w == WAIT_OBJECT_0 && !dispatchTerminalPosts(host, slot, o.portNumber)) {
            result = kExitPort;
            running = false;
        }
        if (w == WAIT_OBJECT_0 + 2) reportLogFailure();  // the terminal goes on without its log
        if (w == WAIT_OBJECT_0 + 1 || w == WAIT_OBJECT_0 + 3) running = false;
    }
    closeSession();
    return result;
}

}  // namespace dl::cli
