// A session's log: what the box sent as console text, appended to a file as lines, with a one-line note
// where an exchange ended (its payload bytes are never logged).
//
// The reader must never wait for a disk, so it only copies each piece it shows, with the time it came,
// into the log's bounded queue (kSessionLogQueueBytes); a piece that does not fit is left out, and the
// log says once, where the gap is, how many bytes are missing. One writer thread per open log takes the
// queue a quarter of a second after text came (or at once when the log stops), makes lines of it and
// appends them with write(2), so a line reaches the file within that time even when the program is
// killed afterwards. A write that fails (disk full, a file that takes no more) stops the log: its
// message is kept for the front end (takeSessionLogError) and the front end's wake-up is called once;
// the session goes on.
//
// Lines: CR LF, a lone CR and LF each end one line, written as LF. Other bytes are written as they
// came, 0x80..0xFF included (the box's code page 437 is not translated, so the file holds exactly the
// box's bytes apart from its line ends). With timestamps each line starts with the local time its first
// byte came, "HH:MM:SS.mmm ".
//
// A log belongs to the session window it was started for; it runs across a disconnect and a reconnect
// of that window and ends with stopSessionLog (which the front end calls before it closes the window; a
// later session in the same slot never writes into it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "protocol/outcome.h"
#include "session/session.h"

namespace dl {

using LogClock = std::chrono::system_clock;

struct TimeOfDay {
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};
// The local time of day of a moment; tests pass a clock of their own to LogLines.
TimeOfDay localTimeOfDay(LogClock::time_point at);
using TimeOfDayFn = TimeOfDay (*)(LogClock::time_point);

// Turns console bytes, piece by piece as they came, into the log's text.
class LogLines {
public:
    explicit LogLines(bool timestamps, TimeOfDayFn timeOfDay = localTimeOfDay)
        : timestamps_(timestamps), timeOfDay_(timeOfDay) {}
    void text(std::span<const uint8_t> bytes, LogClock::time_point at, std::string& out);
    // A line of its own; a console line still open is ended first, so a note never runs into the box's
    // text.
    void note(std::string_view line, LogClock::time_point at, std::string& out);

private:
    void startLine(LogClock::time_point at, std::string& out);
    bool timestamps_;
    TimeOfDayFn timeOfDay_;
    bool lineOpen_ = false;  // bytes of the current line were written
    bool afterCr_ = false;   // the last byte was a CR: an LF now belongs to it
    long long stampSecond_ = std::numeric_limits<long long>::min();  // the second stampClock_ is of
    TimeOfDay stampClock_;
};

// The note for an exchange's outcome, "" for one that has not ended.
std::string exchangeNote(const ExchangeOutcome& outcome);

inline constexpr size_t kSessionLogQueueBytes = size_t{1} << 20;
inline constexpr std::chrono::milliseconds kSessionLogGather{250};

// Starts logging `window`'s session into `path` (appended to; created with 0666 less the umask). A log
// that runs for that session already is stopped first. Returns "" when the log runs, else the message to
// show (the file and why it cannot be written). `onFailure`, when given, is called once, on the log's
// writer thread, when a write fails and the log stops; it must not block (post to the front end's loop,
// which then asks takeSessionLogError). Main thread.
std::string startSessionLog(WindowId window, const std::string& path, bool timestamps,
                            std::function<void()> onFailure = {});
// Writes what is queued and closes the file; nothing when no log runs. Returns why the log stopped by
// itself when that was not taken yet (a last write may fail), else "". Main thread.
std::string stopSessionLog(WindowId window);
// A log runs for the window's session and has not failed.
bool sessionLogActive(WindowId window);
// Why the window's log stopped by itself, once; "" when it did not (or was asked already).
std::string takeSessionLogError(WindowId window);

// The reader's feed: console text shown in `s`'s window. Never waits for the disk.
void sessionLogText(PortSession& s, std::span<const uint8_t> bytes);
// A note line in the log of the session in `slot`, if one runs. Any thread; never waits for the disk.
void sessionLogNote(int slot, std::string_view line);

}  // namespace dl
