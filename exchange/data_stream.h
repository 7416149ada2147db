// The PC's side of a data send outside the reader: choosing the file and asking the box to take it,
// the thread that streams the file once the box asks for the data, and the results the frame shows
// for both data exchanges (the send's byte count and checksum; the receive's question and save).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "session/session.h"

namespace dl {

inline constexpr uint32_t kMinimumSendSize = 32768;
// The largest size the box's eight-digit size field carries.
inline constexpr uint32_t kLargestSendSize = 99999999;

// Command 605 with lParam 0: choose the data file and send the transfer request frame. 1 when the
// request went out. Refused (with a beep) while any exchange is in progress, so a second request can
// never land inside a running one nor replace the file the box was promised.
int startDataSend(WindowId window);
// Whether an exchange holds the line anywhere: a mode set, a machine state, a transfer or an armed
// programming run.
bool exchangeInProgress();
void sendTransferRequest(PortSession& s);
// Command 605 with a non-zero lParam (the box asked for the data): check the size and start streaming.
// A refused or failed start returns the line to the terminal (transfer idle, nothing active).
void startDataStream(WindowId window);
int dataStreamThread(int slot);

// The session a data exchange runs on (the one whose reader recognised the frame), or 0.
int transferSession();

// Frame commands: 620 (lParam != 0: start the data phase on the session that owns the exchange; 0:
// completion box), 619 (lParam 0: receive begun; otherwise completed, offer the save; kReceiveDoneEmpty
// for 0 bytes).
void onSendNotify(intptr_t param);
// The send's file is closed once its stream thread has ended.
void finishDataSend();
void onReceiveNotify(WindowId frame, intptr_t param);

// A completed upload, kept in a buffer of its own from its checksum's match until its save question
// is settled: a second upload that starts meanwhile fills the receive buffer again, and must not
// change what the first question's save writes. Kept on the reader thread as the upload completes
// (before the frame is told); taken, oldest first, by the frame's question.
struct ReceivedUpload {
    std::vector<uint8_t> data;
    uint32_t checksum = 0;
};
void keepReceivedUpload(ReceivedUpload upload);
std::optional<ReceivedUpload> takeReceivedUpload();

// Asks for a file and saves the upload; a save that fails is said, with the path and the reason, and
// offered again. The dialog offers the folder of the last save with a name not yet taken. 1 when
// saved, 0 when the user gave up after a failure, kSaveCancelled when the dialog was closed without a
// name.
inline constexpr int kSaveCancelled = -1;
int saveReceivedData(WindowId owner, const ReceivedUpload& upload);
struct SaveResult {
    bool ok = false;
    int error = 0;  // errno of the step that failed
    uint32_t bytes = 0;
};
// Writes the data to `path`. A regular file (or none) is replaced whole or not at all, keeping an
// existing file's permission bits; a symbolic link is followed to its target, which is written in
// its stead; a device or FIFO the user chose is written into as it is (never replaced by a file).
SaveResult writeReceivedData(const std::string& path, std::span<const uint8_t> data);

// The text of the completion boxes.
std::string sendDoneText(uint32_t count, uint32_t checksum);
std::string receiveDoneText(uint32_t size, uint32_t checksum);

}  // namespace dl
