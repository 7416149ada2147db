// The command-line tool's window host: one pretend window per session, posted commands queued to the
// tool's main loop (woken through a descriptor it can poll beside stdin), message boxes printed and
// answered from flags, and screen text streamed to stdout.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "serial/unique_fd.h"
#include "session/window_host.h"

namespace dl::cli {

struct Posted {
    WindowId window;
    uint16_t command;
    intptr_t param;
};

class CliHost {
public:
    CliHost();
    ~CliHost();
    CliHost(const CliHost&) = delete;
    CliHost& operator=(const CliHost&) = delete;

    // Readable when a posted command waits.
    int wakeFd() const { return wake_.get(); }
    std::optional<Posted> nextPosted();

    // Whether received screen text goes to stdout.
    void setEcho(bool on);
    // Answer for yes/no message boxes when stdin is not asked.
    void setAssumeYes(bool yes) { assumeYes_ = yes; }
    // The answer of every file choice (the command line names the file).
    void setChosenFile(const std::string& path);

private:
    void post(const Posted& p);
    void show(const uint8_t* bytes, size_t n);

    std::mutex m_;
    std::deque<Posted> queue_;
    UniqueFd wake_;
    bool echo_ = true;
    bool assumeYes_ = false;
    std::string chosenFile_;
};

}  // namespace dl::cli
