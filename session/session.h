// The per-port session record and the fixed table that holds it.
//
// The table has five slots indexed by COM port number; slot 0 never holds a session and only keeps the
// frame window's position. A slot is claimed when a port's window is created and freed when it is
// destroyed; fields marked "kept" survive from one session of a slot to the next (the window position
// above all, so a port window reopens where it was closed).
//
// Threads: the main thread creates, destroys, connects and disconnects sessions. Each connected session
// has one reader thread and at most one sender thread, each handed its own slot. Flags that one thread
// writes and another polls are atomics; the screen and cursor are guarded by `screenMutex`, port writes
// by `writeMutex`.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "base/unique_handle.h"
#include "session/binary_semaphore.h"
#include "session/window_host.h"

namespace dl {

inline constexpr int kScreenRows = 35;
inline constexpr int kScreenColumns = 80;
inline constexpr int kSessionSlots = 5;
inline constexpr uint32_t kDefaultBaud = 115200;

// The terminal font description, as the window system takes it.
struct LogFont {
    int32_t height = 18;
    int32_t width = 0, escapement = 0, orientation = 0, weight = 0;
    uint8_t italic = 0, underline = 0, strikeOut = 0;
    uint8_t charSet = 255;  // OEM character set
    uint8_t outPrecision = 0, clipPrecision = 0, quality = 0;
    uint8_t pitchAndFamily = 0x31;  // fixed pitch, modern family
    std::string faceName = "Terminal";
    friend bool operator==(const LogFont&, const LogFont&) = default;
};

using FontHandle = std::uintptr_t;

struct PortSession {
    std::atomic<int32_t> inUse{0};
    LineHandle port;  // the open port; invalid while disconnected
    uint8_t portNumber = 0;
    std::array<uint8_t, kScreenRows * kScreenColumns> screen{};
    std::atomic<int32_t> connected{0};
    // The driver keeps no count of its output queue (a pseudo-terminal): a sender need not ask it.
    std::atomic<bool> queueUntold{false};
    std::atomic<uint32_t> connections{0};  // kept; counts the connects, so a wait can tell the line is another
    std::atomic<int32_t> localEcho{0};
    std::atomic<int32_t> newLineOnCr{0};
    std::atomic<int32_t> autoWrap{0};
    std::atomic<int32_t> displayErrors{0};
    uint8_t byteSize = 0;
    uint8_t flowControl = 0;            // bit 0 DTR/DSR, bit 1 RTS/CTS, bit 2 XON/XOFF
    uint8_t parity = 0;                 // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;               // 0 one, 1 one and a half, 2 two
    std::atomic<uint32_t> baudRate{0};  // senders read it while the settings dialog may change it
    int16_t caretShown = 0;
    FontHandle font = 0;
    LogFont logFont;
    uint32_t textColor = 0;
    int32_t clientWidth = 0, clientHeight = 0;
    int32_t hScrollMax = 0, vScrollMax = 0;
    // Read by the terminal on worker threads to invalidate cells while the GUI scrolls.
    std::atomic<int32_t> hScrollPos{0}, vScrollPos{0};
    int32_t column = 0, row = 0;  // guarded by screenMutex
    // How often the screen has moved up a row, counted as it moves: a host tells from it whether a
    // change it was told of still lies on the screen.
    std::atomic<uint32_t> screenScrolls{0};
    std::atomic<int32_t> charWidth{0}, charHeight{0};
    std::atomic<int32_t> transferActive{0};
    std::thread readerThread;  // kept
    std::thread sectorThread;  // kept
    std::thread streamThread;  // kept
    std::atomic<WindowId> window{0};
    std::atomic<uint32_t> readerThreadId{0};  // kept; non-zero while a reader runs
    std::atomic<uint32_t> sectorThreadId{0};  // kept
    std::atomic<uint32_t> streamThreadId{0};  // kept
    std::atomic<uint32_t> bytesSent{0};       // kept
    std::atomic<uint32_t> percent{0};         // kept
    std::atomic<uint32_t> startTick{0};       // kept
    std::string filePath;                     // kept
    // What each file dialog offers next, each of its own kind: the image dialog never offers the data
    // file just sent nor the upload just saved (Enter would flash it), and a save offers a folder and
    // a name that is not taken, never an existing file.
    std::string lastImage;                // kept
    std::string lastDataFile;             // kept
    std::string lastSaveDir;              // kept
    std::string fileInfo;                 // kept; the progress panel's description line
    UniqueFd file;                        // kept; the file being sent
    uint32_t fileSize = 0;                // kept
    uint32_t sectorTotal = 0;             // kept
    std::atomic<int32_t> programming{0};  // kept
    uint32_t fileInfoLength = 0;          // kept
    Rect windowRect;                      // kept
    int32_t lineLength = 0;               // kept
    // Set as a programming command's last character is typed: what the box printed before (a prompt
    // without a line end) is not the start of its answer. The reader's parser takes it back at its next byte.
    std::atomic<bool> lineResetPending{false};
    std::array<char, 80> lineBuffer{};                                       // kept
    std::atomic<uint16_t> requestedSector{0};                                // kept
    uint16_t stopCode = 0;                                                   // kept
    uint16_t sectorLineLength = 0, startLineLength = 0, stopLineLength = 0;  // set at connect
    std::atomic<uint16_t> announcedSectors{0};                               // kept
    std::atomic<uint16_t> sectorsSent{0};                                    // kept

    // The two per-session completion events (an eventfd each on POSIX): a reader waiting for the line
    // and a sender waiting for the output queue are woken through these, so a disconnect never waits
    // on the line.
    LineHandle readWake;
    LineHandle writeWake;
    // Per-session run flags: disconnecting one session must neither silence another session's reader
    // nor stop a transfer that runs in another session.
    std::atomic<int32_t> readerRun{0};
    // The reader is letting console text gather: a write to the line wakes it, so what the box
    // answers is read as it comes, as during an exchange (a gather may last most of a frame).
    std::atomic<int32_t> consoleGathering{0};
    std::atomic<int32_t> fastConsole{0};  // the reader's last console gathers came at a fast line's rate
    std::atomic<int32_t> senderRun{0};  // 1 run; 0 ended by the box's stop line; 2 cut off by disconnect

    // Line-error counters seen last (the driver's totals); error bits are taken from their growth.
    std::mutex errorMutex;
    std::array<int32_t, 5> lineErrorBase{};

    // The lines that scrolled off the top of the screen, oldest first, in a ring of `historyCapacity`
    // lines of kScreenColumns bytes, made at the first scroll (an idle session holds none). Guarded by
    // screenMutex.
    std::vector<uint8_t> history;
    size_t historyFirst = 0, historyCount = 0;
    std::atomic<size_t> historyCapacity{10000};

    std::mutex screenMutex;  // screen, row, column, history
    std::mutex writeMutex;   // one port write at a time
};

// Stores a transfer's whole percentage; true when it changed, the one case in which the progress panel
// is redrawn.
inline bool setPercent(PortSession& s, uint32_t percent) {
    return s.percent.exchange(percent) != percent;
}

extern std::array<PortSession, kSessionSlots> sessionTable;
extern std::atomic<int32_t> currentSession;
extern std::atomic<int32_t> lastPort;
extern std::atomic<uint32_t> lastBaud;
// How many lines each new session keeps of what scrolled off its screen ([Terminal] ScrollBackLines).
inline constexpr size_t kDefaultScrollBackLines = 10000;
inline constexpr size_t kMostScrollBackLines = 1000000;
extern std::atomic<size_t> scrollBackLines;

// The sector protocol's semaphore; exists from the first session's creation to the last session's
// destruction. Holders keep it alive while they use it.
std::shared_ptr<BinarySemaphore> sectorSemaphore();

// Main-thread lookup: the slot 1..4 whose live session has this window, else 0. A match is stored in
// currentSession.
int findSession(WindowId window);
// The same lookup for any thread; it leaves currentSession alone, because worker threads must not
// change what the main thread is acting on.
int lookupSession(WindowId window);
PortSession* sessionOf(WindowId window);

int createSession(WindowId window, int slot);  // 1, or -1 when the window must not be created
int destroySession(WindowId window);           // 1, or 0 without a session

// How session destruction closes a connected line: the serial link fills it in when it connects one
// (the session table itself knows no port).
extern int (*closeSessionLine)(WindowId window);

// Creates the wake-up descriptors of a new session; tests replace it to make creation fail.
extern NativeHandle (*makeSessionEvent)();

}  // namespace dl
