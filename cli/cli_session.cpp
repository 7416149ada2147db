#include "cli_session.h"

#include <sys/signalfd.h>

#include <cstdio>

#include "app/profile.h"
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

bool openSession(const Options& o) {
    // The settings file names the devices; the command line overrides it.
    loadLinkSettings(Profile::load(defaultSettingsPath()));
    if (!o.device.empty()) setDevicePath(o.portNumber, o.device);
    currentSession = o.portNumber;
    if (createSession(kCliWindow, o.portNumber) != 1) {
        std::fprintf(stderr, "Connection failed.\n(no session could be created)\n");
        return false;
    }
    sessionTable[o.portNumber].baudRate = o.baud;
    notifyExternalTerminal(false);
    if (!connectPort(kCliWindow)) {
        std::fprintf(stderr, "Connection failed.\n%s\n", lastConnectError().c_str());
        destroySession(kCliWindow);
        return false;
    }
    return true;
}

void closeSession() {
    if (sessionOf(kCliWindow) == nullptr) return;
    disconnectPort(kCliWindow);
    notifyExternalTerminal(true);
    destroySession(kCliWindow);
}

}  // namespace dl::cli
