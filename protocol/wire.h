// The vocabulary spoken with the box on the serial line: escape frames, text tokens, programming
// commands and lines, the two number formats and the checksum.
//
// The line also carries the box's free console text, so the protocol uses two binary escape frames that
// console text never contains, short ASCII tokens ended by CR, numbers in fixed-width fields and raw data.
// Numbers travel as a "%8u" decimal field in data transfers and as a four-digit hexadecimal field at the
// end of the box's programming lines. The checksum is a wrapping 32-bit byte sum; after each sector it
// travels as 4 little-endian bytes.
//
// The receiving end of a data transfer collects tokens in a TokenCollector: CR or LF start a new token,
// other control bytes are ignored and at most 80 characters are kept. Everything here is pure: no state
// beyond what the caller passes in, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dl {

// Escape frames: kEscape, kFrameLead, the kind byte, then the kind's token, with no terminator.
inline constexpr uint8_t kEscape = 0x1B, kFrameLead = 0xDA, kRequestKind = 0xAA, kAnswerKind = 0xDD;
inline constexpr std::string_view kRequestToken = "h:down_data";  // after 1B DA AA
inline constexpr std::string_view kAnswerToken = "s:send id";     // after 1B DA DD

// Text tokens of a data transfer, each sent followed by CR.
inline constexpr std::string_view kTokenVexon = "h:vexon", kTokenSendSize = "s:send size",
                                  kTokenSendData = "s:send data", kTokenSendSum = "s:send sum",
                                  kTokenDone = "s:done!";

enum class ProgrammingCommand : int { safe = 0, all = 1, cardless = 2, m5 = 3 };

// The exact text typed to the box, leading and trailing CR included; empty for a value outside the enum.
std::string_view programmingCommandText(ProgrammingCommand kind);

// The box's programming lines: a prefix and a four-digit hexadecimal field. The patterns' lengths are the
// lengths a line must have when it is recognised; all but the last four characters are the prefix.
inline constexpr std::string_view kSectorLinePattern = "s:prog_sector 0000",
                                  kStartLinePattern = "s:prog_start 0000",
                                  kStopLinePattern = "s:prog_stop 0000";
inline constexpr size_t kHexFieldWidth = 4;

inline constexpr uint32_t kSectorSize = 4096;
inline constexpr size_t kDecimalFieldWidth = 8;

// Exactly what printf("%8u") gives, without the CR: right-aligned in 8 columns, longer for 9+ digits.
std::string formatDecimalField(uint32_t value);

// The receiving end's reading of a decimal field, as atoi reads it: leading white space skipped, an
// optional sign, digits up to the first non-digit, 0 when there is none. Out-of-range values clamp to
// the int32 limits instead of being undefined.
int32_t parseDecimalField(std::string_view text);

// The reading of a hexadecimal field, as strtoul(text, nullptr, 16) reads it: leading white space, an
// optional sign, an optional 0x/0X, digits of either case up to the first other character, 0 when there
// is none; a '-' negates modulo 2^N. The result keeps the low 16 bits.
uint16_t parseHexField(std::string_view text);

// 32-bit wrapping sum of the bytes, each taken as 0..255, continuing from `start`.
uint32_t byteSum(std::span<const uint8_t> bytes, uint32_t start = 0);

// The checksum as it follows a sector: least significant byte first.
std::array<uint8_t, 4> checksumBytes(uint32_t sum);

// The receiving end's token collector: CR/LF reset the count; other bytes below 0x20 are ignored;
// 0x20..0xFF are stored while fewer than 80 are held; further bytes are dropped until the next reset.
// The receiving end's line rule, shared by the token collector and the programming-line parser: CR and
// LF empty the line, other bytes below 0x20 are dropped, the rest is stored while the line holds fewer
// than its capacity. True when the byte was stored.
bool storeLineByte(std::span<char> line, int& length, uint8_t byte);

struct TokenCollector {
    std::array<char, 80> buffer{};
    int length = 0;
};

enum class TokenResult { incomplete, match, mismatch };

// Feed one byte while `expected` is the token awaited. When a stored byte brings the length to
// expected.size(), the first length bytes are compared case-sensitively: match (length reset to 0) or
// mismatch (length kept; the caller abandons the exchange). Any other byte gives incomplete.
TokenResult collectToken(TokenCollector& c, uint8_t byte, std::string_view expected);

// Feed one byte of a "%8u" field, with the same byte rules. Returns true when the 8th character was
// stored: *value (when not null) gets parseDecimalField of the 8 characters and the collector is reset.
bool collectDecimalField(TokenCollector& c, uint8_t byte, int32_t* value);

}  // namespace dl
