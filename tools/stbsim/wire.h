// The box's side of the line vocabulary: frames, tokens, number fields and the byte-sum checksum, written
// down here from the box's point of view and nowhere else in the simulator.
//
// Line ends: the box ends its programming lines with CR LF, as its console does, but its data-transfer tokens
// and number fields with a single CR, like the PC's; frames carry no terminator at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stbsim::wire {

inline constexpr uint8_t kEsc = 0x1B;
inline constexpr size_t kSectorSize = 4096;
inline constexpr size_t kSectorChecksumSize = 4;
// The PC reads an image in chunks of this size and stops at the first incomplete one.
inline constexpr size_t kImageChunk = 128;

inline constexpr std::string_view kRequestText = "h:down_data";
inline constexpr std::string_view kAnswerText = "s:send id";
inline constexpr std::string_view kIdentification = "h:vexon";
inline constexpr std::string_view kSendSize = "s:send size";
inline constexpr std::string_view kSendData = "s:send data";
inline constexpr std::string_view kSendSum = "s:send sum";
inline constexpr std::string_view kDone = "s:done!";

inline constexpr std::string_view kProgrammingCommands[] = {"m:prog_sum", "m:prog_all", "m:Cardless",
                                                            "m:m5prog"};

// ESC 0xDA 0xAA "h:down_data": the sending side asks the other side to take a transfer.
std::vector<uint8_t> requestFrame();
// ESC 0xDA 0xDD "s:send id" (or the given text): the receiving side accepts.
std::vector<uint8_t> answerFrame(std::string_view text = kAnswerText);

// The 32-bit byte sum, wrapping.
uint32_t byteSum(std::span<const uint8_t> bytes, uint32_t start = 0);
uint32_t readLittleEndian32(std::span<const uint8_t, 4> bytes);

// "%8u" and CR, the decimal field the box sends.
std::string decimalField(uint64_t value);
// A decimal field from the PC (its CR already stripped): at least 8 characters, blanks then digits.
std::optional<uint32_t> parseDecimalField(std::string_view field);

// "s:prog_start 0003" and CR LF.
std::string programmingLine(std::string_view prefix, unsigned value);

// The token with its last character changed, for the wrong-token fault.
std::string spoil(std::string_view token);

bool isProgrammingCommand(std::string_view line);

}  // namespace stbsim::wire
