// What the box makes of the bytes the PC sends while no exchange runs: console lines (ended by CR or LF, with
// backspace editing), the echo a real console gives when echo is on, and the transfer request frame.
//
// The request frame arrives on the same line as typed text, so from its ESC on the bytes are held back from
// the line and never echoed: an echoed frame would look to the PC like the box asking to upload. Pure logic,
// no I/O, so that the idle loop stays small.
#pragma once

#include <cstdint>
#include <string>

namespace stbsim {

class Console {
public:
    enum class Kind { none, line, transferRequest };
    struct Result {
        Kind kind = Kind::none;
        std::string line;  // the finished line (without its CR/LF) when kind is line
        std::string echo;  // what the console writes back for this byte
    };

    Result feed(uint8_t byte, bool echo);
    // Forgets a half-typed line and a half-received frame (after an exchange took over the line).
    void reset();

private:
    Result feedFrame(uint8_t byte, bool echo);
    Result feedText(uint8_t byte, bool echo);

    static constexpr size_t kMaxLine = 256;
    std::string line_;
    bool lastWasCr_ = false;
    bool inFrame_ = false;
    size_t frameMatched_ = 0;  // bytes of the request frame seen so far, its ESC included
};

}  // namespace stbsim
