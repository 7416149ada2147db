// The simulator's report on stdout: one event per line, "NAME key=value key=value", flushed at once so that a
// test waiting for an event sees it as soon as the box has acted.
//
// Values are escaped so that a line always splits on single spaces: every byte outside '!'..'~', and the
// backslash itself, is written as \xNN (upper-case hex). Keys never need escaping.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace stbsim {

std::string escapeValue(std::span<const uint8_t> bytes);
std::string escapeValue(std::string_view text);

class Event {
public:
    explicit Event(std::string_view name);
    Event& text(std::string_view key, std::string_view value);
    Event& bytes(std::string_view key, std::span<const uint8_t> value);
    Event& num(std::string_view key, uint64_t value);
    Event& hex(std::string_view key, uint64_t value);
    Event& flag(std::string_view key, bool value) { return num(key, value ? 1 : 0); }
    void emit() const;

private:
    void key(std::string_view key);
    std::string line_;
};

// Writes one report line verbatim (the PTY line, which precedes the key=value events).
void emitLine(std::string_view line);

}  // namespace stbsim
