#include "exchange/data_stream.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "base/win32.h"
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "base/commands.h"
#include "base/language.h"
#include "base/texts.h"
#include "exchange/exchange_watch.h"
#include "exchange/file_choice.h"
#include "exchange/sector_sender.h"
#include "protocol/data_send.h"
#include "protocol/outcome.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "serial/port_write.h"
#include "session/protocol_state.h"
#include "session/session_note.h"
#include "session/tick.h"

namespace dl {

namespace {

constexpr int kQueueCap = 4096;
constexpr size_t kBlockChunks = 32;  // a sector's worth

// The stream hands the machine its checksum step only while the send still holds the line: a send
// given up meanwhile must stay ended.
void awaitSumRequest() {
    int32_t streaming = SendState::streaming;
    transferState.compare_exchange_strong(streaming, SendState::awaitSumRequest);
}

void refuseStream(PortSession& s) {
    s.file.reset();
    s.transferActive = 0;
    endExchange(s.window.load());
}

enum class Streamed { whole, stopped, fileShort };

// The file as the stream reads it: a chunk at a time, never past the size the box was promised, from
// reads of a block of chunks (a read a chunk would cost a call for every 128 bytes on the line).
class ChunkReader {
public:
    ChunkReader(int fd, uint32_t announced) : fd_(fd), announced_(announced) {}
    // Up to one chunk at `offset` into `into`: its length, 0 at the end, -1 when the read failed.
    ssize_t read(uint8_t* into, off_t offset) {
        const uint64_t left = announced_ > static_cast<uint64_t>(offset) ? announced_ - offset : 0;
        if (left == 0) return 0;
        if (offset < start_ || offset >= start_ + held_) {
            start_ = offset;
            held_ = 0;
            for (;;) {
                const auto n = static_cast<ssize_t>(readAt(fd_, block_, std::min<uint64_t>(kBlock, left), offset));
                if (n >= 0 || errno != EINTR) {
                    if (n < 0) return n;
                    held_ = n;
                    break;
                }
            }
        }
        const auto n = static_cast<size_t>(std::min<off_t>({static_cast<off_t>(kChunk), start_ + held_ - offset,
                                                            static_cast<off_t>(left)}));
        std::memcpy(into, block_ + (offset - start_), n);
        return static_cast<ssize_t>(n);
    }

private:
    static constexpr size_t kBlock = 64 * kChunk;
    const int fd_;
    const uint32_t announced_;
    uint8_t block_[kBlock];
    off_t start_ = 0;
    off_t held_ = 0;
};

// Streams exactly the size announced to the box from the file's start: a file that grew meanwhile
// sends no more (the rest would land in the box's console), one that shrank or fails to read ends
// the send (the box would wait for bytes that never come).
//
// Each chunk is read one ahead, so the last one is known before it is written: the machine is moved
// to the checksum state before the box can have all the data and answer. Setting the state after the
// last write would drop a quick "s:send sum" and leave the exchange waiting for ever.
Streamed streamFile(PortSession& s) {
    const int fd = s.file.get();
    const uint32_t announced = transfer.sendSize.load();
    uint8_t chunks[2][kChunk];
    int current = 0;
    ChunkReader file(fd, announced);
    ssize_t n = file.read(chunks[current], 0);
    off_t offset = n > 0 ? n : 0;
    uint32_t sum = 0, count = 0;
    if (n <= 0) return announced == 0 ? (awaitSumRequest(), Streamed::whole) : Streamed::fileShort;
    // Where the queue cannot be told, the chunks go out a block at a time: the write waits for room
    // either way, and a call a chunk costs a wake a chunk.
    const bool together = !outputQueueTold(s);
    uint8_t block[kBlockChunks * kChunk];
    size_t held = 0;
    auto hand = [&] {
        if (held) portWrite(s, block, held);
        held = 0;
    };
    while (s.senderRun.load() == 1) {
        const int queued = std::min(outputQueueBytes(s), kQueueCap);
        if (queued >= static_cast<int>(kChunk) || !s.transferActive.load()) {
            hand();
            waitLineTime(s, bytesUntilRoom(queued, kChunk));
            continue;
        }
        const auto chunk = std::span<const uint8_t>(chunks[current], static_cast<size_t>(n));
        const ssize_t ahead = file.read(chunks[current ^ 1], offset);
        if (ahead > 0) offset += ahead;
        const bool last = ahead <= 0;
        if (last && static_cast<uint64_t>(offset) < announced) {
            hand();  // what was read goes out, as it would have chunk by chunk
            return Streamed::fileShort;
        }
        s.bytesSent += static_cast<uint32_t>(n);
        sum = byteSum(chunk, sum);
        transfer.runningChecksum = sum;
        count += static_cast<uint32_t>(n);
        transfer.transferCount = count;
        if (last) awaitSumRequest();  // the box asks for the checksum once it has this chunk
        if (together) {
            // A file that was short at one read and grew by the next gives a short chunk mid-stream.
            if (held + chunk.size() > sizeof block) hand();
            std::memcpy(block + held, chunk.data(), chunk.size());
            held += chunk.size();
            if (last || held == sizeof block) hand();
        } else {
            portWrite(s, chunk.data(), chunk.size());
        }
        const uint32_t pct = progressPercent(count, announced);
        if (setPercent(s, pct)) hostProgressChanged(s.window.load());
        if (last) return Streamed::whole;
        n = ahead;
        current ^= 1;
    }
    hand();
    return Streamed::stopped;
}

}  // namespace

int transferSession() {
    return transferOwner.load();
}

bool exchangeInProgress() {
    if (protocolMode.load() != modeIdle || transferState.load() != 0) return true;
    for (const PortSession& s : sessionTable) {
        if (s.inUse.load() == 1 && (s.transferActive.load() || s.programming.load())) return true;
    }
    return false;
}

void sendTransferRequest(PortSession& s) {
    portPutByte(s, kEscape);
    portPutByte(s, kFrameLead);
    portPutByte(s, kRequestKind);
    portPrintf(s, "%s", std::string(kRequestToken).c_str());
}

int startDataSend(WindowId window) {
    if (findSession(window) == 0) return 0;
    PortSession& s = *sessionOf(window);
    // A second request inside a running exchange would put a frame into its data and replace the file
    // the box was promised; a request still unanswered may be sent again.
    if (exchangeInProgress()) {
        hostBeep();
        return 0;
    }
    std::string chosen = s.lastDataFile;
    if (!chooseOpenFile("", window, chosen, kPathCapacity, std::string(text(Text::selectDataFileTitle)),
                        false))
        return 0;
    s.filePath = s.lastDataFile = chosen;
    UniqueFd fd;
    struct stat st {};
    if (const int e = openForReading(s.filePath, fd, st); e != 0) {
        hostMessageBox(window, std::string(text(Text::dataFileUnreadableText)),
                       std::string(text(Text::zentuErrorTitle)), MessageIcon::warning, MessageButtons::ok,
                       s.filePath + ": " + openFailureText(e));
        return 0;
    }
    // The size goes to the box as eight decimal digits: a larger file would be announced wrong and
    // then streamed without end. Refused before anything reaches the line.
    if (static_cast<uint64_t>(st.st_size) > kLargestSendSize) {
        hostMessageBox(window,
                       formatText(Text::dataFileTooLargeText, formatThousands(kLargestSendSize).c_str()),
                       std::string(text(Text::sendFailedTitle)), MessageIcon::warning, MessageButtons::ok,
                       s.filePath + ": " + std::to_string(st.st_size) + " bytes");
        return 0;
    }
    s.file = std::move(fd);
    s.fileSize = static_cast<uint32_t>(st.st_size);
    sendTransferRequest(s);
    expectExchange(window, ExchangeKind::dataSend);
    return 1;
}

void startDataStream(WindowId window) {
    const int slot = findSession(window);
    if (slot == 0) return;
    PortSession& s = sessionTable[static_cast<size_t>(slot)];
    struct stat st {};
    if (!s.file || ::fstat(s.file.get(), &st) != 0) {
        ExchangeOutcome o;
        o.exchange = ExchangeKind::dataSend;
        o.kind = OutcomeKind::fileUnreadable;
        o.path = s.filePath;
        o.reason = s.file ? std::strerror(errno) : "no file is open for the send";
        recordOutcome(o, slot);
        refuseStream(s);
        return;
    }
    s.fileSize = static_cast<uint32_t>(st.st_size);
    if (s.fileSize < kMinimumSendSize) {
        ExchangeOutcome o;
        o.exchange = ExchangeKind::dataSend;
        o.kind = OutcomeKind::fileTooSmall;
        o.path = s.filePath;
        o.size = s.fileSize;
        recordOutcome(o, slot);
        refuseStream(s);
        hostMessageBox(window, std::string(text(Text::sizeInvalidText)),
                       std::string(text(Text::sizeInvalidTitle)), MessageIcon::error, MessageButtons::ok);
        return;
    }
    s.fileInfo = describeFile(s.filePath, st, s.fileSize);
    s.fileInfoLength = static_cast<uint32_t>(s.fileInfo.size());
    s.startTick = tickNow();
    s.bytesSent = 0;
    s.percent = 0;
    s.transferActive = 1;
    if (s.streamThread.joinable()) s.streamThread.join();  // an earlier send's thread, already ended
    s.senderRun = 1;
    s.streamThreadId = 1;
    try {
        s.streamThread = std::thread(dataStreamThread, slot);
    } catch (const std::system_error&) {
        s.senderRun = 0;
        s.streamThreadId = 0;
        refuseStream(s);
        return;
    }
    hostWaitCursor(true);
}

int dataStreamThread(int slot) {
    PortSession& s = sessionTable[slot];
    transfer.runningChecksum = 0;
    transfer.transferCount = 0;
    s.percent = 0;
    hostProgressChanged(s.window.load());
    const Streamed streamed = streamFile(s);
    if (streamed == Streamed::fileShort) {
        ExchangeOutcome o;
        o.exchange = ExchangeKind::dataSend;
        o.kind = OutcomeKind::fileUnreadable;
        o.path = s.filePath;
        o.reason = "the file changed during the send (" + std::to_string(s.bytesSent.load()) + " of " +
                   std::to_string(transfer.sendSize.load()) + " bytes could be read)";
        recordOutcome(o, slot);
    }
    s.file.reset();
    s.transferActive = 0;
    s.programming = 0;
    hostUpdateNow(s.window.load());
    hostWaitCursor(false);
    s.streamThreadId = 0;
    const int reason = streamed == Streamed::whole     ? senderFinished
                       : streamed == Streamed::stopped ? senderStopped
                                                       : senderFileShort;
    hostPostCommand(s.window.load(), cmdSenderEnded, reason);
    return 1;
}

std::string sendDoneText(uint32_t count, uint32_t checksum) {
    return formatText(Text::sendDoneText, static_cast<int>(count), checksum);
}

std::string receiveDoneText(uint32_t size, uint32_t checksum) {
    return formatText(Text::receiveDoneText, static_cast<int>(size), checksum);
}

void finishDataSend() {
    if (int slot = transferSession(); slot > 0) {
        PortSession& s = sessionTable[slot];
        if (s.streamThread.joinable()) s.streamThread.join();
        s.file.reset();
    }
}

void onSendNotify(intptr_t param) {
    if (param != 0) {
        // The data goes out on the line that answered, whichever window is active now: a file pending
        // on another port must never be streamed to this box.
        const int slot = transferSession();
        if (slot > 0 && sessionTable[slot].inUse.load() == 1)
            startDataStream(sessionTable[slot].window.load());
        return;
    }
    noteSessionEvent(transferSession(), formatText(Text::noteSent, unsigned(transfer.transferCount.load())));
    hostMessageBox(0, sendDoneText(transfer.transferCount, transfer.runningChecksum),
                   std::string(text(Text::sendDoneTitle)), MessageIcon::warning, MessageButtons::ok);
    finishDataSend();
}

void onReceiveNotify(WindowId frame, intptr_t param) {
    const int slot = transferSession();
    if (param == 0) {
        if (slot > 0) {
            sessionTable[slot].fileInfo = text(Text::dataReceiving);
            sessionTable[slot].fileInfoLength = static_cast<uint32_t>(sessionTable[slot].fileInfo.size());
        }
        return;
    }
    // The question names exactly what its save writes: the upload kept when it completed.
    const std::optional<ReceivedUpload> upload = takeReceivedUpload();
    if (!upload) return;
    const auto size = static_cast<uint32_t>(upload->data.size());
    // Only No gives the upload up: a save dialog closed without a name asks the question again.
    while (hostMessageBox(frame, receiveDoneText(size, upload->checksum),
                          std::string(text(Text::receiveDoneTitle)), MessageIcon::question,
                          MessageButtons::yesNo) == MessageAnswer::yes) {
        if (saveReceivedData(frame, *upload) != kSaveCancelled) return;
    }
}

namespace {

constexpr size_t kKeptUploadsMax = 16;
std::mutex keptMutex;
std::deque<ReceivedUpload> kept;

#ifdef _WIN32
bool writeAll(int fd, std::span<const uint8_t> data, int& error) {
    size_t done = 0;
    while (done < data.size()) {
        const int n = ::_write(fd, data.data() + done, static_cast<unsigned>(std::min<size_t>(data.size() - done, 1u << 30)));
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Windows has no links a save must see through the way POSIX ones are (a shortcut is a file).
std::string finalTarget(const std::string& path) {
    return path;
}

#else
bool writeAll(int fd, std::span<const uint8_t> data, int& error) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // A FIFO or device that takes no more for a while is a failed save, not a frozen window.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 5000) > 0) continue;
            error = ETIMEDOUT;
            return false;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a path finally names: symbolic links followed (a dangling one to the file it would make).
std::string finalTarget(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
        if (n <= 0) return at;
        link.resize(static_cast<size_t>(n));
        at = link.front() == '/' || directoryOf(at).empty() ? link : directoryOf(at) + "/" + link;
    }
    return at;
}

#endif

#ifndef _WIN32
// A device or FIFO the user chose is written into: renaming a file over it would replace it.
SaveResult writeInPlace(const std::string& path, std::span<const uint8_t> data) {
    SaveResult result;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        result.error = errno;  // ENXIO: a FIFO that no program reads
        return result;
    }
    if (!writeAll(fd.get(), data, result.error)) return result;
    result.ok = true;
    result.bytes = static_cast<uint32_t>(data.size());
    return result;
}
#endif

}  // namespace

void keepReceivedUpload(ReceivedUpload upload) {
    std::lock_guard lock(keptMutex);
    // The frame takes each as it is told of it, so only a host that never handles its posts lets them
    // pile up; the store stays bounded then (each question names the upload it took, so none is mixed).
    if (kept.size() >= kKeptUploadsMax) kept.pop_front();
    kept.push_back(std::move(upload));
}

std::optional<ReceivedUpload> takeReceivedUpload() {
    std::lock_guard lock(keptMutex);
    if (kept.empty()) return std::nullopt;
    ReceivedUpload oldest = std::move(kept.front());
    kept.pop_front();
    return oldest;
}

#ifdef _WIN32
SaveResult writeReceivedData(const std::string& chosen, std::span<const uint8_t> data) {
    SaveResult result;
    const std::wstring path = widePath(finalTarget(chosen));
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        result.error = EISDIR;
        return result;
    }
    // Written to a fresh file beside the target and moved over it (MoveFileEx replaces in one step), so
    // an existing file is replaced whole or not at all; the temporary name is one nobody has, so no
    // other file is ever overwritten.
    std::wstring temp;
    UniqueFd fd;
    for (unsigned n = 0; !fd && n < 100; ++n) {
        temp = path + L".tmp-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(n);
        fd.reset(::_wopen(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) {
        result.error = errno;
        return result;
    }
    writeAll(fd.get(), data, result.error);
    if (result.error == 0 && ::_commit(fd.get()) != 0) result.error = errno;
    if (::_close(fd.release()) != 0 && result.error == 0) result.error = errno;
    if (result.error == 0 &&
        !::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result.error = ::GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    if (result.error != 0) {
        ::DeleteFileW(temp.c_str());
        return result;
    }
    result.ok = true;
    result.bytes = static_cast<uint32_t>(data.size());
    return result;
}
#else
SaveResult writeReceivedData(const std::string& chosen, std::span<const uint8_t> data) {
    SaveResult result;
    const std::string path = finalTarget(chosen);
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        result.error = EISDIR;
        return result;
    }
    if (exists && !S_ISREG(old.st_mode)) return writeInPlace(path, data);
    // Written to a fresh file beside the target and renamed over it, so an existing file is replaced
    // whole or not at all; the temporary name is made unique, so no other file is ever overwritten.
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        result.error = errno;
        return result;
    }
    ::fchmod(fd.get(), exists ? old.st_mode & 07777 : 0644);
    if (exists) (void)::fchown(fd.get(), old.st_uid, old.st_gid);  // only root may; others own theirs
    writeAll(fd.get(), data, result.error);
    if (result.error == 0 && ::fsync(fd.get()) != 0) result.error = errno;
    if (::close(fd.release()) != 0 && result.error == 0) result.error = errno;
    if (result.error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) result.error = errno;
    if (result.error != 0) {
        ::unlink(temp.c_str());
        return result;
    }
    result.ok = true;
    result.bytes = static_cast<uint32_t>(data.size());
    return result;
}
#endif

// A name the folder does not hold yet, so the save dialog never offers a file to replace.
static std::string unusedName(const std::string& folder) {
    const std::string base = folder.empty() ? std::string() : folder + "/";
    std::string name = "upload.dat";
    struct stat st {};
#ifdef _WIN32
    for (int n = 2; ::stat((base + name).c_str(), &st) == 0 && n < 10000; ++n)
#else
    for (int n = 2; ::lstat((base + name).c_str(), &st) == 0 && n < 10000; ++n)
#endif
        name = "upload-" + std::to_string(n) + ".dat";
    return name;
}

int saveReceivedData(WindowId owner, const ReceivedUpload& upload) {
    const int slot = transferSession() > 0 ? transferSession() : lookupSession(owner);
    std::string scratch;
    std::string& folder = slot > 0 ? sessionTable[slot].lastSaveDir : scratch;
    const std::string title(text(Text::saveDataTitle));
    for (;;) {
        std::string path = unusedName(folder);
        if (!chooseOpenFile(folder, owner, path, kPathCapacity, title, false, true)) return kSaveCancelled;
        folder = directoryOf(path);
        const SaveResult r = writeReceivedData(path, upload.data);
        if (r.ok) {
            noteSessionEvent(slot, formatText(Text::noteSaved, unsigned(r.bytes), path.c_str()));
            return 1;
        }
        // The upload is still kept: say why it could not be written and offer another try.
        const std::string detail = path + ": " + std::strerror(r.error);
        if (hostMessageBox(owner, std::string(text(Text::saveFailedText)),
                           std::string(text(Text::saveFailedTitle)), MessageIcon::warning,
                           MessageButtons::yesNo, detail) != MessageAnswer::yes)
            return 0;
    }
}

}  // namespace dl
