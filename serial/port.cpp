#include "serial/port.h"

#include <array>
#include <mutex>

#include "base/profile.h"
#include "protocol/wire.h"
#include "serial/line_backend.h"
#include "serial/port_write.h"
#include "serial/reader.h"
#include "session/protocol_state.h"

namespace dl {

namespace {

std::mutex configMutex;
std::array<std::string, kSessionSlots> deviceOverrides;
std::string externalCommand;
thread_local std::string connectError;

void readerEntry(PortSession* s) {
    readerMain(*s);
}

void joinIfRunning(std::thread& t) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
}

}  // namespace

const std::string& lastConnectError() {
    return connectError;
}

std::string devicePath(int portNumber) {
    std::lock_guard lock(configMutex);
    if (portNumber >= 1 && portNumber < kSessionSlots && !deviceOverrides[portNumber].empty())
        return deviceOverrides[portNumber];
    return defaultDevicePath(portNumber);
}

void setDevicePath(int portNumber, const std::string& path) {
    std::lock_guard lock(configMutex);
    if (portNumber >= 1 && portNumber < kSessionSlots) deviceOverrides[portNumber] = path;
}

void setExternalTerminalCommand(const std::string& path) {
    std::lock_guard lock(configMutex);
    externalCommand = path;
}

std::string externalTerminalCommand() {
    std::lock_guard lock(configMutex);
    return externalCommand;
}

void loadLinkSettings(const Profile& profile) {
    for (int n = 1; n < kSessionSlots; ++n) {
        if (auto path = profile.get("Devices", "COM" + std::to_string(n)); path && !path->empty())
            setDevicePath(n, *path);
    }
    setExternalTerminalCommand(profile.getString("Devices", "ExternalTerminal", ""));
}

uint64_t writeTimeoutMs(uint32_t baud, size_t count) {
    const uint64_t perByte = baud == 0 ? 0 : 230400u / baud;
    return 2000 + perByte * count;
}

int connectPort(WindowId window) {
    connectError.clear();
    closeSessionLine = disconnectPort;  // a connected session is closed with its line
    if (findSession(window) == 0) return 0;
    PortSession& s = *sessionOf(window);
    hostWaitCursor(true);
    const std::string path = devicePath(s.portNumber);
    if (!openLine(s, path, connectError)) {
        hostWaitCursor(false);
        return 0;
    }
    purgeLine(s);
    (void)takeLineErrors(s);  // errors counted before this connection are not this line's
    s.startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
    s.stopLineLength = static_cast<uint16_t>(kStopLinePattern.size());
    s.sectorLineLength = static_cast<uint16_t>(kSectorLinePattern.size());
    if (!applyLineSettings(window)) {
        connectError = path + ": the device refused the line settings";
        s.connected = 0;
        closeLine(s);
        hostWaitCursor(false);
        return 0;
    }
    clearWakes(s);
    s.connections.fetch_add(1);
    s.connected = 1;
    s.readerRun = 1;
    static std::atomic<uint32_t> nextReaderId{1};
    s.readerThreadId = nextReaderId.fetch_add(1) | 1u;
    try {
        s.readerThread = std::thread(readerEntry, &s);
    } catch (const std::system_error& e) {
        connectError = std::string("cannot start the reader: ") + e.what();
        s.readerThreadId = 0;
        s.readerRun = 0;
        s.connected = 0;
        closeLine(s);
        hostWaitCursor(false);
        return 0;
    }
    if (auto& f = windowHost().updateSessionMenu) f(window, true);
    hostWaitCursor(false);
    return 1;
}

int disconnectPort(WindowId window) {
    if (findSession(window) == 0) return 0;
    PortSession& s = *sessionOf(window);
    s.readerRun = 0;
    s.connected = 0;
    s.programming = 0;
    wakeSession(s);
    joinIfRunning(s.readerThread);
    // Only this session's own transfer is stopped: a release of the shared semaphore for an idle
    // session would make another session's sender serve its last request twice.
    if (s.sectorThread.joinable() || s.streamThread.joinable()) {
        // 2 tells a sender it was cut off; a stop line that came first (0) keeps its meaning.
        int32_t running = 1;
        s.senderRun.compare_exchange_strong(running, 2);
        if (auto sem = sectorSemaphore()) sem->release();
        joinIfRunning(s.sectorThread);
        joinIfRunning(s.streamThread);
    }
    // An exchange of this session cannot go on without its line: give the mode back, so the next
    // connection starts idle. Another session's exchange is left alone.
    if (transferOwner.load() == findSession(window) && protocolMode.load() != modeIdle) {
        endExchange();
        s.transferActive = 0;
    }
    if (s.port) {
        purgeLine(s);
        closeLine(s);
    }
    clearWakes(s);
    if (auto& f = windowHost().updateSessionMenu) f(window, false);
    return 1;
}

}  // namespace dl
