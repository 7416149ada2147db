#include "console.h"

#include "wire.h"

namespace stbsim {

Console::Result Console::feed(uint8_t byte, bool echo) {
    if (inFrame_) return feedFrame(byte, echo);
    if (byte == wire::kEsc) {
        inFrame_ = true;
        frameMatched_ = 1;
        return {};
    }
    return feedText(byte, echo);
}

Console::Result Console::feedFrame(uint8_t byte, bool echo) {
    static const auto kFrame = wire::requestFrame();
    if (byte == kFrame[frameMatched_]) {
        if (++frameMatched_ < kFrame.size()) return {};
        inFrame_ = false;
        return {Kind::transferRequest, {}, {}};
    }
    // Not our frame: the escape sequence so far is dropped, and the byte that broke it counts as typed.
    inFrame_ = false;
    return feed(byte, echo);
}

Console::Result Console::feedText(uint8_t byte, bool echo) {
    Result result;
    bool crLfPair = lastWasCr_ && byte == '\n';
    lastWasCr_ = byte == '\r';
    if (byte == '\r' || byte == '\n') {
        if (crLfPair) return result;
        if (echo) result.echo = "\r\n";
        if (!line_.empty()) {
            result.kind = Kind::line;
            result.line.swap(line_);
        }
        return result;
    }
    if (byte == 0x08 || byte == 0x7F) {
        if (!line_.empty()) {
            line_.pop_back();
            if (echo) result.echo = "\b \b";
        }
        return result;
    }
    if (byte < 0x20) return result;
    if (line_.size() < kMaxLine) line_ += static_cast<char>(byte);
    if (echo) result.echo = std::string(1, static_cast<char>(byte));
    return result;
}

void Console::reset() {
    line_.clear();
    lastWasCr_ = false;
    inFrame_ = false;
    frameMatched_ = 0;
}

}  // namespace stbsim
