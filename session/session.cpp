#include "session/session.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/eventfd.h>
#endif

namespace dl {

std::array<PortSession, kSessionSlots> sessionTable;
std::atomic<int32_t> currentSession{0};
std::atomic<int32_t> lastPort{0};
std::atomic<uint32_t> lastBaud{kDefaultBaud};
std::atomic<size_t> scrollBackLines{kDefaultScrollBackLines};

static NativeHandle makeEventFd() {
#ifdef _WIN32
    // Manual reset: a wake stays set until the next connect clears it, as an eventfd stays readable.
    return reinterpret_cast<NativeHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
#else
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#endif
}
NativeHandle (*makeSessionEvent)() = makeEventFd;
int (*closeSessionLine)(WindowId) = nullptr;

namespace {
std::mutex semaphoreMutex;
std::shared_ptr<BinarySemaphore> semaphore;
}  // namespace

std::shared_ptr<BinarySemaphore> sectorSemaphore() {
    std::lock_guard lock(semaphoreMutex);
    return semaphore;
}

int lookupSession(WindowId window) {
    if (window == 0) return 0;
    for (int i = 0; i < kSessionSlots; ++i) {
        if (sessionTable[i].inUse.load() == 1 && sessionTable[i].window.load() == window) return i;
    }
    return 0;
}

int findSession(WindowId window) {
    int slot = lookupSession(window);
    if (slot != 0) currentSession = slot;
    return slot;
}

PortSession* sessionOf(WindowId window) {
    int slot = lookupSession(window);
    return slot == 0 ? nullptr : &sessionTable[slot];
}

// The semaphore belongs to the open sessions together: the last one to go (or a creation that failed
// while no other session is open) takes it away.
static void dropSemaphoreUnlessShared(int slot) {
    for (int i = 0; i < kSessionSlots; ++i) {
        if (i != slot && sessionTable[i].inUse.load() == 1) return;
    }
    std::lock_guard lock(semaphoreMutex);
    semaphore.reset();
}

static void failCreation(PortSession& s, int slot) {
    s.readWake.reset();
    s.writeWake.reset();
    s.inUse = 0;
    s.window = 0;
    dropSemaphoreUnlessShared(slot);
}

static void applyCreationDefaults(PortSession& s, WindowId window) {
    s.transferActive = 0;
    s.port.reset();
    s.connected = 0;
    s.caretShown = 0;
    s.localEcho = 1;
    s.newLineOnCr = 1;
    s.autoWrap = 1;
    s.portNumber = static_cast<uint8_t>(lastPort.load() & 0xFF);
    s.baudRate = lastBaud.load();
    s.byteSize = 8;
    s.flowControl = 0;
    s.parity = 0;
    s.stopBits = 0;
    s.clientWidth = s.clientHeight = 0;
    s.hScrollMax = s.vScrollMax = 0;
    s.hScrollPos = 0;
    s.vScrollPos = 0;
    {
        std::lock_guard lock(s.screenMutex);
        s.column = 0;
        s.row = 0;
        s.history.clear();
        s.history.shrink_to_fit();
        s.historyFirst = s.historyCount = 0;
    }
    s.historyCapacity = scrollBackLines.load();
    s.font = 0;
    s.textColor = 0;
    s.displayErrors = 1;
    s.readerRun = 0;
    s.window = window;
}

int createSession(WindowId window, int slot) {
    if (slot < 1 || slot >= kSessionSlots || window == 0) return -1;
    PortSession& s = sessionTable[slot];
    if (s.inUse.load() == 1) return -1;  // one window per port
    currentSession = slot;
    s.inUse = 1;
    lastPort = slot;
    lastBaud = kDefaultBaud;
    applyCreationDefaults(s, window);
    {
        // A second session must not disturb the count a running transfer of the first one relies on.
        std::lock_guard lock(semaphoreMutex);
        if (!semaphore) semaphore = std::make_shared<BinarySemaphore>(1);
    }
    s.readWake.reset(makeSessionEvent());
    if (s.readWake) s.writeWake.reset(makeSessionEvent());
    if (!s.readWake || !s.writeWake) {
        failCreation(s, slot);
        return -1;
    }
    {
        std::lock_guard lock(s.screenMutex);
        s.screen.fill(' ');
    }
    s.logFont = LogFont{};
    if (auto& f = windowHost().createScreenFont) f(s);
    if (auto& f = windowHost().updateSessionMenu) f(window, false);
    return 1;
}

int destroySession(WindowId window) {
    int slot = findSession(window);
    if (slot == 0) return 0;
    PortSession& s = sessionTable[slot];
    if (s.connected.load() && closeSessionLine) closeSessionLine(window);
    // A sender that ended on its own may not have been joined yet (its end is posted to the window):
    // no thread handle outlives the session, nor is left for the slot's next session.
    for (std::thread* t : {&s.sectorThread, &s.streamThread, &s.readerThread}) {
        if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
    }
    s.readWake.reset();
    s.writeWake.reset();
    dropSemaphoreUnlessShared(slot);
    if (auto& f = windowHost().windowPlacement) {
        if (auto r = f(window)) s.windowRect = *r;
    }
    if (auto& f = windowHost().deleteFont) f(s);
    s.font = 0;
    s.inUse = 0;
    s.window = 0;
    return 1;
}

}  // namespace dl
