#include "app/reconnect.h"

#include <array>
#include <ctime>

#include "base/texts.h"
#include "serial/port.h"
#include "session/session_note.h"
#include "session/window_host.h"

namespace dl {

std::atomic<bool> reconnectAutomatically{false};

namespace {

struct Wait {
    WindowId window = 0;  // 0: not waiting
    bool told = false;    // the external terminal was asked to let go for this wait
};
std::array<Wait, kSessionSlots> waits;  // main thread only

std::string clockNow() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &local);
    return out;
}

}  // namespace

bool (*devicePresent)(const std::string& path) = linePresent;

void awaitDevice(int slot) {
    if (slot <= 0 || slot >= kSessionSlots) return;
    waits[size_t(slot)] = Wait{sessionTable[size_t(slot)].window.load(), false};
}

void stopAwaitingDevice(int slot) {
    if (slot > 0 && slot < kSessionSlots) waits[size_t(slot)] = Wait{};
}

void stopAwaitingEveryDevice() {
    waits.fill(Wait{});
}

bool awaitingDevice(int slot) {
    if (slot <= 0 || slot >= kSessionSlots) return false;
    const WindowId w = waits[size_t(slot)].window;
    // A window closed since, or its slot taken by another, waits no more.
    return w != 0 && sessionTable[size_t(slot)].inUse.load() == 1 && sessionTable[size_t(slot)].window.load() == w;
}

int reconnectTick() {
    int back = 0;
    for (int slot = 1; slot < kSessionSlots; ++slot) {
        Wait& wait = waits[size_t(slot)];
        if (!awaitingDevice(slot)) {
            wait = Wait{};
            continue;
        }
        PortSession& s = sessionTable[size_t(slot)];
        if (s.connected.load()) {
            wait = Wait{};
            continue;
        }
        const std::string device = devicePath(s.portNumber);
        if (!devicePresent(device)) continue;
        // Asked once a wait: the program it runs may take a while, and a device that cannot be opened
        // yet is tried again at every tick.
        if (!wait.told) notifyExternalTerminal(false);
        wait.told = true;
        if (!connectPort(wait.window)) continue;
        if (auto& caret = windowHost().caret) caret(wait.window, true);
        noteSessionEvent(slot, formatText(Text::noteReconnected, clockNow().c_str()));
        wait = Wait{};
        ++back;
    }
    return back;
}

}  // namespace dl
