// The PC's side of a data send outside the reader: choosing the file and asking the box to take it,
// the thread that streams the file once the box asks for the data, and the results the frame shows
// for both data exchanges (the send's byte count and checksum; the receive's question and save).
#pragma once

#include <cstdint>
#include <string>

#include "session/session.h"

namespace dl {

inline constexpr uint32_t kMinimumSendSize = 32768;

// Command 605 with lParam 0: choose the data file and send the transfer request frame. Ignored while a
// transfer runs in the session, so a second request can never land inside a running stream.
void startDataSend(WindowId window);
void sendTransferRequest(PortSession& s);
// Command 605 with a non-zero lParam (the box asked for the data): check the size and start streaming.
// A refused or failed start returns the line to the terminal (transfer idle, nothing active).
void startDataStream(WindowId window);
int dataStreamThread(int slot);

// The session a data exchange runs on (the one whose reader recognised the frame), or 0.
int transferSession();

// Frame commands: 620 (lParam != 0: start the data phase on the active session; 0: completion box),
// 619 (lParam 0: receive begun; non-zero: completed, offer the save).
void onSendNotify(WindowId activeSession, intptr_t param);
// The send's file is closed once its stream thread has ended.
void finishDataSend();
void onReceiveNotify(WindowId frame, intptr_t param);
int saveReceivedData(WindowId owner);
// Writes the received data to path, replacing it whole or not at all; false when that failed.
bool writeReceivedData(const std::string& path);

// The text of the completion boxes.
std::string sendDoneText(uint32_t count, uint32_t checksum);
std::string receiveDoneText(uint32_t size, uint32_t checksum);

}  // namespace dl
