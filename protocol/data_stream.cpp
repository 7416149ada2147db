#include "protocol/data_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/commands.h"
#include "app/language.h"
#include "protocol/data_send.h"
#include "protocol/file_choice.h"
#include "protocol/protocol_state.h"
#include "protocol/sector_sender.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "serial/port_write.h"
#include "session/tick.h"

namespace dl {

namespace {

constexpr int kQueueCap = 4096;

void refuseStream(PortSession& s) {
    s.file.reset();
    s.transferActive = 0;
    endExchange(s.window.load());
}

// Streams the file from its start until a read meets its end (the whole file goes, also when it has
// grown past the size announced). Returns false when stopped by a disconnect.
bool streamFile(PortSession& s) {
    const int fd = s.file.get();
    off_t offset = 0;
    uint32_t sum = 0, count = 0;
    while (s.senderRun.load() == 1) {
        const int queued = std::min(outputQueueBytes(s), kQueueCap);
        if (queued >= static_cast<int>(kChunk) || !s.transferActive.load()) {
            waitLineTime(s, bytesUntilRoom(queued, kChunk));
            continue;
        }
        uint8_t chunk[kChunk];
        ssize_t n = ::pread(fd, chunk, kChunk, offset);
        if (n <= 0) return true;
        offset += n;
        s.bytesSent += static_cast<uint32_t>(n);
        sum = byteSum(std::span<const uint8_t>(chunk, static_cast<size_t>(n)), sum);
        transfer.runningChecksum = sum;
        portWrite(s, chunk, static_cast<size_t>(n));
        count += static_cast<uint32_t>(n);
        transfer.transferCount = count;
        const uint32_t pct = progressPercent(count, transfer.sendSize);
        if (pct != s.percent.load()) {
            s.percent = pct;
            hostProgressChanged(s.window.load());
        }
    }
    return false;
}

}  // namespace

int transferSession() {
    return transferOwner.load();
}

void sendTransferRequest(PortSession& s) {
    portPutByte(s, kEscape);
    portPutByte(s, kFrameLead);
    portPutByte(s, kRequestKind);
    portPrintf(s, "%s", std::string(kRequestToken).c_str());
}

void startDataSend(WindowId window) {
    if (findSession(window) == 0) return;
    PortSession& s = *sessionOf(window);
    if (s.transferActive.load()) return;
    const char* title = koreanUi ? "전송할 데이터 파일을 선택하세요" : "Select data file to send";
    if (!chooseOpenFile("", window, s.filePath, 160, title, false)) return;
    UniqueFd fd(::open(s.filePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    s.file = std::move(fd);
    s.fileSize = static_cast<uint32_t>(st.st_size);
    sendTransferRequest(s);
}

void startDataStream(WindowId window) {
    if (findSession(window) == 0) return;
    PortSession& s = *sessionOf(window);
    const int slot = findSession(window);
    struct stat st {};
    if (!s.file || ::fstat(s.file.get(), &st) != 0) {
        refuseStream(s);
        return;
    }
    s.fileSize = static_cast<uint32_t>(st.st_size);
    if (s.fileSize < kMinimumSendSize) {
        refuseStream(s);
        hostMessageBox(window, "Size of the file is invalid !", "Please AC PLUG OFF and ON to continue",
                       MessageIcon::error, MessageButtons::ok);
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
    const bool finished = streamFile(s);
    s.file.reset();
    s.transferActive = 0;
    s.programming = 0;
    hostUpdateNow(s.window.load());
    hostWaitCursor(false);
    // The box asks for the checksum next; a stream stopped by a disconnect leaves nothing to ask.
    if (finished) transferState = 5;
    s.streamThreadId = 0;
    hostPostCommand(s.window.load(), cmdSenderEnded, finished ? senderFinished : senderStopped);
    return 1;
}

std::string sendDoneText(uint32_t count, uint32_t checksum) {
    char text[96];
    std::snprintf(text, sizeof text, "%d bytes transmitted\n\nChecksum is %X", static_cast<int>(count),
                  checksum);
    return text;
}

std::string receiveDoneText(uint32_t size, uint32_t checksum) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "%d bytes received\n\nChecksum is %X\n\n\nDo you want to save as a file ?",
                  static_cast<int>(size), checksum);
    return text;
}

void finishDataSend() {
    if (int slot = transferSession(); slot > 0) {
        PortSession& s = sessionTable[slot];
        if (s.streamThread.joinable()) s.streamThread.join();
        s.file.reset();
    }
}

void onSendNotify(WindowId activeSession, intptr_t param) {
    if (param != 0) {
        if (activeSession != 0) startDataStream(activeSession);
        return;
    }
    hostMessageBox(0, sendDoneText(transfer.transferCount, transfer.runningChecksum),
                   "Data Transmitting Done", MessageIcon::warning, MessageButtons::ok);
    finishDataSend();
}

void onReceiveNotify(WindowId frame, intptr_t param) {
    const int slot = transferSession();
    if (param == 0) {
        if (slot > 0) {
            sessionTable[slot].fileInfo = "Data Receiving...";
            sessionTable[slot].fileInfoLength = 17;
        }
        return;
    }
    auto answer =
        hostMessageBox(frame, receiveDoneText(static_cast<uint32_t>(param), transfer.runningChecksum),
                       "Data Receiving Done", MessageIcon::question, MessageButtons::yesNo);
    if (answer == MessageAnswer::yes) saveReceivedData(frame);
}

bool writeReceivedData(const std::string& path) {
    // Written beside the target and renamed over it, so an existing file is replaced whole or not at all.
    const std::string temp = path + ".part";
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    const uint32_t count = transfer.receivedCount;
    const uint8_t* data = transfer.receiveBuffer.data();
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd.get(), data + done, count - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = done == count && ::fsync(fd.get()) == 0;
    fd.reset();
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

int saveReceivedData(WindowId owner) {
    const int slot = transferSession() > 0 ? transferSession() : lookupSession(owner);
    std::string scratch;
    std::string& path = slot > 0 ? sessionTable[slot].filePath : scratch;
    const char* title = koreanUi ? "업로드할 파일 " : "Select file to save data";
    if (!chooseOpenFile("", owner, path, 160, title, false)) return 0;
    writeReceivedData(path);
    return 0;
}

}  // namespace dl
