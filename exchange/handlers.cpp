#include "exchange/handlers.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

#include "exchange/data_stream.h"
#include "protocol/data_receive.h"
#include "protocol/data_send.h"
#include "protocol/handshake.h"
#include "protocol/programming.h"
#include "protocol/transfer.h"
#include "serial/port_write.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/terminal.h"
#include "session/tick.h"

namespace dl {
namespace {

// The record is process-wide while every connected session has its own reader, so two readers may
// reach it at once (two boxes talking). The effects are carried out outside the lock: a port write can
// wait for room on the line.
std::mutex recordMutex;

// The session whose line took the exchange owns it; recorded before its effects are carried out, since
// the frame's handling of the posted start asks for that session.
void recordOwner(PortSession& s, int modeBefore) {
    if (modeBefore != modeIdle || protocolMode.load() == modeIdle) return;
    const auto index = &s - sessionTable.data();
    if (index > 0 && index < kSessionSlots) transferOwner = static_cast<int32_t>(index);
}

// The machines return who owns the line next; this is the one place that writes it.
void applyLineChange(const Effects& e) {
    if (e.nextState) transferState = *e.nextState;
    if (e.nextMode) protocolMode = *e.nextMode;
}

int store(Effects& e, int state) {
    e.nextState = state;
    return state;
}

// -1 as a machine's state: the line was taken back between the reader's look at the state and this
// step (takeLineBack), so the step belongs to an exchange that is over.
constexpr int kLineTakenBack = -1;

template <class Machine>
int runLocked(PortSession& s, Machine machine, std::optional<int> stateSeen = std::nullopt) {
    Effects effects;
    int result;
    {
        std::lock_guard lock(recordMutex);
        if (stateSeen && transferState.load() != *stateSeen) return kLineTakenBack;
        const int modeBefore = protocolMode.load();
        result = machine(effects);
        applyLineChange(effects);
        recordOwner(s, modeBefore);
    }
    carryOut(s, effects);
    return result;
}

}  // namespace

void carryOut(PortSession& s, const Effects& e) {
    for (const auto& bytes : e.writes) portWrite(s, bytes.data(), bytes.size());
    for (const auto& text : e.screenText) {
        terminalWrite(s, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    if (e.semaphoreDrainAt >= 0 || e.semaphoreReleases > 0) {
        if (auto semaphore = sectorSemaphore()) {
            for (int i = 0; i <= e.semaphoreReleases; ++i) {
                if (i == e.semaphoreDrainAt) (void)semaphore->tryAcquireFor(std::chrono::milliseconds(0));
                if (i < e.semaphoreReleases) semaphore->release();
            }
        }
    }
    if (e.outcome) recordOutcome(*e.outcome, static_cast<int>(&s - sessionTable.data()));
    // A completed upload is kept whole before the frame is told: the receive buffer is the next
    // upload's as soon as the box starts one, perhaps while this one's save question is still open.
    if (e.outcome && e.outcome->exchange == ExchangeKind::dataReceive &&
        e.outcome->kind == OutcomeKind::completed) {
        const auto* begin = transfer.receiveBuffer.data();
        keepReceivedUpload(
            {std::vector<uint8_t>(begin, begin + std::min<size_t>(transfer.receivedCount.load(),
                                                                  transfer.receiveBuffer.size())),
             transfer.runningChecksum.load()});
    }
    for (const PostedCommand& p : e.posts) hostPostCommand(p.window, p.command, p.param);
    if (e.progressChanged) hostProgressChanged(s.window.load());
}

void takeLineBack() {
    std::lock_guard lock(recordMutex);
    transferState = 0;
    protocolMode = modeIdle;
}

void installProtocolHandlers() {
    ReceiveHandlers& h = receiveHandlers();
    // The new state is stored before the effects go out: a posted command may be handled (and may end
    // the exchange) before the reader would get to store it.
    h.runSendMachine = [](PortSession& s, int state, std::span<const uint8_t> bytes) {
        return runLocked(
            s, [&](Effects& e) { return store(e, runSendMachine(transfer, s, state, bytes, e)); }, state);
    };
    h.acceptDataBlock = [](PortSession& s, int state, std::span<const uint8_t> bytes) {
        return runLocked(
            s, [&](Effects& e) { return store(e, acceptDataBlock(transfer, s, state, bytes, e)); }, state);
    };
    h.runReceiveMachine = [](PortSession& s, int state, std::span<const uint8_t> bytes) {
        return runLocked(
            s,
            [&](Effects& e) { return store(e, runReceiveMachine(transfer, s, state, bytes, tickNow(), e)); },
            state);
    };
    h.detectHandshake = [](PortSession& s, std::span<const uint8_t> bytes) {
        return runLocked(s, [&](Effects& e) { return detectHandshake(transfer, s, bytes, tickNow(), e); });
    };
    h.parseProgrammingInput = [](PortSession& s, std::span<const uint8_t> bytes) {
        // Only the session's own line and the shared atomics are touched: no lock needed.
        Effects effects;
        const int modeBefore = protocolMode.load();
        parseProgrammingInput(s, bytes, tickNow(), effects);
        applyLineChange(effects);
        recordOwner(s, modeBefore);
        carryOut(s, effects);
    };
}

}  // namespace dl
