#include "wire.h"

#include <algorithm>
#include <cstdio>

namespace stbsim::wire {
namespace {

std::vector<uint8_t> frame(uint8_t kind, std::string_view text) {
    std::vector<uint8_t> bytes(3 + text.size());
    bytes[0] = kEsc;
    bytes[1] = 0xDA;
    bytes[2] = kind;
    std::copy(text.begin(), text.end(), bytes.begin() + 3);
    return bytes;
}

}  // namespace

std::vector<uint8_t> requestFrame() {
    return frame(0xAA, kRequestText);
}

std::vector<uint8_t> answerFrame(std::string_view text) {
    return frame(0xDD, text);
}

uint32_t byteSum(std::span<const uint8_t> bytes, uint32_t start) {
    uint32_t sum = start;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

uint32_t readLittleEndian32(std::span<const uint8_t, 4> b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::string decimalField(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%8llu\r", static_cast<unsigned long long>(value));
    return text;
}

std::optional<uint32_t> parseDecimalField(std::string_view field) {
    if (field.size() < 8) return std::nullopt;
    size_t digits = field.find_first_not_of(' ');
    if (digits == std::string_view::npos) return std::nullopt;
    uint64_t value = 0;
    for (char c : field.substr(digits)) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::string programmingLine(std::string_view prefix, unsigned value) {
    char field[8];
    std::snprintf(field, sizeof field, "%04X", value & 0xFFFFu);
    return std::string(prefix) + field + "\r\n";
}

std::string spoil(std::string_view token) {
    std::string spoiled(token);
    if (!spoiled.empty()) spoiled.back() = spoiled.back() == 'X' ? 'Y' : 'X';
    return spoiled;
}

bool isProgrammingCommand(std::string_view line) {
    return std::find(std::begin(kProgrammingCommands), std::end(kProgrammingCommands), line) !=
           std::end(kProgrammingCommands);
}

}  // namespace stbsim::wire
