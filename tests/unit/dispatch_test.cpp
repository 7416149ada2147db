// The command dispatcher as the windows drive it, on pseudo-terminals: opening ports, the boxes it
// shows, the rules that keep a running exchange safe, the close sequence and the save of an upload.
#include "app/dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "app/reconnect.h"
#include "app/session_status.h"
#include "base/commands.h"
#include "exchange/data_stream.h"
#include "exchange/exchange_watch.h"
#include "exchange/handlers.h"
#include "exchange/programming_command.h"
#include "integration/test_files.h"
#include "protocol/data_send.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/session_note.h"
#include "session/terminal.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;

std::string randomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

struct Box {
    WindowId owner;
    std::string text, title, detail;
};

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        protocolMode = modeIdle;
        transferState = 0;
        transferOwner = 0;
        resetTransfer(transfer);
        installProtocolHandlers();
        auto& h = windowHost();
        h.messageBox = [this](WindowId owner, const std::string& text, const std::string& title, MessageIcon,
                              MessageButtons buttons, const std::string& detail) {
            std::lock_guard lock(m);
            boxes.push_back({owner, text, title, detail});
            if (buttons == MessageButtons::ok) return MessageAnswer::ok;
            auto it = answers.find(title);
            return it != answers.end() ? it->second : MessageAnswer::no;
        };
        h.chooseFile = [this](FileChoice& c) {
            if (whileChoosing) whileChoosing();
            std::lock_guard lock(m);
            ++choices;
            savingChoices += c.forSaving;
            offered.push_back(c);
            if (files.empty()) return false;
            if (files.front().empty()) {  // this dialog is cancelled
                files.pop_front();
                return false;
            }
            c.path = files.front();
            if (files.size() > 1) files.pop_front();
            return true;
        };
        h.openSessionWindow = [](const std::string&, int slot) -> WindowId {
            const WindowId w = 0x100 + static_cast<WindowId>(slot);
            return createSession(w, slot) == 1 ? w : 0;
        };
        h.activeSessionWindow = [this] { return active; };
        h.closeWindow = [this](WindowId w) {
            {
                std::lock_guard lock(m);
                closeAsked.push_back(w);
            }
            if (!sessionMayClose(w)) return false;
            destroySession(w);
            return true;
        };
    }
    void TearDown() override {
        // Readers call the handlers: every line is closed before they go.
        for (int i = 1; i < kSessionSlots; ++i) {
            if (sessionTable[i].inUse.load() == 1) destroySession(sessionTable[i].window.load());
            setDevicePath(i, "");
        }
        receiveHandlers() = ReceiveHandlers{};
        protocolMode = modeIdle;
        transferState = 0;
        transferOwner = 0;
        setExchangeTimeout(kDefaultExchangeTimeout);
        programmingDelay = busyWait;
        reconnectAutomatically = false;
        stopAwaitingEveryDevice();
    }
    WindowId openPort(int slot, PtyPair& p) {
        setDevicePath(slot, p.slavePath());
        EXPECT_EQ(frameCommand(static_cast<uint16_t>(cmdOpenCom1 + slot - 1), 0), 1);
        return sessionTable[static_cast<size_t>(slot)].window.load();
    }
    // Hands what the workers posted to the dispatcher, as the windows' event loop does, until `done`;
    // the loop's timer runs the exchange watch.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            exchangeTick();
            auto posts = host.postsCopy();
            // Taken before it is handled: a dialog's own loop (a nested pump) goes on after it.
            while (handled < posts.size()) {
                const auto p = posts[handled++];
                if (p.window == 0)
                    frameCommand(p.command, p.param);
                else
                    sessionCommand(p.window, p.command, p.param);
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    std::vector<Box> boxesCopy() {
        std::lock_guard lock(m);
        return boxes;
    }
    std::vector<std::string> titlesCopy() {
        std::lock_guard lock(m);
        return titles;
    }
    void recordTitles() {
        windowHost().setTitle = [this](WindowId, const std::string& t) {
            std::lock_guard lock(m);
            titles.push_back(t);
        };
    }
    // F3 up to the box's start line and its image taken: the run waits for the box's requests.
    void startRun(WindowId w, PtyPair& box, const std::string& image) {
        programmingDelay = [](uint32_t) {};
        files = {image};
        ASSERT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
        ASSERT_EQ(box.receive(12), "\rm:prog_sum\r");
        box.send("s:prog_start 0002\r\n");
        ASSERT_TRUE(pumpUntil([&] { return sessionTable[1].transferActive.load() == 1; }));
    }

    test::RecordingHost host;
    std::mutex m;
    std::vector<Box> boxes;
    std::map<std::string, MessageAnswer> answers;
    std::deque<std::string> files;
    int choices = 0;
    int savingChoices = 0;
    std::vector<FileChoice> offered;
    std::vector<WindowId> closeAsked;
    std::vector<std::string> titles;
    std::function<void()> whileChoosing;
    WindowId active = 0;
    size_t handled = 0;
    dltest::ScratchDir dir;
};

TEST_F(DispatchTest, OpeningAPortConnectsItAndOpeningItAgainClosesIt) {
    PtyPair pty;
    const WindowId w = openPort(2, pty);
    ASSERT_NE(w, 0u);
    EXPECT_EQ(sessionTable[2].connected.load(), 1);
    EXPECT_EQ(frameCommand(cmdOpenCom2, 0), 1);
    EXPECT_EQ(closeAsked, std::vector<WindowId>{w});
    EXPECT_EQ(sessionTable[2].inUse.load(), 0) << "the item toggles the window";
}

TEST_F(DispatchTest, AConnectionThatFailsSaysWhyAndLeavesTheWindowOpen) {
    setDevicePath(1, dir.file("no-such-tty"));
    EXPECT_EQ(frameCommand(cmdOpenCom1, 0), 1);
    ASSERT_EQ(sessionTable[1].inUse.load(), 1);
    EXPECT_EQ(sessionTable[1].connected.load(), 0);
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Connection failed.");
    EXPECT_EQ(shown[0].title, "Downloader");
    EXPECT_EQ(shown[0].owner, sessionTable[1].window.load());
    EXPECT_NE(shown[0].detail.find("no-such-tty"), std::string::npos) << shown[0].detail;
}

// A second data request inside a running exchange would put its frame into the exchange and swap the
// file the box was promised.
TEST_F(DispatchTest, UpdateChannelDataIsRefusedWhileAnExchangeRuns) {
    PtyPair pty;
    const WindowId w = openPort(1, pty);
    files = {dir.write("data.bin", std::string(40000, 'd'))};
    protocolMode = modeDataReceive;
    transferState = 3;
    transferOwner = 1;
    EXPECT_EQ(sessionCommand(w, cmdUpdateChannelData, 0), 0);
    EXPECT_EQ(choices, 0);
    EXPECT_EQ(pty.receive(1, 100), "");

    protocolMode = modeIdle;
    transferState = 0;
    EXPECT_EQ(sessionCommand(w, cmdUpdateChannelData, 0), 1);
    EXPECT_EQ(pty.receive(14), "\x1b\xda\xaah:down_data");
}

// The data goes to the line that answered, whichever window is active; and a box that asks for the
// checksum the moment the last byte reached it is answered (the updateNow hook is slow on purpose:
// the machine must already wait for the question when the last chunk goes out).
TEST_F(DispatchTest, ASendStreamsOnItsOwnLineAndEndsWhenTheBoxAsksAtOnce) {
    PtyPair boxA, boxB;
    const WindowId a = openPort(1, boxA);
    const WindowId b = openPort(2, boxB);
    active = b;
    windowHost().updateNow = [](WindowId) { std::this_thread::sleep_for(300ms); };
    const std::string data = randomBytes(40000, 7);
    files = {dir.write("data.bin", data)};
    ASSERT_EQ(sessionCommand(a, cmdUpdateChannelData, 0), 1);
    ASSERT_EQ(boxA.receive(14).size(), 14u);
    boxA.send(std::string("\x1b\xda\xdds:send id", 12));
    EXPECT_EQ(boxA.receive(8), "h:vexon\r");
    boxA.send("s:send size\r");
    EXPECT_EQ(boxA.receive(9), "   40000\r");
    boxA.send("s:send data\r");
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        got += boxA.receive(data.size() - got.size(), 10);
        return got.size() == data.size();
    }));
    boxA.send("s:send sum\r");
    std::string sum;
    ASSERT_TRUE(pumpUntil([&] {
        sum += boxA.receive(9 - sum.size(), 10);
        return sum.size() == 9;
    }));
    EXPECT_EQ(sum, formatDecimalField(
                       byteSum(std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()))) +
                       "\r");
    boxA.send("s:done!\r");
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& box : boxesCopy())
            if (box.title == "Data Transmitting Done") return true;
        return false;
    }));
    EXPECT_EQ(got, data);
    EXPECT_EQ(boxB.receive(1, 50), "") << "nothing reached the other box";
}

TEST_F(DispatchTest, TheCloseSequenceStopsAtAWindowThatKeepsItsTransfer) {
    PtyPair p1, p2;
    const WindowId w1 = openPort(1, p1);
    const WindowId w2 = openPort(2, p2);
    bool notesClosed = false;
    windowHost().closeReleaseNotes = [&] { notesClosed = true; };
    windowHost().sessionWindows = [&] { return std::vector<WindowId>{w1, w2}; };
    sessionTable[2].transferActive = 1;
    answers["Warning:If you break downloading the STB may not revive !!!"] = MessageAnswer::no;
    EXPECT_FALSE(closeAllSessions());
    EXPECT_TRUE(notesClosed);
    EXPECT_EQ(sessionTable[1].inUse.load(), 0) << "the windows before it are closed";
    EXPECT_EQ(sessionTable[2].inUse.load(), 1);
    EXPECT_EQ(sessionTable[2].connected.load(), 1) << "No keeps the transfer's line";
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Stop downloading and close program ?");
    EXPECT_EQ(shown[0].owner, w2);
    sessionTable[2].transferActive = 0;
}

// An upload is never lost to a save that fails: the failure is said with its path and reason, the
// save is offered again, and no file but the chosen one is touched.
TEST_F(DispatchTest, ASaveThatFailsIsSaidAndOfferedAgain) {
    const std::string data = "uploaded by the box";
    keepReceivedUpload({std::vector<uint8_t>(data.begin(), data.end()), 0});
    const std::string bad = dir.file("missing-dir/out.bin");
    const std::string good = dir.file("out.bin");
    dir.write("out.bin.part", "someone else's");
    files = {bad, good};
    answers["Data Receiving Done"] = MessageAnswer::yes;
    answers["Data Saving Failed"] = MessageAnswer::yes;
    frameCommand(cmdReceiveNotify, static_cast<intptr_t>(data.size()));
    EXPECT_EQ(choices, 2);
    EXPECT_EQ(savingChoices, 2) << "a save dialog must be one that asks before it replaces a file";
    EXPECT_EQ(dir.read("out.bin"), data);
    EXPECT_EQ(dir.read("out.bin.part"), "someone else's");
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].title, "Data Saving Failed");
    EXPECT_NE(shown[1].detail.find(bad), std::string::npos) << shown[1].detail;
    EXPECT_NE(shown[1].detail.find("No such file"), std::string::npos) << shown[1].detail;
}

// A save dialog closed without a name loses nothing: the question comes again and only No gives the
// upload up. The dialog offers the folder of the last save and a name it does not hold yet.
TEST_F(DispatchTest, ACancelledSaveAsksAgainAndNoSaveOffersAnExistingFile) {
    ASSERT_EQ(createSession(0x301, 1), 1);
    transferOwner = 1;
    sessionTable[1].lastSaveDir = dir.path().string();
    sessionTable[1].filePath = dir.file("sent.dat");  // the data file sent last is not offered
    dir.write("upload.dat", "an earlier upload");
    const std::string data = "the second upload";
    keepReceivedUpload({std::vector<uint8_t>(data.begin(), data.end()), 0});
    files = {"", dir.file("kept.dat")};
    answers["Data Receiving Done"] = MessageAnswer::yes;
    frameCommand(cmdReceiveNotify, static_cast<intptr_t>(data.size()));
    EXPECT_EQ(dir.read("kept.dat"), data);
    EXPECT_EQ(dir.read("upload.dat"), "an earlier upload");
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0].initialDir, dir.path().string());
    EXPECT_EQ(offered[0].path, "upload-2.dat");
    std::vector<std::string> titles;
    for (const auto& b : boxesCopy()) titles.push_back(b.title);
    EXPECT_EQ(titles,
              (std::vector<std::string>{"Data Receiving Done", "Zentu Error!", "Data Receiving Done"}));

    // No gives it up: nothing more is asked.
    boxes.clear();
    keepReceivedUpload({std::vector<uint8_t>(data.begin(), data.end()), 0});
    answers["Data Receiving Done"] = MessageAnswer::no;
    frameCommand(cmdReceiveNotify, static_cast<intptr_t>(data.size()));
    EXPECT_EQ(boxesCopy().size(), 1u);
    transferOwner = 0;
}

// The box took the first sector and went quiet. The run is given up and said with how far it got, the
// title stops reading as a run in progress, the line stays open and the next F3 goes out.
TEST_F(DispatchTest, ABoxThatStopsAskingIsSaidAndTheWindowProgramsAgain) {
    setExchangeTimeout(300ms);
    PtyPair box;
    const WindowId w = openPort(1, box);
    recordTitles();
    const std::string image = randomBytes(2 * kSectorSize, 11);
    startRun(w, box, dir.write("image.img", image));
    box.send("s:prog_sector 0000\r\n");
    ASSERT_EQ(box.receive(kSectorSize + 4).size(), kSectorSize + 4);
    PortSession& s = sessionTable[1];
    ASSERT_TRUE(pumpUntil([&] { return !boxesCopy().empty() && !s.sectorThread.joinable(); }));
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Programming Failed");
    EXPECT_EQ(shown[0].text,
              "The programming run was abandoned: the box stopped asking for sectors (1 sectors sent, 4096 "
              "bytes).");
    EXPECT_EQ(shown[0].owner, w);
    EXPECT_EQ(s.connected.load(), 1);
    EXPECT_FALSE(s.file.valid()) << "the image is closed";
    EXPECT_EQ(s.transferActive.load(), 0);
    const auto t = titlesCopy();
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(t.back().starts_with("Com1 sector 00 chk=") && t.back().ends_with(" stopped")) << t.back();
    EXPECT_EQ(sessionNote(1), "Box stopped asking after sector 0") << "the status line's word";
    EXPECT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    EXPECT_EQ(box.receive(12), "\rm:prog_sum\r");
}

// With Reconnect Automatically on, a lost line is waited for: a cut run is still said as cut, the
// status line says the wait, and the first tick after a device is back behind the same name connects
// the window again, idle. A loss while idle asks nothing, and the user's own Connect ends the wait.
TEST_F(DispatchTest, ALostLineIsWaitedForAndConnectedAgainWhenItsDeviceIsBack) {
    reconnectAutomatically = true;
    const std::string link = dir.file("ttyBOX");
    auto plug = [&](PtyPair& box) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(box.slavePath(), link);
    };
    PortSession& s = sessionTable[1];
    auto pull = [&](PtyPair& box) {
        std::filesystem::remove(link);
        box.hangUp();
        return pumpUntil([&] { return s.connected.load() == 0; });
    };
    PtyPair first;
    plug(first);
    setDevicePath(1, link);
    ASSERT_EQ(frameCommand(cmdOpenCom1, 0), 1);
    const WindowId w = s.window.load();
    startRun(w, first, dir.write("image.img", randomBytes(2 * kSectorSize, 3)));
    ASSERT_TRUE(pull(first));
    auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u) << "the cut run is said";
    EXPECT_EQ(shown[0].text, "The line to the box is gone (device removed or hung up).");
    EXPECT_TRUE(awaitingDevice(1));
    EXPECT_EQ(sessionStatus(1), "Waiting for " + link + " to come back  |  Line lost");
    EXPECT_EQ(reconnectTick(), 0) << "nothing behind the name yet";

    PtyPair second;
    plug(second);
    EXPECT_EQ(reconnectTick(), 1);
    EXPECT_EQ(s.connected.load(), 1);
    EXPECT_EQ(s.transferActive.load(), 0) << "nothing is taken up again";
    EXPECT_EQ(transferState.load(), 0);
    EXPECT_TRUE(sessionNote(1).starts_with("Line lost, connected again at ")) << sessionNote(1);
    typeChar(w, 'x');
    EXPECT_EQ(second.receive(1), "x");

    // Lost and back while the image dialog is open: the box that asked has gone, so the image chosen
    // then goes nowhere.
    PtyPair third;
    whileChoosing = [&] {
        ASSERT_TRUE(pull(second));
        plug(third);
        ASSERT_EQ(reconnectTick(), 1);
    };
    files = {dir.write("image2.img", randomBytes(2 * kSectorSize, 4))};
    ASSERT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    ASSERT_EQ(second.receive(12), "\rm:prog_sum\r");
    second.send("s:prog_start 0002\r\ns:prog_sector 0000\r\n");
    ASSERT_TRUE(pumpUntil([&] { return choices == 2 && s.connected.load() == 1; }));
    whileChoosing = nullptr;
    EXPECT_EQ(third.receive(kSectorSize, 300), "") << "no sector goes to the box that came back";
    EXPECT_EQ(s.transferActive.load(), 0);
    EXPECT_EQ(s.programming.load(), 0);
    ASSERT_EQ(boxesCopy().size(), 2u) << "the cut run is said";

    ASSERT_TRUE(pull(third));
    EXPECT_EQ(boxesCopy().size(), 2u) << "an idle loss asks nothing";
    EXPECT_TRUE(awaitingDevice(1));
    EXPECT_EQ(sessionCommand(w, cmdConnect, 0), 1);  // fails: nothing is there
    EXPECT_FALSE(awaitingDevice(1));
    PtyPair fourth;
    plug(fourth);
    EXPECT_EQ(reconnectTick(), 0) << "the user chose, so no wait goes on";
    EXPECT_EQ(s.connected.load(), 0);
}

// An image chosen after the box had long stopped waiting is not sent: sector 0 would land in the console
// of a box that left the run. The watch does not fire while the dialog is open (the one box is this
// one), and the session can program again.
TEST_F(DispatchTest, AnImageChosenTooLateSendsNothing) {
    setExchangeTimeout(300ms);
    PtyPair box;
    const WindowId w = openPort(1, box);
    whileChoosing = [] {
        const auto end = std::chrono::steady_clock::now() + 600ms;
        while (std::chrono::steady_clock::now() < end) {  // the dialog's own event loop runs the timer
            exchangeTick();
            std::this_thread::sleep_for(10ms);
        }
    };
    programmingDelay = [](uint32_t) {};
    files = {dir.write("image.img", randomBytes(2 * kSectorSize, 12))};
    ASSERT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    ASSERT_EQ(box.receive(12), "\rm:prog_sum\r");
    box.send("s:prog_start 0002\r\ns:prog_sector 0000\r\n");
    ASSERT_TRUE(pumpUntil([&] { return !boxesCopy().empty(); }));
    whileChoosing = nullptr;
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Programming Failed");
    EXPECT_NE(shown[0].text.find("the image was chosen after"), std::string::npos) << shown[0].text;
    EXPECT_EQ(box.receive(kSectorSize, 200), "") << "no sector went out";
    EXPECT_EQ(sessionTable[1].programming.load(), 0);
    EXPECT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    EXPECT_EQ(box.receive(12), "\rm:prog_sum\r");
}

// The box took the whole file and never asked for the checksum: the send is given up and said, its file
// closed, and the line is the terminal's again, so a programming command goes out.
TEST_F(DispatchTest, ASendTheBoxStopsAnsweringIsSaidAndTheLineIsFreeAgain) {
    setExchangeTimeout(300ms);
    PtyPair box;
    const WindowId w = openPort(1, box);
    const std::string data = randomBytes(40000, 13);
    files = {dir.write("data.bin", data)};
    ASSERT_EQ(sessionCommand(w, cmdUpdateChannelData, 0), 1);
    ASSERT_EQ(box.receive(14).size(), 14u);
    box.send(std::string("\x1b\xda\xdds:send id", 12));
    EXPECT_EQ(box.receive(8), "h:vexon\r");
    box.send("s:send size\r");
    EXPECT_EQ(box.receive(9), "   40000\r");
    box.send("s:send data\r");
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        got += box.receive(data.size() - got.size(), 10);
        return got.size() == data.size();
    }));
    PortSession& s = sessionTable[1];
    ASSERT_TRUE(pumpUntil([&] { return !boxesCopy().empty() && !s.streamThread.joinable(); }));
    const auto shown = boxesCopy();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Data Transmitting Failed");
    EXPECT_EQ(shown[0].text, "The data send was abandoned: the box stopped answering (40000 bytes sent).");
    EXPECT_EQ(s.connected.load(), 1);
    EXPECT_FALSE(s.file.valid());
    EXPECT_EQ(transferState.load(), 0);
    programmingDelay = [](uint32_t) {};
    EXPECT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    EXPECT_EQ(box.receive(12), "\rm:prog_sum\r");
}

// The save writes exactly the upload its question names, even when a second upload has filled the
// receive buffer meanwhile, and a path of any length the file system takes is saved to.
TEST_F(DispatchTest, TheSaveWritesTheUploadItsQuestionNames) {
    const std::string first(50000, 'a'), second(72704, 'b');
    std::copy(first.begin(), first.end(), transfer.receiveBuffer.begin());
    transfer.receivedCount = static_cast<uint32_t>(first.size());
    transfer.runningChecksum =
        byteSum(std::span(reinterpret_cast<const uint8_t*>(first.data()), first.size()));
    Effects done;
    setOutcome(done, ExchangeKind::dataReceive, OutcomeKind::completed);
    PtyPair pty;
    openPort(1, pty);
    carryOut(sessionTable[1], done);
    std::copy(second.begin(), second.end(), transfer.receiveBuffer.begin());  // the next upload begins
    transfer.receivedCount = static_cast<uint32_t>(second.size());
    const std::string deep = dir.file(std::string(120, 'd'));
    ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    const std::string target = deep + "/" + std::string(100, 'u') + ".dat";
    files = {target};
    answers["Data Receiving Done"] = MessageAnswer::yes;
    transferOwner = 1;
    frameCommand(cmdReceiveNotify, static_cast<intptr_t>(first.size()));
    transferOwner = 0;
    ASSERT_FALSE(boxesCopy().empty());
    EXPECT_EQ(boxesCopy()[0].text.substr(0, 21), "50000 bytes received\n");
    EXPECT_EQ(dir.read(target.substr(dir.path().string().size() + 1)), first);
    EXPECT_EQ(sessionNote(1), "Saved 50000 bytes to " + target) << "the status line says where it went";
}

// A FIFO chosen as the data file or the image is refused at once with the reason (its open would wait
// for a writer), and the image's run ends instead of leaving the box's request unanswered. A file too
// large for the box's size field is refused before anything reaches the line.
TEST_F(DispatchTest, FilesThatCannotBeSentAreRefusedBeforeTheLineIsUsed) {
    PtyPair box;
    const WindowId w = openPort(1, box);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files = {fifo};
    EXPECT_EQ(sessionCommand(w, cmdUpdateChannelData, 0), 0);
    ASSERT_EQ(boxesCopy().size(), 1u);
    EXPECT_NE(boxesCopy()[0].detail.find("not a regular file"), std::string::npos) << boxesCopy()[0].detail;

    const std::string big = dir.file("big.dat");
    std::ofstream(big).put('x');
    ASSERT_EQ(::truncate(big.c_str(), off_t{kLargestSendSize} + 1), 0);
    files = {big};
    EXPECT_EQ(sessionCommand(w, cmdUpdateChannelData, 0), 0);
    ASSERT_EQ(boxesCopy().size(), 2u);
    EXPECT_EQ(boxesCopy()[1].text,
              "The data file is too large to send: the box takes at most 99,999,999 bytes.");
    EXPECT_EQ(box.receive(1, 100), "") << "nothing was sent to the box";

    programmingDelay = [](uint32_t) {};
    files = {fifo};
    ASSERT_EQ(sessionCommand(w, cmdUpdateSafe, 0), 1);
    ASSERT_EQ(box.receive(12), "\rm:prog_sum\r");
    box.send("s:prog_start 0002\r\n");
    ASSERT_TRUE(pumpUntil([&] { return boxesCopy().size() == 3; }));
    EXPECT_EQ(boxesCopy()[2].title, "Programming Failed");
    EXPECT_NE(boxesCopy()[2].text.find("not a regular file"), std::string::npos) << boxesCopy()[2].text;
    EXPECT_EQ(sessionTable[1].programming.load(), 0);
    EXPECT_EQ(sessionTable[1].transferActive.load(), 0);
}

// A data file that changes during the send: the box gets exactly the size it was promised, and a file
// that shrank ends the send with its outcome instead of leaving the box waiting.
TEST_F(DispatchTest, AFileThatChangesDuringTheSendSendsTheAnnouncedSizeOrEnds) {
    PtyPair box;
    const WindowId w = openPort(1, box);
    PortSession& s = sessionTable[1];
    // `grows`: bytes appended after the stream's first read, while it waits to go on.
    auto stream = [&](size_t onDisk, uint32_t announced, size_t grows = 0) {
        const std::string path = dir.write("data.bin", std::string(onDisk, 'z'));
        s.file = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        transfer.sendSize = announced;
        protocolMode = modeDataSend;
        transferState = SendState::streaming;
        s.senderRun = 1;
        s.transferActive = grows ? 0 : 1;
        std::thread sender([] { dataStreamThread(1); });  // the line holds only a few KiB unread
        if (grows) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(grows, 'y');
            s.transferActive = 1;
        }
        std::string got;
        for (std::string piece; !(piece = box.receive(65536, 300)).empty();) got += piece;
        sender.join();
        return got;
    };
    EXPECT_EQ(stream(50000, 40000).size(), 40000u) << "the bytes past the announced size stay off the line";
    EXPECT_EQ(host.postsCopy().back(), (PostedCommand{w, cmdSenderEnded, senderFinished}));
    // A file short at the first read and grown by the next: its short chunk comes mid-stream.
    const std::string grown = stream(1000, 40000, 39000);
    EXPECT_TRUE(grown == std::string(1000, 'z') + std::string(39000, 'y')) << grown.size() << " bytes came";
    EXPECT_EQ(stream(30000, 40000).size(), 29952u) << "every chunk read whole before the file ran short goes out";
    EXPECT_EQ(host.postsCopy().back(), (PostedCommand{w, cmdSenderEnded, senderFileShort}));
    EXPECT_EQ(lastOutcome().kind, OutcomeKind::fileUnreadable);
    EXPECT_NE(lastOutcome().reason.find("changed during the send"), std::string::npos);
    EXPECT_FALSE(s.file.valid());
    protocolMode = modeIdle;
    transferState = 0;
}

// A save never replaces what is not a regular file: a FIFO is written into, a symbolic link is followed
// to its target; an existing file keeps its permission bits.
TEST(SaveTarget, SpecialFilesAndLinksAreWrittenNotReplaced) {
    dltest::ScratchDir dir;
    const std::vector<uint8_t> data{'u', 'p', 'l', 'o', 'a', 'd'};
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(writeReceivedData(fifo, data).ok) << "no program reads from it";
    UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(writeReceivedData(fifo, data).ok);
    char got[16] = {};
    EXPECT_EQ(::read(reader.get(), got, sizeof got), 6);
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    const std::string target = dir.write("target.dat", "old"), link = dir.file("link.dat");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("target.dat", link.c_str()), 0);
    ASSERT_TRUE(writeReceivedData(link, data).ok);
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(dir.read("target.dat"), "upload");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace dl
