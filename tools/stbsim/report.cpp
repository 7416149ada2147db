#include "report.h"

#include <cstdio>

namespace stbsim {

std::string escapeValue(std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (b > ' ' && b < 0x7F && b != '\\') {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

std::string escapeValue(std::string_view text) {
    return escapeValue(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Event::Event(std::string_view name) : line_(name) {}

void Event::key(std::string_view key) {
    line_ += ' ';
    line_ += key;
    line_ += '=';
}

Event& Event::text(std::string_view key, std::string_view value) {
    this->key(key);
    line_ += escapeValue(value);
    return *this;
}

Event& Event::bytes(std::string_view key, std::span<const uint8_t> value) {
    this->key(key);
    line_ += escapeValue(value);
    return *this;
}

Event& Event::num(std::string_view key, uint64_t value) {
    this->key(key);
    line_ += std::to_string(value);
    return *this;
}

Event& Event::hex(std::string_view key, uint64_t value) {
    char digits[20];
    std::snprintf(digits, sizeof digits, "%llX", static_cast<unsigned long long>(value));
    this->key(key);
    line_ += digits;
    return *this;
}

void Event::emit() const {
    emitLine(line_);
}

void emitLine(std::string_view line) {
    // A reader that went away must not take the box down with it: write errors are ignored (SIGPIPE is too).
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace stbsim
