#include "protocol/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace dl {
namespace {

struct TokenEvent {
    size_t at;  // index of the byte that produced the event
    TokenResult result;
    bool operator==(const TokenEvent&) const = default;
};

std::vector<TokenEvent> feedToken(TokenCollector& c, std::string_view bytes, std::string_view expected) {
    std::vector<TokenEvent> events;
    for (size_t i = 0; i < bytes.size(); ++i) {
        TokenResult r = collectToken(c, static_cast<uint8_t>(bytes[i]), expected);
        if (r != TokenResult::incomplete) events.push_back({i, r});
    }
    return events;
}

struct FieldEvent {
    size_t at;
    int32_t value;
    bool operator==(const FieldEvent&) const = default;
};

std::vector<FieldEvent> feedField(TokenCollector& c, std::string_view bytes) {
    std::vector<FieldEvent> events;
    for (size_t i = 0; i < bytes.size(); ++i) {
        int32_t value = -999;
        if (collectDecimalField(c, static_cast<uint8_t>(bytes[i]), &value)) events.push_back({i, value});
    }
    return events;
}

TEST(WireDecimalField, FormatsAsPrintfWouldInEightColumns) {
    struct Case {
        uint32_t value;
        std::string_view text;
    };
    const Case cases[] = {
        {0, "       0"},        {5, "       5"},          {1044480, " 1044480"},
        {99999999, "99999999"}, {100000000, "100000000"}, {UINT32_MAX, "4294967295"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatDecimalField(c.value), c.text) << c.value;
        // Everything that fits the field must come back unchanged at the receiving end.
        if (c.text.size() == kDecimalFieldWidth) {
            EXPECT_EQ(parseDecimalField(formatDecimalField(c.value)), static_cast<int32_t>(c.value));
        }
    }
}

TEST(WireDecimalField, ParsesAsAtoiWouldAndClampsOverflow) {
    struct Case {
        std::string_view text;
        int32_t value;
        bool inIntRange;  // atoi itself is only defined for these
    };
    const Case cases[] = {
        {"     123", 123, true},
        {"       5", 5, true},
        {"99999999", 99999999, true},
        {"   -4096", -4096, true},
        {"+7", 7, true},
        {"\t\n\v\f\r 9", 9, true},
        {"  12ab  ", 12, true},
        {" 1 2", 1, true},
        {"abcdefgh", 0, true},
        {"        ", 0, true},
        {"", 0, true},
        {"-      5", 0, true},
        {"--5", 0, true},
        {"+-5", 0, true},
        {"\xB1"
         "5",
         0, true},
        {"2147483647", INT32_MAX, true},
        {"-2147483648", INT32_MIN, true},
        {"2147483648", INT32_MAX, false},
        {"-2147483649", INT32_MIN, false},
        {"99999999999999999999999", INT32_MAX, false},
        {"-99999999999999999999999", INT32_MIN, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseDecimalField(c.text), c.value) << '"' << c.text << '"';
        if (c.inIntRange) {
            EXPECT_EQ(parseDecimalField(c.text), std::atoi(std::string(c.text).c_str()));
        }
    }
    // The field is a view, not a C string: nothing past its end is read.
    EXPECT_EQ(parseDecimalField(std::string_view("12345", 2)), 12);
}

TEST(WireHexField, ParsesAsStrtoulBase16WouldKeepingSixteenBits) {
    struct Case {
        std::string_view text;
        uint16_t value;
    };
    const Case cases[] = {
        {"00a1", 0xA1},
        {"00A1", 0xA1},
        {"ffff", 0xFFFF},
        {"FFFF", 0xFFFF},
        {"0000", 0},
        {"1234", 0x1234},
        {" 0x1", 1},
        {"0x1F", 0x1F},
        {"0X1f", 0x1F},
        {"\t 1a", 0x1A},
        {"+00A", 0xA},
        {"  -1", 0xFFFF},
        {"-0x10", 0xFFF0},
        {"12g4", 0x12},
        {"zzzz", 0},
        {"x123", 0},
        {"0x", 0},
        {"0xg1", 0},
        {"    ", 0},
        {"", 0},
        {"- 12", 0},
        {"12345", 0x2345},
        {"123456789ABCDEF0123", 0xFFFF},  // overflows unsigned long: all ones
        {"-123456789ABCDEF0123", 0xFFFF},
    };
    for (const Case& c : cases) {
        std::string text(c.text);
        EXPECT_EQ(parseHexField(c.text), c.value) << '"' << text << '"';
#ifdef _WIN32
        // Microsoft's C runtime negates the all-ones of a negative overflow (giving 1); the rule, as
        // the table says, keeps all ones.
        if (text.starts_with("-123456789ABCDEF")) continue;
#endif
        EXPECT_EQ(parseHexField(c.text), static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16)))
            << '"' << text << '"';
    }
    EXPECT_EQ(parseHexField(std::string_view("00a1ff", 4)), 0xA1);
}

TEST(WireChecksum, SumsUnsignedBytesWrappingAndSendsLittleEndian) {
    const std::vector<uint8_t> erased(kSectorSize, 0xFF);
    EXPECT_EQ(byteSum(erased), 0x000FF000u);
    EXPECT_EQ(checksumBytes(byteSum(erased)), (std::array<uint8_t, 4>{0x00, 0xF0, 0x0F, 0x00}));
    EXPECT_EQ(checksumBytes(0x12345678), (std::array<uint8_t, 4>{0x78, 0x56, 0x34, 0x12}));

    // Bytes above 0x7F count as 128..255, never as negative values.
    const std::vector<uint8_t> high{0x80, 0xFE};
    EXPECT_EQ(byteSum(high), 0x17Eu);

    // A running sum continues across blocks and wraps modulo 2^32.
    const std::vector<uint8_t> tail{0xFF, 0x02};
    EXPECT_EQ(byteSum(tail, 0xFFFFFF00u), 0x00000001u);
    EXPECT_EQ(byteSum({}, 0xDEADBEEFu), 0xDEADBEEFu);
    const std::span<const uint8_t> all(erased);
    EXPECT_EQ(byteSum(all.subspan(1000), byteSum(all.first(1000))), byteSum(all));
}

TEST(WireTokenCollector, RecognisesTokensByTheReceivingEndsByteRules) {
    struct Case {
        const char* name;
        std::string_view bytes;
        std::string_view expected;
        std::vector<TokenEvent> events;
        int lengthAfter;
    };
    using R = TokenResult;
    const Case cases[] = {
        {"plain", "s:send size", kTokenSendSize, {{10, R::match}}, 0},
        {"CR and LF start over", "noise\rjunk\ns:send size", kTokenSendSize, {{21, R::match}}, 0},
        {"CR inside a token", "s:send si\rs:send size", kTokenSendSize, {{20, R::match}}, 0},
        {"control bytes ignored", "s:se\x01nd\t s\x1Bize\x7F", kTokenSendSize, {{13, R::match}}, 1},
        {"match resets", "h:vexonh:vexon", kTokenVexon, {{6, R::match}, {13, R::match}}, 0},
        {"case matters", "S:done!", kTokenDone, {{6, R::mismatch}}, 7},
        {"leading character", "xs:send sum", kTokenSendSum, {{9, R::mismatch}}, 11},
        {"high byte stored", "\xFFs:send data", kTokenSendData, {{10, R::mismatch}}, 12},
        {"no test after mismatch", "s:send dataXYZ", kTokenSendSize, {{10, R::mismatch}}, 14},
        {"nothing awaited", "abc", "", {}, 3},
    };
    for (const Case& c : cases) {
        TokenCollector collector;
        EXPECT_EQ(feedToken(collector, c.bytes, c.expected), c.events) << c.name;
        EXPECT_EQ(collector.length, c.lengthAfter) << c.name;
    }
}

TEST(WireTokenCollector, KeepsTheFirstEightyCharactersOfALongLine) {
    TokenCollector c;
    std::string line;
    for (int i = 0; i < 120; ++i) line += static_cast<char>('A' + i % 26);
    feedToken(c, line, kTokenVexon);
    EXPECT_EQ(c.length, 80);
    EXPECT_EQ(std::string_view(c.buffer.data(), 80), std::string_view(line).substr(0, 80));

    // A full buffer takes nothing until the line ends; then the next token is recognised again.
    std::string tail = "h:vexon\n" + std::string(kTokenVexon);
    EXPECT_EQ(feedToken(c, tail, kTokenVexon), (std::vector<TokenEvent>{{14, TokenResult::match}}));
}

TEST(WireTokenCollector, CollectorsFedByteByByteDoNotShareState) {
    // Two ports fed alternately, one byte each, must see exactly what each sees alone.
    const std::string_view a = "xx\rs:send size\r\ns:send sum", b = "h:vexon\x01\rh:vex0n";
    TokenCollector aloneA, aloneB, sharedA, sharedB;
    const auto wantA = feedToken(aloneA, a, kTokenSendSize), wantB = feedToken(aloneB, b, kTokenVexon);
    std::vector<TokenEvent> gotA, gotB;
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) {
            TokenResult r = collectToken(sharedA, static_cast<uint8_t>(a[i]), kTokenSendSize);
            if (r != TokenResult::incomplete) gotA.push_back({i, r});
        }
        if (i < b.size()) {
            TokenResult r = collectToken(sharedB, static_cast<uint8_t>(b[i]), kTokenVexon);
            if (r != TokenResult::incomplete) gotB.push_back({i, r});
        }
    }
    EXPECT_EQ(gotA, wantA);
    EXPECT_EQ(gotB, wantB);
    EXPECT_EQ(wantB, (std::vector<TokenEvent>{{6, TokenResult::match}, {15, TokenResult::mismatch}}));
}

TEST(WireTokenCollector, CollectsEightCharacterDecimalFields) {
    struct Case {
        const char* name;
        std::string_view bytes;
        std::vector<FieldEvent> events;
    };
    const Case cases[] = {
        {"padded", "       5\r", {{7, 5}}},
        {"after a line end", "\r\n     123", {{9, 123}}},
        {"largest", "99999999", {{7, 99999999}}},
        {"negative", "  -12345", {{7, -12345}}},
        {"garbage after digits", "12ab    ", {{7, 12}}},
        {"no digits", "abcdefgh", {{7, 0}}},
        {"control bytes ignored", "   \x01  1\t23", {{9, 123}}},
        {"CR starts over", "  12\r     456", {{12, 456}}},
        {"back to back", "       1       2", {{7, 1}, {15, 2}}},
        {"nine digits: the ninth starts a new field", "123456789", {{7, 12345678}}},
        {"short", "   42\r", {}},
    };
    for (const Case& c : cases) {
        TokenCollector collector;
        EXPECT_EQ(feedField(collector, c.bytes), c.events) << c.name;
    }
    // The value may be left out when only the end of the field matters; the field still ends.
    TokenCollector collector;
    int ended = 0;
    for (char ch : std::string_view("       7")) ended += collectDecimalField(collector, ch, nullptr);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(collector.length, 0);
}

}  // namespace
}  // namespace dl
