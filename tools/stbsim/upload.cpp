// Uploading to the PC: the box is the sending side. It sends the request frame, waits for the PC's answer
// frame, identifies itself, gives the size, the data and the checksum when asked, and waits for "s:done!".
#include <algorithm>

#include "behaviours.h"
#include "exchange.h"
#include "report.h"
#include "wire.h"

namespace stbsim {
namespace {

// More than the PC's receive buffer holds.
constexpr size_t kOversize = 262144 + 4096;
constexpr std::chrono::milliseconds kLateCrPause{20};

Bytes uploadContent(Box& box) {
    Bytes data = box.inputs().upload;
    if (!box.takeOversize() || data.size() > 262144) return data;
    Bytes grown(kOversize);
    for (size_t i = 0; i < grown.size(); ++i)
        grown[i] = data.empty() ? static_cast<uint8_t>(i * 7) : data[i % data.size()];
    return grown;
}

// The PC opens its data phase on the first byte after the size field and ignores the rest of the piece it
// read that byte in. So the data must not share a read with that byte: a lone CR goes first, then a pause
// long enough for the PC to have read the CR by itself.
void sendData(Box& box, const Bytes& data) {
    box.answer("\r");
    box.line().sleepFor(std::chrono::milliseconds(box.options().leadGapMs));
    sendBlock(box, data, "upload-data");
}

// The field's CR normally shares its write, and so the PC's read, with the digits. With the late-cr fault it
// goes alone, with a pause on both sides long enough for the PC to read it by itself, as a UART may deliver
// it: neither the digits nor the CR that opens the data may share its read.
void sendSizeField(Box& box, size_t size) {
    const std::string field = wire::decimalField(size);
    if (!box.takeLateSizeCr()) {
        box.answer(field);
        return;
    }
    box.answer(std::string_view(field).substr(0, field.size() - 1));
    box.line().sleepFor(kLateCrPause);
    box.line().send("\r");
    box.line().sleepFor(kLateCrPause);
}

bool confirmed(Box& box) {
    try {
        expectToken(box, wire::kDone, "upload-done");
        return true;
    } catch (const ExchangeAbort&) {
        return false;
    }
}

void uploadExchange(Box& box, const Bytes& data) {
    box.hangUpIfPlanned("upload-request");
    box.noise();
    box.answer(wire::requestFrame());
    expectFrame(box, wire::answerFrame(), "upload-answer");
    box.hangUpIfPlanned("upload-id");
    box.sendToken(wire::kIdentification, "id", true);
    expectToken(box, wire::kSendSize, "upload-size");
    box.hangUpIfPlanned("upload-size");
    box.noise();
    sendSizeField(box, data.size());
    expectToken(box, wire::kSendData, "upload-data");
    sendData(box, data);
    expectToken(box, wire::kSendSum, "upload-sum");
    box.hangUpIfPlanned("upload-sum");
    uint32_t sum = wire::byteSum(data);
    box.noise();
    box.answer(wire::decimalField(box.takeBadSum() ? sum + 1 : sum));
    bool done = confirmed(box);
    Event("UPLOAD").num("size", data.size()).num("sum", sum).flag("done", done).emit();
}

}  // namespace

void runUpload(Box& box) {
    Bytes data = uploadContent(box);
    Event("UPLOAD_BEGIN").num("size", data.size()).emit();
    try {
        uploadExchange(box, data);
    } catch (const ExchangeAbort& abort) {
        Event("UPLOAD_ABORT").text("reason", abort.reason).text("phase", abort.phase).emit();
    } catch (const ClientGone&) {
        Event("UPLOAD_ABORT").text("reason", "client-closed").emit();
        throw;
    }
}

}  // namespace stbsim
