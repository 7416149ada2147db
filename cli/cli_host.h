// The command-line tool's window host: one pretend window for its session, posted commands queued to
// the tool's main loop (woken through a descriptor it can poll beside stdin, an event on Windows), message boxes printed
// and answered from the tool's rules, and screen text streamed to stdout.
//
// A box owned by the frame carries an exchange's result and goes to stdout; a box owned by the
// session (a failure, a question about the line) goes to stderr.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "base/unique_handle.h"
#include "session/window_host.h"

namespace dl::cli {

// The pretend window of the tool's session.
inline constexpr WindowId kCliWindow = 0xC11;

using Posted = PostedCommand;

class CliHost {
public:
    CliHost();
    ~CliHost();
    CliHost(const CliHost&) = delete;
    CliHost& operator=(const CliHost&) = delete;

    // Readable (set, on Windows) when a posted command waits.
    NativeHandle wakeFd() const { return wake_.get(); }
    std::optional<Posted> nextPosted();

    // Whether received screen text goes to stdout.
    void setEcho(bool on);
    // Answer for yes/no message boxes when stdin is not asked.
    void setAssumeYes(bool yes) { assumeYes_ = yes; }
    // Fixed answers by box title, ahead of assumeYes and the terminal's question.
    void setAnswer(const std::string& title, MessageAnswer answer);
    // Whether a box with this title was shown.
    bool shown(const std::string& title);
    // The answer of every file choice (the command line names the file).
    void setChosenFile(const std::string& path);
    // The line speed a session window gets when it is opened.
    void setBaud(uint32_t baud) { baud_ = baud; }

private:
    void post(const Posted& p);
    void show(const uint8_t* bytes, size_t n);
    MessageAnswer answer(const std::string& title, MessageButtons buttons);

    std::mutex m_;
    std::deque<Posted> queue_;
    LineHandle wake_;
    bool echo_ = true;
    bool assumeYes_ = false;
    uint32_t baud_ = 115200;
    std::string chosenFile_;
    std::vector<std::pair<std::string, MessageAnswer>> answers_;
    std::vector<std::string> titlesShown_;
};

// Hands a posted command to the dispatcher: window 0 is the frame.
void dispatch(const Posted& p);

}  // namespace dl::cli
