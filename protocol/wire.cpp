#include "protocol/wire.h"

#include <cstdio>
#include <limits>

namespace dl {
namespace {

constexpr uint8_t kCr = 0x0D, kLf = 0x0A, kFirstPrintable = 0x20;

// White space as the C library sees it in the "C" locale. Written out rather than taken from isspace so
// that a locale chosen by the GUI cannot change how the box's numbers are read.
bool isCSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int hexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Skips white space and an optional sign; returns the index of the first character after them.
size_t skipSpaceAndSign(std::string_view text, bool* negative) {
    size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) ++i;
    *negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        *negative = text[i] == '-';
        ++i;
    }
    return i;
}

bool storeByte(TokenCollector& c, uint8_t byte) {
    return storeLineByte(c.buffer, c.length, byte);
}

}  // namespace

bool storeLineByte(std::span<char> line, int& length, uint8_t byte) {
    if (byte == kCr || byte == kLf) {
        length = 0;
        return false;
    }
    if (byte < kFirstPrintable) return false;
    if (length >= static_cast<int>(line.size())) return false;
    line[static_cast<size_t>(length++)] = static_cast<char>(byte);
    return true;
}

std::string_view programmingCommandText(ProgrammingCommand kind) {
    switch (kind) {
        case ProgrammingCommand::safe:
            return "\rm:prog_sum\r";
        case ProgrammingCommand::all:
            return "\rm:prog_all\r";
        case ProgrammingCommand::cardless:
            return "\rm:Cardless\r";
        case ProgrammingCommand::m5:
            return "\rm:m5prog\r";
    }
    return {};
}

std::string formatDecimalField(uint32_t value) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%8u", static_cast<unsigned>(value));
    return std::string(text, static_cast<size_t>(n));
}

int32_t parseDecimalField(std::string_view text) {
    bool negative = false;
    size_t i = skipSpaceAndSign(text, &negative);
    // One past the int32 magnitude is enough to know the value clamps; stop growing there.
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 2;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude < kCap) magnitude = magnitude * 10 + (text[i] - '0');
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

uint16_t parseHexField(std::string_view text) {
    bool negative = false;
    size_t i = skipSpaceAndSign(text, &negative);
    // A "0x" with no digit after it reads as 0 whether or not it is taken as a prefix.
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    // The C library's unsigned long: on overflow it gives all ones and ignores the sign.
    using Wide = unsigned long;
    constexpr Wide kMax = std::numeric_limits<Wide>::max();
    Wide value = 0;
    bool overflow = false;
    for (int digit; i < text.size() && (digit = hexDigitValue(text[i])) >= 0; ++i) {
        if (value > (kMax - static_cast<Wide>(digit)) / 16) overflow = true;
        value = value * 16 + static_cast<Wide>(digit);
    }
    if (overflow)
        value = kMax;
    else if (negative)
        value = Wide{0} - value;
    return static_cast<uint16_t>(value & 0xFFFFu);
}

uint32_t byteSum(std::span<const uint8_t> bytes, uint32_t start) {
    uint32_t sum = start;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

std::array<uint8_t, 4> checksumBytes(uint32_t sum) {
    return {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum >> 16),
            static_cast<uint8_t>(sum >> 24)};
}

TokenResult collectToken(TokenCollector& c, uint8_t byte, std::string_view expected) {
    if (!storeByte(c, byte)) return TokenResult::incomplete;
    if (expected.empty() || static_cast<size_t>(c.length) != expected.size()) return TokenResult::incomplete;
    if (std::string_view(c.buffer.data(), expected.size()) != expected) return TokenResult::mismatch;
    c.length = 0;
    return TokenResult::match;
}

bool collectDecimalField(TokenCollector& c, uint8_t byte, int32_t* value) {
    if (!storeByte(c, byte) || static_cast<size_t>(c.length) != kDecimalFieldWidth) return false;
    if (value) *value = parseDecimalField(std::string_view(c.buffer.data(), kDecimalFieldWidth));
    c.length = 0;
    return true;
}

}  // namespace dl
