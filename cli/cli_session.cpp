#include "cli_session.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#endif

#include <atomic>
#include <cstdio>

#include "app/dispatch.h"
#include "app/reconnect.h"
#include "base/commands.h"
#include "base/profile.h"
#include "base/texts.h"
#include "serial/device_list.h"
#include "serial/port.h"
#include "serial/session_log.h"
#include "session/session.h"

namespace dl::cli {

#ifdef _WIN32
namespace {
std::atomic<HANDLE> signalEvent{nullptr};

HANDLE makeEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
// Called on a thread of its own by the system; the main loop sees the event.
BOOL WINAPI onConsoleSignal(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && kind != CTRL_CLOSE_EVENT) return FALSE;
    if (const HANDLE h = signalEvent.load()) ::SetEvent(h);
    return TRUE;
}
}  // namespace

NativeHandle signalFd() {
    static const NativeHandle event = [] {
        const HANDLE h = makeEvent();
        signalEvent = h;
        ::SetConsoleCtrlHandler(onConsoleSignal, TRUE);
        return reinterpret_cast<NativeHandle>(h);
    }();
    return event;
}

NativeHandle logFailureFd() {
    static const NativeHandle event = reinterpret_cast<NativeHandle>(makeEvent());
    return event;
}

void reportLogFailure() {
    ::ResetEvent(reinterpret_cast<HANDLE>(logFailureFd()));
    if (std::string error = takeSessionLogError(kCliWindow); !error.empty())
        std::fprintf(stderr, "downloader-cli: %s\n", error.c_str());
}

static void signalLogFailure() {
    ::SetEvent(reinterpret_cast<HANDLE>(logFailureFd()));
}
#else
int signalFd() {
    static int fd = [] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    }();
    return fd;
}

int logFailureFd() {
    static int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void reportLogFailure() {
    uint64_t count;
    (void)!::read(logFailureFd(), &count, sizeof count);
    if (std::string error = takeSessionLogError(kCliWindow); !error.empty())
        std::fprintf(stderr, "downloader-cli: %s\n", error.c_str());
}

static void signalLogFailure() {
    const uint64_t one = 1;
    (void)!::write(logFailureFd(), &one, sizeof one);
}
#endif

namespace {

// The settings file names the devices; the command line overrides it.
void loadDevices(const Options& o) {
    std::string refusal;
    const std::string path = defaultSettingsPath();
    loadLinkSettings(Profile::load(path, &refusal));
    if (!refusal.empty())
        std::fprintf(stderr, "downloader-cli: %s: %s (its [Devices] are not used)\n", path.c_str(),
                     refusal.c_str());
    if (!o.device.empty()) setDevicePath(o.portNumber, o.device);
}

// A log that cannot be written is said, and the run goes on without it.
void startLog(const Options& o) {
    if (o.logPath.empty()) return;
    const std::string error = startSessionLog(kCliWindow, o.logPath, o.logTimestamps, signalLogFailure);
    if (!error.empty()) std::fprintf(stderr, "downloader-cli: %s\n", error.c_str());
}

}  // namespace

int runPorts(const Options& o) {
    loadDevices(o);
    const std::vector<SerialDevice> devices = listSerialDevices();
    for (const SerialDevice& d : devices) {
        if (d.kind == SerialDevice::Kind::usbByName)
            std::printf("%s -> %s\n", d.path.c_str(), d.target.empty() ? "?" : d.target.c_str());
        else
            std::printf("%s\n", d.path.c_str());
    }
    if (devices.empty()) std::printf("%s\n", formatText(Text::portsNoDevices).c_str());
    for (int n = 1; n < kSessionSlots; ++n)
        std::printf("%s\n", formatText(Text::portsMapping, n, devicePath(n).c_str()).c_str());
    return kExitOk;
}

bool openSession(const Options& o, CliHost& host) {
    loadDevices(o);
    host.setBaud(o.baud);
    if (frameCommand(static_cast<uint16_t>(cmdOpenCom1 + o.portNumber - 1), 0) == 0) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliNoSession).c_str());
        return false;
    }
    PortSession* s = sessionOf(kCliWindow);
    if (s && s->connected.load()) {
        startLog(o);
        return true;
    }
    if (s) destroySession(kCliWindow);  // the box said why; the tool has nothing to do without the line
    return false;
}

void lookForLostDevice(int slot, int port) {
    if (awaitingDevice(slot) && reconnectTick() > 0)
        std::fprintf(stderr, "%s\r\n", formatText(Text::cliReconnected, devicePath(port).c_str()).c_str());
}

bool dispatchTerminalPosts(CliHost& host, int slot, int port) {
    while (auto p = host.nextPosted()) {
        dispatch(*p);  // a lost line is disconnected and said there
        if (p->command != cmdLineLost) continue;
        if (!awaitingDevice(slot)) return false;
        std::fprintf(stderr, "%s\r\n", formatText(Text::cliAwaitingDevice, devicePath(port).c_str()).c_str());
    }
    return true;
}

void closeSession() {
    // Quitting the tool is no menu's Disconnect: a transfer still running is stopped without asking.
    PortSession* s = sessionOf(kCliWindow);
    if (s == nullptr) return;
    if (s->connected.load()) {
        disconnectPort(kCliWindow);
        notifyExternalTerminal(true);
    }
    // After the disconnect: a run it cut off is noted before the log closes.
    if (std::string error = stopSessionLog(kCliWindow); !error.empty())
        std::fprintf(stderr, "downloader-cli: %s\n", error.c_str());
    destroySession(kCliWindow);
}

}  // namespace dl::cli
