#include "cli_session.h"

#include <sys/signalfd.h>

#include <cstdio>

#include "app/dispatch.h"
#include "base/commands.h"
#include "base/profile.h"
#include "base/texts.h"
#include "serial/port.h"
#include "session/session.h"

namespace dl::cli {

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

bool openSession(const Options& o, CliHost& host) {
    // The settings file names the devices; the command line overrides it.
    std::string refusal;
    const std::string path = defaultSettingsPath();
    loadLinkSettings(Profile::load(path, &refusal));
    if (!refusal.empty())
        std::fprintf(stderr, "downloader-cli: %s: %s (its [Devices] are not used)\n", path.c_str(),
                     refusal.c_str());
    if (!o.device.empty()) setDevicePath(o.portNumber, o.device);
    host.setBaud(o.baud);
    if (frameCommand(static_cast<uint16_t>(cmdOpenCom1 + o.portNumber - 1), 0) == 0) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliNoSession).c_str());
        return false;
    }
    PortSession* s = sessionOf(kCliWindow);
    if (s && s->connected.load()) return true;
    if (s) destroySession(kCliWindow);  // the box said why; the tool has nothing to do without the line
    return false;
}

void closeSession() {
    // Quitting the tool is no menu's Disconnect: a transfer still running is stopped without asking.
    PortSession* s = sessionOf(kCliWindow);
    if (s == nullptr) return;
    if (s->connected.load()) {
        disconnectPort(kCliWindow);
        notifyExternalTerminal(true);
    }
    destroySession(kCliWindow);
}

}  // namespace dl::cli
