// Command numbers shared by the frame menu, the session context menu, the keyboard accelerators and
// the notifications that worker threads post. One table, so a menu item, a key and a posted
// notification for the same thing always meet in the same handler.
#pragma once

#include <cstdint>

namespace dl {

enum Command : uint16_t {
    cmdExternalDisconnected = 400,  // told to an external terminal after a port was closed
    cmdExternalConnecting = 401,    // ... and before one is opened
    cmdOpenCom1 = 501,
    cmdOpenCom2 = 502,
    cmdOpenCom3 = 503,
    cmdOpenCom4 = 504,
    cmdClose = 601,
    cmdSettings = 602,
    cmdConnect = 603,
    cmdVerifySystem = 604,
    cmdUpdateChannelData = 605,
    cmdUpdateSafe = 606,
    cmdUpdateAll = 607,
    cmdUpload = 608,
    cmdArrangeIcons = 609,
    cmdCascade = 610,
    cmdTileHorizontal = 611,
    cmdTileVertical = 612,
    cmdContents = 613,
    cmdReleaseNote = 614,
    cmdAbout = 615,
    cmdAlwaysOnTop = 616,
    cmdExit = 617,
    cmdReceiveNotify = 619,
    cmdSendNotify = 620,
    cmdUpdateCardless = 621,
    cmdUpdateM5 = 622,
    // Posted by a reader whose device vanished (adapter pulled, far side hung up): the session window
    // disconnects as after the Disconnect command, without asking.
    cmdLineLost = 650,
    // Posted to the session window when a data exchange returned the line to the terminal, whether it
    // completed (its result was posted before) or was abandoned.
    cmdExchangeEnded = 651,
    // Posted by a sender thread as its last act, so the window joins it; lParam tells why it ended.
    cmdSenderEnded = 652,
    cmdWindowMenuFirst = 680,
    // The Tools menu, our own beside the platform's: copy and paste, the session log.
    cmdCopy = 700,
    cmdPaste = 701,
    cmdSelectAll = 702,
    cmdLogToFile = 703,
    cmdLogTimestamps = 704,
    cmdLogFailed = 705,  // private: a session's log stopped by itself (posted from its writer)
    cmdReconnect = 706,
    cmdCleanRecentFiles = 1100,
    cmdRecentFileFirst = 1101,
    cmdRecentFileLast = 1109,
};

// lParam of cmdReceiveNotify for a completed receive of 0 bytes (0 means a receive has begun).
inline constexpr intptr_t kReceiveDoneEmpty = -1;

enum SenderEnd : int {
    senderFinished = 1,    // stop line, or the whole file streamed
    senderImageShort = 2,  // the image had no full chunk where the box asked
    senderStopped = 3,     // disconnected
    senderFileShort = 4,   // the data file changed under the send: it ended before the announced size
};

}  // namespace dl
