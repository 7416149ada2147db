#include "protocol/data_receive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "base/commands.h"
#include "protocol/byte_machine.h"
#include "protocol/data_send.h"

namespace dl {
namespace {

constexpr uint8_t kCr = 0x0D, kLf = 0x0A;

struct ReceiveRun {
    TransferRecord& t;
    PortSession& s;
    uint32_t nowTick;
    Effects& out;
    int state;
};

void addTokenLine(Effects& out, std::string_view token) {
    addWrite(out, std::string(token) + "\r");
}

void addErrorMark(Effects& out, int code) {
    char text[24];
    std::snprintf(text, sizeof text, "<CE-%X>", static_cast<unsigned>(code));
    out.screenText.emplace_back(text);
}

void answerRequest(TransferRecord& t, Effects& out) {
    t.token.length = 0;
    addByteWrite(out, kEscape);
    addByteWrite(out, kFrameLead);
    addByteWrite(out, kAnswerKind);
    addWrite(out, kAnswerToken);
}

Flow onIdentification(ReceiveRun& r, uint8_t byte) {
    TokenResult result = collectToken(r.t.token, byte, kTokenVexon);
    if (result == TokenResult::incomplete) return Flow::next;
    if (result == TokenResult::mismatch) {
        setOutcome(r.out, ExchangeKind::dataReceive, OutcomeKind::wrongToken);
        r.out.outcome->expected = std::string(kTokenVexon);
        r.out.outcome->received =
            printable(std::string_view(r.t.token.buffer.data(), size_t(r.t.token.length)));
        r.t.token.length = 0;
        r.state = ReceiveState::idle;
        return Flow::stop;
    }
    addTokenLine(r.out, kTokenSendSize);
    r.state = ReceiveState::awaitSize;
    return Flow::next;
}

// Sizes the buffer cannot hold are refused before the data is asked for, so nothing is ever stored
// past its end. A negative field would compare as a huge unsigned size, so it is refused too.
bool sizeFits(int32_t size) {
    return size >= 0 && static_cast<uint64_t>(size) <= kReceiveCapacity;
}

Flow onSizeField(ReceiveRun& r, uint8_t byte) {
    int32_t size = 0;
    if (!collectDecimalField(r.t.token, byte, &size)) return Flow::next;
    if (!sizeFits(size)) {
        setOutcome(r.out, ExchangeKind::dataReceive, OutcomeKind::sizeRefused);
        r.out.outcome->size = size;
        addErrorMark(r.out, EFBIG);
        r.state = ReceiveState::idle;
        return Flow::stop;
    }
    r.t.announcedSize = size;
    addTokenLine(r.out, kTokenSendData);
    r.t.runningChecksum = 0;
    r.t.receivedCount = 0;
    r.state = ReceiveState::awaitDataStart;
    return Flow::stop;
}

void startDataPhase(ReceiveRun& r) {
    r.s.startTick = r.nowTick;
    r.s.transferActive = 1;
    r.state = ReceiveState::dataPhase;
}

// An empty upload has no data block to wait for (a box may send none): it is complete at its start,
// and the checksum is asked for at once.
void completeEmptyUpload(ReceiveRun& r) {
    r.t.token.length = 0;
    r.s.startTick = r.nowTick;
    if (setPercent(r.s, 100)) r.out.progressChanged = true;
    addTokenLine(r.out, kTokenSendSum);
    r.state = ReceiveState::awaitChecksum;
}

// A line end starts the data at once and drops the rest of the block; an accepted byte starts it too,
// but the rest of that block is still collected as text. Either way the block carries no data.
Flow onDataStart(ReceiveRun& r, uint8_t byte) {
    const bool lineEnd = byte == kCr || byte == kLf;
    if (!lineEnd && !collectAny(r.t.token, byte)) return Flow::next;
    if (r.t.announcedSize.load() == 0) {
        completeEmptyUpload(r);
        return Flow::stop;
    }
    if (lineEnd) r.t.token.length = 0;
    startDataPhase(r);
    return lineEnd ? Flow::stop : Flow::next;
}

Flow onChecksumField(ReceiveRun& r, uint8_t byte) {
    int32_t field = 0;
    if (!collectDecimalField(r.t.token, byte, &field)) return Flow::next;
    r.state = ReceiveState::idle;
    // The field is read as a signed number; the sum is unsigned. Both are 32-bit patterns.
    if (static_cast<uint32_t>(field) != r.t.runningChecksum.load()) {
        setOutcome(r.out, ExchangeKind::dataReceive, OutcomeKind::checksumMismatch);
        r.out.outcome->ours = r.t.runningChecksum.load();
        r.out.outcome->theirs = static_cast<uint32_t>(field);
        return Flow::stop;
    }
    addTokenLine(r.out, kTokenDone);
    setOutcome(r.out, ExchangeKind::dataReceive, OutcomeKind::completed);
    r.out.outcome->size = r.t.announcedSize.load();
    r.out.outcome->ours = r.t.runningChecksum.load();
    // lParam 0 announces a receive that begins: an empty upload's completion must not read as that.
    const int32_t size = r.t.announcedSize.load();
    addPost(r.out, 0, cmdReceiveNotify, size != 0 ? static_cast<intptr_t>(size) : kReceiveDoneEmpty);
    return Flow::stop;
}

// The rest of the block that started the data phase, idle, and unknown states: only collected.
Flow onCollectOnly(ReceiveRun& r, uint8_t byte) {
    (void)collectAny(r.t.token, byte);
    return Flow::next;
}

using StateHandler = Flow (*)(ReceiveRun&, uint8_t);

StateHandler handlerFor(int state) {
    switch (state) {
        case ReceiveState::awaitIdentification:
            return onIdentification;
        case ReceiveState::awaitSize:
            return onSizeField;
        case ReceiveState::awaitDataStart:
            return onDataStart;
        case ReceiveState::awaitChecksum:
            return onChecksumField;
        default:
            return onCollectOnly;
    }
}

}  // namespace

int runReceiveMachine(TransferRecord& t, PortSession& s, int state, std::span<const uint8_t> bytes,
                      uint32_t nowTick, Effects& out) {
    if (state == ReceiveState::requested) {
        // The block that carried the request frame is not examined.
        answerRequest(t, out);
        return ReceiveState::awaitIdentification;
    }
    ReceiveRun run{t, s, nowTick, out, state};
    return feedBytes(run, bytes, handlerFor);
}

int acceptDataBlock(TransferRecord& t, PortSession& s, int, std::span<const uint8_t> bytes, Effects& out) {
    const uint32_t announced = static_cast<uint32_t>(t.announcedSize.load());
    const uint32_t before = t.receivedCount.load();
    // Only the bytes that complete the announced size count. The buffer's own end is checked as well,
    // so a record that never went through the size step cannot be written past either.
    const uint64_t wanted = announced > before ? announced - before : 0;
    const uint64_t capacity = t.receiveBuffer.size();
    const uint64_t room = capacity > before ? capacity - before : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>({bytes.size(), wanted, room}));
    const auto data = bytes.first(n);

    t.runningChecksum = byteSum(data, t.runningChecksum.load());
    // Measured before this block: the percentage trails by one block.
    const uint32_t percent = progressPercent(before, announced);
    if (setPercent(s, percent)) out.progressChanged = true;
    std::copy(data.begin(), data.end(), t.receiveBuffer.begin() + before);
    t.receivedCount = before + static_cast<uint32_t>(n);
    if (t.receivedCount.load() < announced) return ReceiveState::dataPhase;
    addTokenLine(out, kTokenSendSum);
    s.transferActive = 0;
    return ReceiveState::awaitChecksum;
}

}  // namespace dl
