#include "protocol/data_send.h"

#include <limits>
#include <string>

#include "base/commands.h"
#include "protocol/byte_machine.h"

namespace dl {
namespace {

struct SendRun {
    TransferRecord& t;
    PortSession& s;
    Effects& out;
    int state;
};

// Compares the awaited token once the collector holds its length. On a mismatch the send is abandoned
// and the collector starts afresh.
TokenResult expectToken(SendRun& r, uint8_t byte, std::string_view token) {
    TokenResult result = collectToken(r.t.token, byte, token);
    if (result == TokenResult::mismatch) {
        setOutcome(r.out, ExchangeKind::dataSend, OutcomeKind::wrongToken);
        r.out.outcome->expected = std::string(token);
        r.out.outcome->received =
            printable(std::string_view(r.t.token.buffer.data(), size_t(r.t.token.length)));
        r.t.token.length = 0;
        r.state = SendState::idle;
    }
    return result;
}

void writeDecimalField(Effects& out, uint32_t value) {
    addWrite(out, formatDecimalField(value) + "\r");
}

Flow onAnswered(SendRun& r, uint8_t byte) {
    if (!collectAny(r.t.token, byte)) return Flow::next;
    r.t.token.length = 0;
    addWrite(r.out, std::string(kTokenVexon) + "\r");
    r.state = SendState::awaitSizeRequest;
    return Flow::stop;
}

Flow onSizeRequest(SendRun& r, uint8_t byte) {
    TokenResult result = expectToken(r, byte, kTokenSendSize);
    if (result == TokenResult::mismatch) return Flow::stop;
    if (result == TokenResult::incomplete) return Flow::next;
    // The size is fixed here; the stream's progress is measured against it.
    r.t.sendSize = r.s.fileSize;
    writeDecimalField(r.out, r.t.sendSize);
    r.state = SendState::awaitDataRequest;
    return Flow::stop;
}

Flow onDataRequest(SendRun& r, uint8_t byte) {
    TokenResult result = expectToken(r, byte, kTokenSendData);
    if (result == TokenResult::mismatch) return Flow::stop;
    if (result == TokenResult::incomplete) return Flow::next;
    r.t.runningChecksum = 0;
    r.t.transferCount = 0;
    // A non-zero lParam starts the data phase (the size is read again from the file); an empty file
    // must not pass for the completion, which is lParam 0, so it is signalled as 1.
    const uint32_t size = r.t.sendSize.load();
    addPost(r.out, 0, cmdSendNotify, size != 0 ? static_cast<intptr_t>(size) : 1);
    r.state = SendState::streaming;
    return Flow::stop;
}

Flow onSumRequest(SendRun& r, uint8_t byte) {
    TokenResult result = expectToken(r, byte, kTokenSendSum);
    if (result == TokenResult::mismatch) return Flow::stop;
    if (result == TokenResult::incomplete) return Flow::next;
    writeDecimalField(r.out, r.t.runningChecksum);
    r.state = SendState::awaitDone;
    return Flow::next;
}

Flow onDone(SendRun& r, uint8_t byte) {
    TokenResult result = expectToken(r, byte, kTokenDone);
    if (result == TokenResult::mismatch) return Flow::stop;
    if (result == TokenResult::incomplete) return Flow::next;
    setOutcome(r.out, ExchangeKind::dataSend, OutcomeKind::completed);
    r.out.outcome->size = r.t.transferCount.load();
    r.out.outcome->ours = r.t.runningChecksum.load();
    addPost(r.out, 0, cmdSendNotify, 0);
    r.state = SendState::idle;
    return Flow::next;
}

// Idle (0), the data phase (4) and any state the machine does not know: bytes are only collected.
Flow onCollectOnly(SendRun& r, uint8_t byte) {
    (void)collectAny(r.t.token, byte);
    return Flow::next;
}

using StateHandler = Flow (*)(SendRun&, uint8_t);

StateHandler handlerFor(int state) {
    switch (state) {
        case SendState::answered:
            return onAnswered;
        case SendState::awaitSizeRequest:
            return onSizeRequest;
        case SendState::awaitDataRequest:
            return onDataRequest;
        case SendState::awaitSumRequest:
            return onSumRequest;
        case SendState::awaitDone:
            return onDone;
        default:
            return onCollectOnly;
    }
}

}  // namespace

int runSendMachine(TransferRecord& t, PortSession& s, int state, std::span<const uint8_t> bytes,
                   Effects& out) {
    SendRun run{t, s, out, state};
    return feedBytes(run, bytes, handlerFor);
}

uint32_t progressPercent(uint64_t done, uint64_t total) {
    if (total == 0) return 100;
    const unsigned __int128 tenths = static_cast<unsigned __int128>(done) * 1000 / total;
    const unsigned __int128 percent = (tenths + 5) / 10;
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    return percent > kMax ? kMax : static_cast<uint32_t>(percent);
}

}  // namespace dl
