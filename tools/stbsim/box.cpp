#include "box.h"

#include <utility>

#include "report.h"
#include "wire.h"

namespace stbsim {

Box::Box(const Options& options, const Inputs& inputs, Line& line)
    : options_(options), inputs_(inputs), line_(line), faults_(options.faults), random_(options.seed) {}

void Box::answer(std::string_view text) {
    line_.sleepFor(std::chrono::milliseconds(options_.turnaroundMs));
    line_.send(text);
}

void Box::answer(std::span<const uint8_t> bytes) {
    line_.sleepFor(std::chrono::milliseconds(options_.turnaroundMs));
    line_.send(bytes);
}

void Box::noise() {
    using namespace std::string_view_literals;
    static constexpr std::string_view kFragments[] = {"\r\n[ok]\r\n"sv, "\0\a\r\n"sv, "\r\n#\r\n"sv,
                                                      "\r\nrdy\r\n"sv};
    if (!faults_.noise) return;
    line_.send(kFragments[noiseCount_++ % std::size(kFragments)]);
}

void Box::sendToken(std::string_view token, std::string_view step, bool first) {
    noise();
    std::string text = takeWrongToken(step, first) ? wire::spoil(token) : std::string(token);
    answer(text + "\r");
}

bool Box::hangupPlanned(std::string_view phase) const {
    return faults_.hangup.count(std::string(phase)) != 0;
}

void Box::hangUpIfPlanned(std::string_view phase) {
    if (!hangupPlanned(phase)) return;
    // What the box sent before the cable was pulled has reached the PC; only the rest is cut off.
    line_.drain(Clock::now() + std::chrono::seconds(1));
    Event("HANGUP").text("phase", phase).emit();
    line_.hangUp();
    throw HungUp{};
}

bool Box::takeWrongToken(std::string_view step, bool first) {
    if (faults_.wrongToken.erase(std::string(step))) return true;
    return first && faults_.wrongToken.erase("first");
}

bool Box::takeBadSum() {
    return std::exchange(faults_.badSum, false);
}

bool Box::takeOversize() {
    return std::exchange(faults_.oversize, false);
}

bool Box::takeLateSizeCr() {
    return std::exchange(faults_.lateSizeCr, false);
}

TimePoint Box::deadline() const {
    return Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
}

void Box::timeout(std::string_view phase) {
    Event("TIMEOUT").text("phase", phase).emit();
    throw ExchangeAbort{"timeout", std::string(phase)};
}

void Box::protocolError(std::string_view phase, std::string_view expected, std::span<const uint8_t> got) {
    Event("PROTOCOL_ERROR").text("phase", phase).text("expected", expected).bytes("got", got).emit();
    throw ExchangeAbort{"protocol", std::string(phase)};
}

}  // namespace stbsim
