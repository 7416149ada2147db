#include "exchange/sector_sender.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/commands.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "base/texts.h"
#include "exchange/exchange_watch.h"
#include "exchange/file_choice.h"
#include "protocol/data_send.h"
#include "protocol/outcome.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "serial/port_write.h"
#include "serial/session_log.h"
#include "session/protocol_state.h"
#include "session/tick.h"

namespace dl {

namespace {

// A recent file chosen from the menu is taken without a dialog, unless it is gone or a directory: then
// it leaves the list and the dialog asks instead.
void takePendingRecentFile(PortSession& s) {
    if (!pendingRecentFile) return;
    struct stat st {};
    if (::stat(pendingRecentFile->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        removeRecentFile(*pendingRecentFile);
        pendingRecentFile.reset();
        return;
    }
    s.filePath = *pendingRecentFile;
    s.lastImage = s.filePath;
    lastImageDirectory = directoryOf(s.filePath);
}

// Sends one requested sector; `sum` is its checksum. Returns false when the image could not fill a
// chunk (the run ends).
bool sendSector(PortSession& s, int fd, uint16_t sector, uint32_t& sum) {
    uint32_t sent = 0;
    sum = 0;
    transfer.runningChecksum = 0;
    transfer.transferCount = 0;
    const off_t offset = static_cast<off_t>(sector) * kSectorSize;
    // The sector is read at once, not a read a chunk: the chunks the image holds whole are sent, and
    // the first one it does not hold ends the run, as it would have when read on its own.
    uint8_t data[kSectorSize + 4];  // room for the checksum, sent with the data where they go together
    int64_t got = 0;
    while (got < static_cast<int64_t>(kSectorSize)) {
        const int64_t n = readAt(fd, data + got, kSectorSize - static_cast<size_t>(got), offset + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    const uint32_t whole = static_cast<uint32_t>(got) / kChunk * kChunk;
    const bool together = !outputQueueTold(s);  // then the chunks left go in one write
    uint32_t held = 0;
    // 2: the run was given up; a line whose box holds it back must not keep the sender for ever.
    while (sent < kSectorSize && s.connected.load() && s.senderRun.load() != 2) {
        const int queued = outputQueueBytes(s);
        if (queued >= static_cast<int>(kChunk) || !s.transferActive.load()) {
            waitLineTime(s, bytesUntilRoom(queued, kChunk));
            continue;
        }
        if (sent >= whole) return false;
        const uint8_t* chunk = data + sent;
        const uint32_t n = together ? whole - sent : kChunk;
        s.bytesSent += n;
        sum = byteSum({chunk, n}, sum);
        if (together && sent + n == kSectorSize)
            held = n;  // the whole sector: it goes in one write with its checksum
        else
            portWrite(s, chunk, n);
        sent += n;
        transfer.runningChecksum = sum;
        transfer.transferCount = sent;
    }
    // The checksum follows also when a disconnect cut the sector short between chunks; the port is still
    // open, since a disconnect joins this thread before it closes the port. (A sector written whole with
    // its checksum is cut as one write.)
    const auto bytes = checksumBytes(sum);
    if (held > 0) {
        std::memcpy(data + kSectorSize, bytes.data(), bytes.size());
        portWrite(s, data + kSectorSize - held, held + bytes.size());
    } else {
        portWrite(s, bytes.data(), bytes.size());
    }
    const uint32_t done = s.sectorsSent.fetch_add(1) + 1u;
    const uint32_t pct = progressPercent(done, s.sectorTotal);
    if (setPercent(s, pct)) {
        hostProgressChanged(s.window.load());
        hostUpdateNow(s.window.load());
    }
    hostSetTitle(s.window.load(), sectorTitle(s.portNumber, sector, sum));
    return true;
}

}  // namespace

std::string sectorTitle(int portNumber, uint16_t sector, uint32_t checksum) {
    return formatText(Text::sectorTitle, portNumber, sector, checksum);
}

void endProgrammingRun(PortSession& s) {
    s.programming = 0;
    s.transferActive = 0;
    if (protocolMode.load() == modeProgramming) protocolMode = modeIdle;
}

namespace {

// A programming run that ends well records no outcome, so the sender, which sees every run that served
// the box end, notes it in the session's log. A run given up with a recorded failure is noted there.
void noteRunEnd(int slot, const PortSession& s, int reason) {
    const ExchangeOutcome o = lastOutcome();
    const bool failureNoted = o.exchange == ExchangeKind::programming && o.kind != OutcomeKind::none &&
                              o.kind != OutcomeKind::completed;
    if (reason == senderFinished)
        sessionLogNote(slot, formatText(Text::logProgrammingDone, unsigned(s.sectorsSent.load()),
                                        unsigned(s.bytesSent.load())));
    else if (reason == senderStopped && !failureNoted)
        sessionLogNote(slot, formatText(Text::logProgrammingCut, unsigned(s.sectorsSent.load()),
                                        unsigned(s.bytesSent.load())));
}

}  // namespace

int sectorSenderThread(int slot) {
    PortSession& s = sessionTable[slot];
    auto semaphore = sectorSemaphore();
    const int fd = s.file.get();
    bool served = false;
    int reason = senderFinished;
    bool sentOne = false;
    uint16_t lastSector = 0;
    uint32_t lastSum = 0;
    while (semaphore) {
        // A stop need not win the count: a new run's start line may take it back at once.
        semaphore->acquireUnless([&] { return s.senderRun.load() != 1; });
        if (const int run = s.senderRun.load(); run != 1) {
            if (run != 0) reason = senderStopped;  // cut off by a disconnect, not ended by the box
            break;
        }
        served = true;
        const uint16_t sector = s.requestedSector.load();
        if (uint32_t sum = 0; sendSector(s, fd, sector, sum)) {
            sentOne = true;
            lastSector = sector;
            lastSum = sum;
        } else {
            reason = senderImageShort;
            ExchangeOutcome o;
            o.exchange = ExchangeKind::programming;
            o.kind = OutcomeKind::imageShort;
            o.sector = sector;
            recordOutcome(o, slot);
            // The image has no full chunk where the box asked: the run ends here.
            s.transferActive = 0;
            s.programming = 0;
            hostUpdateNow(s.window.load());
            break;
        }
    }
    // The title keeps the last sector's figures, marked so that it no longer reads as a run in progress.
    if (sentOne)
        hostSetTitle(s.window.load(),
                     formatText(reason == senderFinished ? Text::sectorTitleDone : Text::sectorTitleStopped,
                                s.portNumber, lastSector, lastSum));
    s.file.reset();
    noteRunEnd(slot, s, reason);
    s.sectorThreadId = 0;
    endProgrammingRun(s);
    hostProgressChanged(s.window.load());
    hostWaitCursor(false);
    hostPostCommand(s.window.load(), cmdSenderEnded, reason);
    return served ? 1 : 0;
}

// Ends a programming run before its sender started, with a box that says why.
static int abandonRun(WindowId window, PortSession& s, const ExchangeOutcome& o) {
    recordOutcome(o, static_cast<int>(&s - sessionTable.data()));
    endProgrammingRun(s);
    hostMessageBox(window, outcomeText(o), outcomeTitle(o), MessageIcon::warning, MessageButtons::ok);
    return 0;
}

int startImageUpload(WindowId window) {
    if (findSession(window) == 0) return 0;
    PortSession& s = *sessionOf(window);
    const int slot = findSession(window);
    takePendingRecentFile(s);
    if (!pendingRecentFile) {
        const std::string title(text(Text::imageDialogTitle));
        std::string image = s.lastImage;
        const auto asked = std::chrono::steady_clock::now();
        const uint32_t line = s.connections.load();
        if (!chooseOpenFile(lastImageDirectory, window, image, kPathCapacity, title, true)) {
            endProgrammingRun(s);
            return 0;
        }
        // The line went while the dialog was open (and may be back, to another box): the box that
        // asked is gone, its run ended as cut, and nothing goes to whatever answers now.
        if (!s.connected.load() || s.connections.load() != line) {
            endProgrammingRun(s);
            return 0;
        }
        s.filePath = s.lastImage = image;
        lastImageDirectory = directoryOf(s.filePath);
        // A box that waited longer than any box does has left the run: sector 0 would land in its
        // console. Nothing is sent, and the run ends as a stall does.
        const auto waited = std::chrono::steady_clock::now() - asked;
        if (waited > exchangeTimeout()) {
            ExchangeOutcome o;
            o.exchange = ExchangeKind::programming;
            o.kind = OutcomeKind::chosenTooLate;
            o.size = std::chrono::duration_cast<std::chrono::seconds>(waited).count();
            return abandonRun(window, s, o);
        }
    }
    s.fileSize = 0;
    s.sectorTotal = s.announcedSectors.load() ? s.announcedSectors.load() : 256;
    UniqueFd fd;
    struct stat st {};
    if (const int e = openForReading(s.filePath, fd, st); e != 0) {
        // The box waits for its sectors: the run ends, and the user is told why.
        ExchangeOutcome o;
        o.exchange = ExchangeKind::programming;
        o.kind = OutcomeKind::fileUnreadable;
        o.path = s.filePath;
        o.reason = openFailureText(e);
        pendingRecentFile.reset();
        return abandonRun(window, s, o);
    }
    s.fileSize = static_cast<uint32_t>(st.st_size);
    pendingRecentFile.reset();
    addRecentFile(s.filePath);
    s.fileInfo = describeFile(s.filePath, st, s.fileSize);
    s.fileInfoLength = static_cast<uint32_t>(s.fileInfo.size());
    s.bytesSent = 0;
    s.sectorsSent = 0;
    s.percent = 0;
    s.transferActive = 1;
    s.startTick = tickNow();
    // A sender of an earlier run of this session has ended (its thread id is 0) but not been joined.
    if (s.sectorThread.joinable()) s.sectorThread.join();
    s.file = std::move(fd);
    s.senderRun = 1;
    s.sectorThreadId = 1;
    try {
        s.sectorThread = std::thread(sectorSenderThread, slot);
    } catch (const std::system_error&) {
        s.file.reset();
        s.senderRun = 0;
        s.sectorThreadId = 0;
        s.transferActive = 0;
        endProgrammingRun(s);
        return 0;
    }
    hostWaitCursor(true);
    return 0;
}

}  // namespace dl
