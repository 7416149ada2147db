#include "exchange.h"

#include "wire.h"

namespace stbsim {
namespace {

constexpr size_t kMaxToken = 80;

std::span<const uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string readToken(Box& box, std::string_view phase) {
    TimePoint until = box.deadline();
    std::string token;
    for (;;) {
        auto byte = box.line().readByte(until);
        if (!byte) box.timeout(phase);
        if (*byte == '\r' || *byte == '\n') {
            if (!token.empty()) return token;
        } else if (*byte >= 0x20 && token.size() < kMaxToken) {
            token += static_cast<char>(*byte);
        }
    }
}

void expectToken(Box& box, std::string_view expected, std::string_view phase) {
    std::string token = readToken(box, phase);
    if (token != expected) box.protocolError(phase, expected, asBytes(token));
}

uint32_t readDecimalField(Box& box, std::string_view phase) {
    std::string field = readToken(box, phase);
    auto value = wire::parseDecimalField(field);
    if (!value) box.protocolError(phase, "%8u", asBytes(field));
    return *value;
}

void expectFrame(Box& box, std::span<const uint8_t> frame, std::string_view phase) {
    TimePoint until = box.deadline();
    Bytes seen;
    while (seen.size() < frame.size()) {
        auto byte = box.line().readByte(until);
        if (!byte) box.timeout(phase);
        if (seen.empty() && *byte != frame[0]) continue;
        seen.push_back(*byte);
        if (seen.back() != frame[seen.size() - 1]) box.protocolError(phase, "answer-frame", seen);
    }
}

Bytes receiveBlock(Box& box, size_t count, std::string_view midPhase) {
    size_t stopAt = box.hangupPlanned(midPhase) ? count / 2 : count;
    Bytes data(stopAt);
    size_t have = 0;
    while (have < stopAt) {
        size_t n = box.line().read(std::span(data).subspan(have), box.deadline());
        if (n == 0) break;
        have += n;
    }
    data.resize(have);
    if (have == stopAt && stopAt < count) box.hangUpIfPlanned(midPhase);
    return data;
}

void sendBlock(Box& box, std::span<const uint8_t> data, std::string_view midPhase) {
    if (!box.hangupPlanned(midPhase)) {
        box.line().sendStream(data);
        return;
    }
    box.line().sendStream(data.first(data.size() / 2));
    box.hangUpIfPlanned(midPhase);
}

}  // namespace stbsim
