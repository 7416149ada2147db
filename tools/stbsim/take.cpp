// Taking a data file from the PC: the box is the receiving side. It accepts the PC's request frame, checks
// the identification, asks for the size, the data and the checksum, and confirms with "s:done!" only on a
// match.
#include <cstdio>

#include "behaviours.h"
#include "exchange.h"
#include "report.h"
#include "wire.h"

namespace stbsim {
namespace {

// The box's memory for a data file; a larger announced size is refused by not asking for the data.
constexpr uint32_t kMaxTake = 16u << 20;

bool saveFile(const std::string& path, const Bytes& data) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && written;
}

void finishTake(Box& box, const Bytes& data, uint32_t got) {
    uint32_t sum = wire::byteSum(data);
    bool ok = sum == got;
    Event event("TAKE");
    event.num("size", data.size()).num("sum", sum).num("got", got).flag("ok", ok);
    if (ok && !box.options().savePath.empty()) event.flag("saved", saveFile(box.options().savePath, data));
    if (ok) {
        box.hangUpIfPlanned("take-done");
        box.sendToken(wire::kDone, "done");
    }
    event.emit();
}

void takeExchange(Box& box) {
    box.hangUpIfPlanned("take-answer");
    box.noise();
    std::string answerText(wire::kAnswerText);
    if (box.takeWrongToken("answer")) answerText = wire::spoil(answerText);
    box.answer(wire::answerFrame(answerText));
    expectToken(box, wire::kIdentification, "take-id");
    box.hangUpIfPlanned("take-size");
    box.sendToken(wire::kSendSize, "size", true);
    uint32_t size = readDecimalField(box, "take-size");
    if (size > kMaxTake) throw ExchangeAbort{"too-large", "take-size"};
    box.sendToken(wire::kSendData, "data");
    Bytes data = receiveBlock(box, size, "take-data");
    if (data.size() < size) box.timeout("take-data");
    // A line error garbling one byte: the box's sum no longer matches the PC's.
    if (box.takeBadSum() && !data.empty()) data[data.size() / 2] ^= 0x01;
    box.hangUpIfPlanned("take-sum");
    box.sendToken(wire::kSendSum, "sum");
    finishTake(box, data, readDecimalField(box, "take-sum"));
}

}  // namespace

void runTake(Box& box) {
    Event("TAKE_BEGIN").emit();
    try {
        takeExchange(box);
    } catch (const ExchangeAbort& abort) {
        Event("TAKE_ABORT").text("reason", abort.reason).text("phase", abort.phase).emit();
    } catch (const ClientGone&) {
        Event("TAKE_ABORT").text("reason", "client-closed").emit();
        throw;
    }
}

}  // namespace stbsim
