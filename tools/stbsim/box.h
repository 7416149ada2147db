// What the box's behaviours share: the options, the files it was given, the line, the faults that are still
// to fire, and the few things every exchange does the same way: answer after the turnaround, print console
// noise where a real box might, hang up at a planned phase, and give up on a timeout or a protocol error.
#pragma once

#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "line.h"
#include "options.h"

namespace stbsim {

// Ends the running exchange; the box returns to its console. reason: timeout, protocol or too-large.
struct ExchangeAbort {
    std::string reason;
    std::string phase;
};

// A planned hang-up happened: the line is closed and the process is to end.
struct HungUp {};

struct Inputs {
    std::optional<Bytes> image;  // the image the box expects to be programmed with
    Bytes upload;                // what the box uploads
};

class Box {
public:
    Box(const Options& options, const Inputs& inputs, Line& line);

    const Options& options() const { return options_; }
    const Inputs& inputs() const { return inputs_; }
    Line& line() { return line_; }
    std::mt19937& random() { return random_; }

    // Sends a protocol item after the turnaround delay, in one piece.
    void answer(std::string_view text);
    void answer(std::span<const uint8_t> bytes);
    // With the noise fault: a short console fragment that the PC must tolerate between protocol steps. Each
    // fragment ends with CR LF and holds fewer printable characters than the shortest token, so it can never
    // complete or spoil one.
    void noise();
    // Sends a data-transfer token and its CR, after noise and the turnaround; spoiled when a wrong-token
    // fault fires at this step.
    void sendToken(std::string_view token, std::string_view step, bool first = false);

    bool hangupPlanned(std::string_view phase) const;
    // Reports HANGUP, closes the line and throws HungUp when a hang-up is planned at this phase.
    void hangUpIfPlanned(std::string_view phase);

    // One-shot faults: true the first time they apply. `first` marks the box's first token of an exchange,
    // where a wrong-token fault without a step fires.
    bool takeWrongToken(std::string_view step, bool first = false);
    bool takeBadSum();
    bool takeOversize();
    bool takeLateSizeCr();

    // How long the box waits for the PC at a protocol step.
    TimePoint deadline() const;
    [[noreturn]] void timeout(std::string_view phase);
    [[noreturn]] void protocolError(std::string_view phase, std::string_view expected,
                                    std::span<const uint8_t> got);

private:
    const Options& options_;
    const Inputs& inputs_;
    Line& line_;
    FaultPlan faults_;  // what is left of the plan
    std::mt19937 random_;
    size_t noiseCount_ = 0;
};

}  // namespace stbsim
