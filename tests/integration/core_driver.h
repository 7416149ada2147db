// The core linked into the test and driven the way a front end drives it, against stbsim on the far end.
//
//   dltest::CoreDriver driver;                         // installs the host and the protocol handlers
//   StbsimProcess sim({"--image", image});
//   dl::PortSession* s = driver.open(kWindow, 1, sim.ptyPath());
//   driver.chooseFile(image);                          // the answer of the next file dialogs
//   dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::safe);
//   auto ended = driver.next(dl::cmdSenderEnded);      // handles posted commands until one of those
//
// The host queues every posted command to the test thread; `pumpUntil` and `next` take them off the queue
// and handle them there as the windows would: 608 takes the image and starts the sector sender, 620 with a
// size starts the stream on the active session and 620/0 shows the result, 619 shows the receive's result
// and saves it (the message box is answered from `setAnswer`, the save dialog from `chooseFile`), a sender's
// end joins its thread, and a lost line disconnects the session. So every thread of the core is started and
// joined inside the test process, where the thread sanitizer sees it.
//
// Each driver starts from the state of a fresh process: protocol state, recent files and the fields a slot
// keeps between sessions. The destructor disconnects and frees every session (joining their threads) before
// it removes the host.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/dispatch.h"
#include "base/commands.h"
#include "base/recent_files.h"
#include "exchange/data_stream.h"
#include "exchange/file_choice.h"
#include "exchange/handlers.h"
#include "exchange/programming_command.h"
#include "exchange/sector_sender.h"
#include "protocol/programming.h"
#include "protocol/transfer.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/session.h"
#include "session/terminal.h"
#include "session/window_host.h"
#include "test_files.h"

namespace dltest {

using Millis = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// The deadline of one step of an exchange. Only a failing test ever waits this long.
inline constexpr Millis kStep{3000};

// ----- Test data, computed without the core -----

inline std::string randomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

inline uint32_t byteSum(std::string_view bytes) {
    uint32_t sum = 0;
    for (char byte : bytes) sum += static_cast<uint8_t>(byte);
    return sum;
}

// ----- The driver -----

using Posted = dl::PostedCommand;

struct MessageRecord {
    dl::WindowId owner;
    std::string text;
    std::string title;
    dl::MessageButtons buttons;
};

class CoreDriver {
public:
    CoreDriver() {
        resetProcessState();
        resetKeptFields();
        auto& h = dl::windowHost();
        h = dl::WindowHost{};
        h.postCommand = [this](dl::WindowId w, uint16_t c, intptr_t p) {
            std::lock_guard lock(m_);
            queue_.push_back({w, c, p});
            cv_.notify_all();
        };
        h.setTitle = [this](dl::WindowId w, const std::string& title) {
            std::lock_guard lock(m_);
            titles_[w].push_back(title);
            cv_.notify_all();
        };
        h.textShown = [this](dl::WindowId w, const uint8_t* bytes, size_t n) {
            std::lock_guard lock(m_);
            shown_[w].append(reinterpret_cast<const char*>(bytes), n);
            cv_.notify_all();
        };
        h.messageBox = [this](dl::WindowId owner, const std::string& text, const std::string& title,
                              dl::MessageIcon, dl::MessageButtons buttons, const std::string&) {
            std::lock_guard lock(m_);
            messages_.push_back({owner, text, title, buttons});
            if (buttons == dl::MessageButtons::ok) return dl::MessageAnswer::ok;
            if (title == "Data Saving Failed") return dl::MessageAnswer::no;  // never retried for ever
            return answer_;
        };
        h.chooseFile = [this](dl::FileChoice& choice) {
            std::lock_guard lock(m_);
            ++fileChoices_;
            if (chosenFile_.empty()) return false;
            choice.path = chosenFile_;
            return true;
        };
        h.createScreenFont = [](dl::PortSession& s) {
            s.charWidth = 8;
            s.charHeight = 16;
        };
        dl::installProtocolHandlers();
        // Typing a programming command waits 50 ms per character for a person's box; stbsim needs no pause.
        dl::programmingDelay = [](uint32_t) {};
    }

    ~CoreDriver() {
        // Every worker thread is joined before the host goes: a reader or sender still running would
        // call into a host being torn down.
        for (int slot = 1; slot < dl::kSessionSlots; ++slot) {
            dl::PortSession& s = dl::sessionTable[slot];
            const dl::WindowId w = s.window.load();
            if (s.inUse.load() != 1 || w == 0) continue;
            if (s.connected.load()) dl::disconnectPort(w);
            joinSenders(s);
            dl::destroySession(w);
        }
        for (auto& s : dl::sessionTable) joinSenders(s);
        dl::windowHost() = dl::WindowHost{};
        dl::receiveHandlers() = dl::ReceiveHandlers{};
        dl::programmingDelay = dl::busyWait;
        for (int n = 1; n < dl::kSessionSlots; ++n) dl::setDevicePath(n, "");
        resetProcessState();
    }

    CoreDriver(const CoreDriver&) = delete;
    CoreDriver& operator=(const CoreDriver&) = delete;

    // Creates the session of `window` in `slot` on `device` and connects it; it becomes the active session.
    // nullptr (with the reason as a test failure) when either step fails.
    dl::PortSession* open(dl::WindowId window, int slot, const std::string& device) {
        dl::setDevicePath(slot, device);
        if (dl::createSession(window, slot) != 1) {
            ADD_FAILURE() << "no session for slot " << slot;
            return nullptr;
        }
        if (dl::connectPort(window) != 1) {
            ADD_FAILURE() << "connect failed: " << dl::lastConnectError();
            return nullptr;
        }
        active = window;
        return dl::sessionOf(window);
    }

    // Connects the existing session of `window` again, now on `device`.
    bool reconnect(dl::WindowId window, const std::string& device) {
        dl::PortSession* s = dl::sessionOf(window);
        if (!s) return false;
        dl::setDevicePath(s->portNumber, device);
        if (dl::connectPort(window) == 1) return true;
        ADD_FAILURE() << "reconnect failed: " << dl::lastConnectError();
        return false;
    }

    // Types text to the session as if from the keyboard.
    void type(dl::WindowId window, std::string_view text) {
        for (char c : text) dl::typeChar(window, static_cast<uint8_t>(c));
    }

    // The answer of every file dialog from now on ("" cancels).
    void chooseFile(const std::string& path) {
        std::lock_guard lock(m_);
        chosenFile_ = path;
    }
    // The answer to yes/no message boxes (boxes with only OK are answered OK).
    void setAnswer(dl::MessageAnswer answer) {
        std::lock_guard lock(m_);
        answer_ = answer;
    }

    // Handles posted commands as they come until `done()` holds; false when the deadline passes first.
    // The condition is tested after every handled command and every change the host hears of, and at least
    // every 10 ms for changes the core makes without telling the host.
    bool pumpUntil(const std::function<bool()>& done, Millis timeout = kStep) {
        const auto until = SteadyClock::now() + timeout;
        for (;;) {
            if (done()) return true;
            std::optional<Posted> p;
            bool late = false;
            {
                std::unique_lock lock(m_);
                const auto now = SteadyClock::now();
                // At the deadline the condition is asked once more, outside the lock: it may read the
                // driver's own records.
                late = now >= until;
                if (!late && queue_.empty()) cv_.wait_until(lock, std::min(until, now + Millis(10)));
                if (!late && !queue_.empty()) {
                    p = queue_.front();
                    queue_.pop_front();
                }
            }
            if (late) return done();
            if (p) handle(*p);
        }
    }

    // The next handled command `command` that no earlier call returned, handling commands until it comes.
    std::optional<Posted> next(uint16_t command, Millis timeout = kStep) {
        std::optional<Posted> found;
        pumpUntil(
            [&] {
                for (size_t i = 0; i < handled_.size(); ++i) {
                    if (handled_[i].command == command && !taken_[i]) {
                        taken_[i] = true;
                        found = handled_[i];
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }

    // Every command handled so far, in order.
    const std::vector<Posted>& handled() const { return handled_; }
    int countHandled(uint16_t command, std::optional<intptr_t> param = std::nullopt) const {
        int n = 0;
        for (const auto& p : handled_) n += p.command == command && (!param || p.param == *param);
        return n;
    }
    // Position of the first handled `command` (with `param`, when given); -1 when none.
    int indexOf(uint16_t command, std::optional<intptr_t> param = std::nullopt) const {
        for (size_t i = 0; i < handled_.size(); ++i)
            if (handled_[i].command == command && (!param || handled_[i].param == *param)) return int(i);
        return -1;
    }

    std::vector<MessageRecord> messages() {
        std::lock_guard lock(m_);
        return messages_;
    }
    int fileChoices() {
        std::lock_guard lock(m_);
        return fileChoices_;
    }
    std::optional<std::string> lastTitle(dl::WindowId w) {
        std::lock_guard lock(m_);
        auto it = titles_.find(w);
        if (it == titles_.end() || it->second.empty()) return std::nullopt;
        return it->second.back();
    }
    // Everything the terminal of `w` interpreted, in order.
    std::string shown(dl::WindowId w) {
        std::lock_guard lock(m_);
        return shown_[w];
    }

    // How long the disconnect after the last lost line took.
    std::optional<Millis> lostLineDisconnect;
    // The window that command 620 with a size starts the stream on, as the frame's active session window.
    dl::WindowId active = 0;

private:
    // As the windows do: window 0 is the frame, any other a session window.
    void handle(const Posted& p) {
        handled_.push_back(p);
        taken_.push_back(false);
        const auto start = SteadyClock::now();
        if (p.window == 0)
            dl::frameCommand(p.command, p.param);
        else
            dl::sessionCommand(p.window, p.command, p.param);
        if (p.command == dl::cmdLineLost)
            lostLineDisconnect = std::chrono::duration_cast<Millis>(SteadyClock::now() - start);
    }

    static void joinSenders(dl::PortSession& s) {
        if (s.sectorThread.joinable()) s.sectorThread.join();
        if (s.streamThread.joinable()) s.streamThread.join();
    }

    static void resetProcessState() {
        dl::protocolMode = dl::modeIdle;
        dl::transferState = 0;
        dl::transferOwner = 0;
        dl::resetTransfer(dl::transfer);
        dl::pendingRecentFile.reset();
        dl::clearRecentFiles();
        dl::lastImageDirectory.clear();
    }

    // The fields a slot keeps from one session to the next hold what an earlier test left; a test starts
    // from a fresh process, where they are all zero.
    static void resetKeptFields() {
        for (auto& s : dl::sessionTable) {
            if (s.inUse.load() != 0) continue;
            s.file.reset();
            s.filePath.clear();
            s.fileInfo.clear();
            s.fileInfoLength = 0;
            s.fileSize = 0;
            s.sectorTotal = 0;
            s.bytesSent = 0;
            s.percent = 0;
            s.startTick = 0;
            s.programming = 0;
            s.lineLength = 0;
            s.requestedSector = 0;
            s.stopCode = 0;
            s.announcedSectors = 0;
            s.sectorsSent = 0;
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Posted> queue_;
    std::map<dl::WindowId, std::vector<std::string>> titles_;
    std::map<dl::WindowId, std::string> shown_;
    std::vector<MessageRecord> messages_;
    std::string chosenFile_;
    dl::MessageAnswer answer_ = dl::MessageAnswer::yes;
    int fileChoices_ = 0;

    // Test thread only.
    std::vector<Posted> handled_;
    std::vector<bool> taken_;
};

// True when some row of the session's screen holds `text`.
inline bool screenHas(dl::PortSession& s, std::string_view text) {
    for (int row = 0; row < dl::kScreenRows; ++row)
        if (dl::screenRow(s, row).find(text) != std::string::npos) return true;
    return false;
}

// No reader, sector sender or stream thread of the session is left to join.
inline bool noThreadsLeft(dl::PortSession& s) {
    return !s.readerThread.joinable() && !s.sectorThread.joinable() && !s.streamThread.joinable();
}

}  // namespace dltest
