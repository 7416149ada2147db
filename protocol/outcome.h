// How an exchange with the box ended, as a value both front ends can show: the desktop program in a
// message box, downloader-cli as its message and exit code.
//
// The machines put their outcome into their effects; the reader records it before it tells the window
// that the exchange ended (cmdExchangeEnded). The record holds the last outcome only: one exchange
// runs in the whole program at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dl {

enum class ExchangeKind : int { dataSend = 1, dataReceive = 2, programming = 4 };

enum class OutcomeKind : int {
    none = 0,
    completed = 1,
    wrongToken = 2,        // the box said something else where a token was due
    checksumMismatch = 3,  // the box's checksum is not ours
    sizeRefused = 4,       // the box announced more than the buffer holds (or a negative size)
    fileUnreadable = 5,    // the file to send is gone or cannot be read
    fileTooSmall = 6,      // a data file below the smallest size the box takes (its own box was shown)
    lineLost = 7,          // the device vanished during the exchange
    noAnswer = 8,          // nothing moved for the timeout (exchange/exchange_watch.h)
    imageShort = 9,        // the box asked for a sector the image does not hold
    stopped = 10,          // the user disconnected
    chosenTooLate = 11,    // the image was chosen after the box had stopped waiting for it (size: seconds)
};

struct ExchangeOutcome {
    OutcomeKind kind = OutcomeKind::none;
    ExchangeKind exchange = ExchangeKind::dataSend;
    std::string expected;  // wrongToken: the token that was due
    std::string received;  // wrongToken: what came instead (printable form)
    uint32_t ours = 0;     // checksumMismatch: our sum; completed: the checksum
    uint32_t theirs = 0;   // checksumMismatch: the box's
    int64_t size = 0;      // sizeRefused: the announced size; completed: the byte count
    uint16_t sector = 0;   // imageShort: the sector asked for
    std::string path;      // fileUnreadable: the file
    std::string reason;    // fileUnreadable: why
    // noAnswer: whether the box had begun the exchange (a programming run's start line, a data frame)
    // and how far it got: the sectors sent, and in `size` the bytes moved.
    bool begun = false;
    uint32_t sectors = 0;
    friend bool operator==(const ExchangeOutcome&, const ExchangeOutcome&) = default;
};

// One clear line that says what happened, for a message box or the command line.
std::string outcomeText(const ExchangeOutcome& outcome);
// The title of the box that shows a failed exchange.
std::string outcomeTitle(const ExchangeOutcome& outcome);

// The last exchange's outcome; any thread.
ExchangeOutcome lastOutcome();
// `slot`: the session the exchange belonged to, where the recorder knows it better than the line's
// owner does (a request the box never answered took no line); 0: the owner's.
void recordOutcome(const ExchangeOutcome& outcome, int slot = 0);
// Told of every outcome as it is recorded, with the recorder's slot, on the recording thread and outside
// the record's lock (so it may read the record back). It must not block: readers and senders record
// outcomes. Null: nobody.
void setOutcomeObserver(void (*observer)(const ExchangeOutcome&, int slot));

// Control bytes and bytes above 0x7E as \xNN, so what the box sent can be shown as text.
std::string printable(std::string_view bytes);

}  // namespace dl
