#include "exchange/exchange_watch.h"

#include <array>

#include "base/commands.h"
#include "exchange/handlers.h"
#include "protocol/transfer.h"
#include "session/protocol_state.h"
#include "session/session.h"
#include "session/tick.h"

namespace dl {

namespace {

// Everything that moves while an exchange is alive. Equal twice means the box has done nothing between.
struct Movement {
    int32_t mode = 0, state = 0, programming = 0, active = 0;
    uint32_t sectors = 0, bytesSent = 0, received = 0, startTick = 0;
    friend bool operator==(const Movement&, const Movement&) = default;
};

struct Target {
    int slot = 0;
    ExchangeKind kind = ExchangeKind::programming;
    bool begun = false;
};

// A request sent that the box has not answered yet. It is settled once the exchange is seen running,
// or once the box did anything that started or ended one (a start tick set, an outcome recorded):
// a short exchange can come and go between two ticks.
struct Expectation {
    int slot = 0;
    ExchangeKind kind = ExchangeKind::programming;
    uint32_t startTick = 0;
    uint32_t connection = 0;  // the reader's id: a line closed and opened again has forgotten the request
    ExchangeOutcome outcome;
};

std::chrono::milliseconds timeout = kDefaultExchangeTimeout;
Expectation expected;
int watchedSlot = 0;
Movement seen;
uint32_t quietSince = 0;
int pauses = 0;
std::array<uint32_t, kSessionSlots> shownSecond{};

Movement movementOf(const PortSession& s) {
    return {protocolMode.load(),           transferState.load(), s.programming.load(),
            s.transferActive.load(),       s.sectorsSent.load(), s.bytesSent.load(),
            transfer.receivedCount.load(), s.startTick.load()};
}

ExchangeKind kindOfMode(int32_t mode) {
    if (mode == modeDataSend) return ExchangeKind::dataSend;
    if (mode == modeDataReceive) return ExchangeKind::dataReceive;
    return ExchangeKind::programming;
}

bool isLive(int slot) {
    return slot > 0 && slot < kSessionSlots && sessionTable[slot].inUse.load() == 1 &&
           sessionTable[slot].connected.load() == 1;
}

// The exchange that holds the line, else the request that waits for the box. A programming mode set
// by a command whose warning was declined holds nothing: no box was asked.
Target currentTarget() {
    if (const int owner = transferOwner.load(); isLive(owner)) {
        const PortSession& s = sessionTable[owner];
        const int32_t mode = protocolMode.load();
        if (mode == modeDataSend || mode == modeDataReceive || transferState.load() != 0 ||
            s.programming.load() || s.transferActive.load()) {
            expected.slot = 0;
            return {owner, kindOfMode(mode), true};
        }
    }
    if (expected.slot == 0) return {};
    const PortSession& s = sessionTable[expected.slot];
    if (!isLive(expected.slot) || s.readerThreadId.load() != expected.connection ||
        s.startTick.load() != expected.startTick || lastOutcome() != expected.outcome) {
        expected.slot = 0;
        return {};
    }
    return {expected.slot, expected.kind, false};
}

// The panel's elapsed time is whole seconds since the transfer started: it is redrawn as that moves.
void redrawPanels(uint32_t now) {
    for (int slot = 1; slot < kSessionSlots; ++slot) {
        const PortSession& s = sessionTable[slot];
        if (s.inUse.load() != 1 || !s.transferActive.load()) continue;
        const uint32_t second = ticksSince(s.startTick.load(), now) / 1000;
        if (second == shownSecond[slot]) continue;
        shownSecond[slot] = second;
        hostProgressChanged(s.window.load());
    }
}

// How far the exchange got; a counter of an earlier exchange is not this one's.
ExchangeOutcome stalledOutcome(const Target& t, const PortSession& s) {
    ExchangeOutcome o;
    o.kind = OutcomeKind::noAnswer;
    o.exchange = t.kind;
    o.begun = t.begun;
    if (!t.begun) return o;
    const int32_t state = transferState.load();
    switch (t.kind) {
        case ExchangeKind::programming:
            o.sectors = s.sectorsSent.load();
            o.size = s.transferActive.load() ? s.bytesSent.load() : 0;
            break;
        case ExchangeKind::dataSend:
            o.size = state >= SendState::streaming ? s.bytesSent.load() : 0;
            break;
        case ExchangeKind::dataReceive:
            o.size = state >= ReceiveState::awaitDataStart ? transfer.receivedCount.load() : 0;
            break;
    }
    return o;
}

// Ends the exchange as a disconnect would, leaving the line open. A sender still running is told and
// ends by itself (it closes its file and posts cmdSenderEnded, where it is joined), so nothing here
// waits on it.
void giveUp(const Target& t) {
    PortSession& s = sessionTable[t.slot];
    const WindowId window = s.window.load();
    recordOutcome(stalledOutcome(t, s), t.slot);
    const bool sectorSender = s.sectorThreadId.load() != 0;
    const bool streamSender = s.streamThreadId.load() != 0;
    if (sectorSender || streamSender) {
        int32_t running = 1;
        s.senderRun.compare_exchange_strong(running, 2);
        // Only this session's own sender waits on the semaphore: a release for another would make it
        // serve its last request twice.
        if (auto semaphore = sectorSemaphore(); semaphore && sectorSender) semaphore->release();
    }
    takeLineBack();
    s.transferActive = 0;
    s.programming = 0;
    // A sender closes its file as it ends (and had, when its id is 0 already); else none holds it.
    if (!sectorSender && !streamSender) s.file.reset();
    expected.slot = 0;
    watchedSlot = 0;
    hostProgressChanged(window);
    hostPostCommand(window, cmdExchangeEnded, 0);
}

}  // namespace

void setExchangeTimeout(std::chrono::milliseconds t) {
    timeout = t;
}

std::chrono::milliseconds exchangeTimeout() {
    return timeout;
}

void expectExchange(WindowId window, ExchangeKind kind) {
    const int slot = lookupSession(window);
    if (slot == 0) return;
    const PortSession& s = sessionTable[slot];
    expected = {slot, kind, s.startTick.load(), s.readerThreadId.load(), lastOutcome()};
    watchedSlot = 0;  // counted afresh from this request
}

void exchangeTick() {
    const uint32_t now = tickNow();
    redrawPanels(now);
    const Target t = currentTarget();
    if (t.slot == 0) {
        watchedSlot = 0;
        return;
    }
    const Movement m = movementOf(sessionTable[t.slot]);
    if (pauses > 0 || t.slot != watchedSlot || m != seen) {
        watchedSlot = t.slot;
        seen = m;
        quietSince = now;
        return;
    }
    if (ticksSince(quietSince, now) < static_cast<uint64_t>(timeout.count())) return;
    giveUp(t);
}

std::chrono::milliseconds exchangeWatchDue() {
    // A request just sent is taken up by the next tick, which starts its count.
    if (watchedSlot == 0) return expected.slot != 0 ? std::chrono::milliseconds(0) : timeout;
    if (pauses > 0) return timeout;
    const uint64_t quiet = ticksSince(quietSince, tickNow());
    const auto limit = static_cast<uint64_t>(timeout.count());
    return std::chrono::milliseconds(quiet >= limit ? 0 : limit - quiet);
}

ExchangeWatchPause::ExchangeWatchPause() {
    ++pauses;
}

ExchangeWatchPause::~ExchangeWatchPause() {
    --pauses;
    watchedSlot = 0;  // the quiet is counted from the end of the choice
}

}  // namespace dl
