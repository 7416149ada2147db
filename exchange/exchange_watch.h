// The one rule of both front ends for a box that goes quiet: an exchange in which nothing moves for the
// timeout is given up, said, and the line handed back to the terminal, with the session left connected.
//
// The front end calls exchangeTick on its main thread, about once a second or more often (the desktop
// program from a timer, downloader-cli from its loop). The tick looks at the exchange that holds the
// line (or a request still waiting for the box's first answer) and at everything that moves while it
// runs: the mode and machine state, the sectors and bytes sent, the bytes received, the commands posted.
// When none of them changed for the timeout, the exchange ends as a disconnect would end it, without the
// disconnect: the outcome is recorded as noAnswer with how far it got, a sender is told to stop (it
// closes its file and posts cmdSenderEnded, where it is joined), the line goes back to the terminal, the
// run's flags are cleared, and cmdExchangeEnded is posted, so the window shows the outcome in its box.
// Nothing here waits for a thread or the line.
//
// While a transfer runs, the tick also asks for the progress panel to be redrawn each time its elapsed
// second moves: the figures alone redraw it only when the percentage changes, which a waiting exchange
// never does.
//
// Main thread only.
#pragma once

#include <chrono>

#include "protocol/outcome.h"
#include "session/window_host.h"

namespace dl {

// How long nothing may move before an exchange is given up. A working box is silent for a second or
// two at most (writing a flash sector, erasing the boot block, its turnaround between steps), and it
// gives up on a step of its own after a few seconds; 30 s is far beyond any wait it makes, and short
// enough that the technician is told while still at the bench.
inline constexpr std::chrono::milliseconds kDefaultExchangeTimeout{30000};

void setExchangeTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds exchangeTimeout();

// A request went out to the box on `window`'s session and waits for its first answer: the watch
// counts from now, so a box that never answers is said as well.
void expectExchange(WindowId window, ExchangeKind kind);

void exchangeTick();
// How soon a tick could give the watched exchange up if nothing moves meanwhile (the timeout when none
// is watched): a front end that ticks rarely wakes then, so the timeout is kept to the tick's precision.
std::chrono::milliseconds exchangeWatchDue();

// Holds the watch while the user chooses a file the box waits for: that time is not the box's.
class ExchangeWatchPause {
public:
    ExchangeWatchPause();
    ~ExchangeWatchPause();
    ExchangeWatchPause(const ExchangeWatchPause&) = delete;
    ExchangeWatchPause& operator=(const ExchangeWatchPause&) = delete;
};

}  // namespace dl
