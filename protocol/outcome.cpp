#include "protocol/outcome.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/texts.h"

namespace dl {

namespace {
std::mutex outcomeMutex;
ExchangeOutcome last;
std::atomic<void (*)(const ExchangeOutcome&, int)> observer{nullptr};

std::string exchangeName(ExchangeKind k) {
    switch (k) {
        case ExchangeKind::dataSend:
            return "The data send";
        case ExchangeKind::dataReceive:
            return "The data receive";
        case ExchangeKind::programming:
            return "The programming run";
    }
    return "The exchange";
}
// A box that went quiet half-way is told apart from one that never answered, with how far it got, so
// the technician knows whether anything reached the box.
std::string noAnswerText(const ExchangeOutcome& o) {
    if (!o.begun) return " was abandoned: no answer from the box.";
    char text[160] = " was abandoned.";
    const auto bytes = static_cast<long long>(o.size);
    switch (o.exchange) {
        case ExchangeKind::programming:
            std::snprintf(text, sizeof text,
                          " was abandoned: the box stopped asking for sectors (%u sectors sent, %lld bytes).",
                          o.sectors, bytes);
            break;
        case ExchangeKind::dataSend:
            std::snprintf(text, sizeof text, " was abandoned: the box stopped answering (%lld bytes sent).",
                          bytes);
            break;
        case ExchangeKind::dataReceive:
            std::snprintf(text, sizeof text, " was abandoned: the box stopped sending (%lld bytes received).",
                          bytes);
            break;
    }
    return text;
}

}  // namespace

std::string printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

std::string outcomeText(const ExchangeOutcome& o) {
    const std::string what = exchangeName(o.exchange);
    char text[160];
    switch (o.kind) {
        case OutcomeKind::none:
            return what + " has not ended.";
        case OutcomeKind::completed:
            return what + " completed.";
        case OutcomeKind::wrongToken:
            return what + " was abandoned: the box sent \"" + o.received + "\" where \"" + o.expected +
                   "\" was due.";
        case OutcomeKind::checksumMismatch:
            std::snprintf(text, sizeof text, " was abandoned: checksum mismatch (ours %X, the box's %X).",
                          o.ours, o.theirs);
            return what + text;
        case OutcomeKind::sizeRefused:
            std::snprintf(text, sizeof text,
                          " was refused: the box announced %lld bytes, more than the %d bytes that can be "
                          "received.",
                          static_cast<long long>(o.size), 262144);
            return what + text;
        case OutcomeKind::fileUnreadable:
            return what + " was abandoned: " + o.path + ": " + o.reason + ".";
        case OutcomeKind::fileTooSmall:
            return what + " was refused: the file is smaller than 32768 bytes.";
        case OutcomeKind::lineLost:
            return what + " was cut off: the line is gone (device removed or hung up).";
        case OutcomeKind::noAnswer:
            return what + noAnswerText(o);
        case OutcomeKind::imageShort:
            std::snprintf(text, sizeof text,
                          " ended: the box asked for sector %04X, which the image does not hold.", o.sector);
            return what + text;
        case OutcomeKind::stopped:
            return what + " was stopped.";
        case OutcomeKind::chosenTooLate:
            std::snprintf(text, sizeof text,
                          " was abandoned: the image was chosen after %lld s, when the box had stopped "
                          "waiting for it; nothing was sent.",
                          static_cast<long long>(o.size));
            return what + text;
    }
    return what + " ended.";
}

std::string outcomeTitle(const ExchangeOutcome& o) {
    switch (o.exchange) {
        case ExchangeKind::dataSend:
            return std::string(text(Text::sendFailedTitle));
        case ExchangeKind::dataReceive:
            return std::string(text(Text::receiveFailedTitle));
        case ExchangeKind::programming:
            break;
    }
    return std::string(text(Text::programmingFailedTitle));
}

ExchangeOutcome lastOutcome() {
    std::lock_guard lock(outcomeMutex);
    return last;
}

void recordOutcome(const ExchangeOutcome& outcome, int slot) {
    {
        std::lock_guard lock(outcomeMutex);
        last = outcome;
    }
    if (auto tell = observer.load()) tell(outcome, slot);
}

void setOutcomeObserver(void (*o)(const ExchangeOutcome&, int)) {
    observer = o;
}

}  // namespace dl
