// The serial link on real pseudo-terminals: connect, typing, routing, error marks, disconnect and a
// vanished device.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "base/commands.h"
#include "base/profile.h"
#include "serial/line_backend.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "serial/posix_line.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/terminal.h"
#include "session/window_host.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using test::RecordingHost;

constexpr WindowId kWin1 = 0x101, kWin2 = 0x202;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class PortLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        protocolMode = 0;
        transferState = 0;
        transferOwner = 0;
        receiveHandlers() = ReceiveHandlers{};
    }
    void TearDown() override {
        // Readers read the handlers: they go before the handlers are taken away.
        for (int i = 1; i <= 4; ++i) {
            if (sessionTable[i].inUse.load() == 1) disconnectPort(sessionTable[i].window.load());
        }
        receiveHandlers() = ReceiveHandlers{};
        for (int i = 1; i <= 4; ++i) setDevicePath(i, "");
        setNextPaintDue({}, {});
    }
    PortSession& open(WindowId w, int slot, PtyPair& p) {
        setDevicePath(slot, p.slavePath());
        EXPECT_EQ(createSession(w, slot), 1);
        EXPECT_EQ(connectPort(w), 1) << lastConnectError();
        return sessionTable[slot];
    }
    std::string screenText(PortSession& s, int row) { return screenRow(s, row); }
    // On a fresh line the box says `first` (if any) and, 6 ms after it shows, `last`; the cable goes
    // once all of it shows or 1.5 ms after `last`. True when the screen then holds it all, followed by
    // the hang-up's error mark, in one of three tries.
    bool lastWordsShown(const std::string& first, const std::string& last) {
        const std::string all = first + last;
        for (int attempt = 0; attempt < 3; ++attempt) {
            PtyPair box;
            PortSession& s = open(kWin1, 1, box);
            std::this_thread::sleep_for(20ms);  // the reader waits for the line
            if (!first.empty()) {
                box.send(first);
                EXPECT_TRUE(eventually([&] { return screenText(s, 0).starts_with(first); }));
                std::this_thread::sleep_for(6ms);
            }
            box.send(last);
            const auto sent = std::chrono::steady_clock::now();
            while (!screenText(s, 0).starts_with(all) && std::chrono::steady_clock::now() - sent < 1500us)
                std::this_thread::sleep_for(50us);
            box.hangUp();
            EXPECT_TRUE(eventually([&] { return s.readerThreadId.load() == 0; }));
            const bool shown = screenText(s, 0).starts_with(all + "<CE-5>");
            disconnectPort(kWin1);
            destroySession(kWin1);
            if (shown) return true;
        }
        return false;
    }

    RecordingHost host;
    PtyPair pty;
};

TEST_F(PortLinkTest, TypedCharactersReachTheBoxAndEchoLocally) {
    PortSession& s = open(kWin1, 1, pty);
    EXPECT_EQ(typeChar(kWin1, 'l'), 1);
    EXPECT_EQ(typeChar(kWin1, 's'), 1);
    EXPECT_EQ(typeChar(kWin1, '\r'), 1);
    EXPECT_EQ(pty.receive(3), "ls\r");
    EXPECT_EQ(screenText(s, 0).substr(0, 3), "ls ");
    EXPECT_EQ(cursorOf(s).row, 1) << "the echoed Enter moves to the next row";

    s.localEcho = 0;
    EXPECT_EQ(typeChar(kWin1, 'x'), 1);
    EXPECT_EQ(pty.receive(1), "x");
    EXPECT_EQ(screenText(s, 1), std::string(80, ' '));
}

TEST_F(PortLinkTest, ConsoleTextReachesTheScreen) {
    PortSession& s = open(kWin1, 1, pty);
    pty.send("boot ok\r\nready");
    ASSERT_TRUE(eventually([&] { return screenText(s, 2).substr(0, 5) == "ready"; }));
    EXPECT_EQ(screenText(s, 0).substr(0, 7), "boot ok");
}

TEST_F(PortLinkTest, WaitingBytesAreRoutedInPiecesOf128) {
    // The session's port is opened by hand here, so no reader competes for the bytes.
    ASSERT_EQ(createSession(kWin1, 1), 1);
    PortSession& s = sessionTable[1];
    s.port.reset(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(s.port.valid());
    std::vector<size_t> pieces;
    std::string routed;
    receiveHandlers().parseProgrammingInput = [&](PortSession&, std::span<const uint8_t> p) {
        pieces.push_back(p.size());
        routed.append(p.begin(), p.end());
    };
    std::string data;
    for (int i = 0; i < 300; ++i) data += static_cast<char>('A' + i % 26);
    pty.send(data);
    ASSERT_TRUE(eventually([&] {
        int waiting = 0;
        ::ioctl(s.port.get(), FIONREAD, &waiting);
        return waiting == 300;
    }));
    uint8_t buffer[128];
    EXPECT_EQ(readAndRoute(kWin1, buffer, 128), 128u);
    EXPECT_EQ(readAndRoute(kWin1, buffer, 128), 128u);
    EXPECT_EQ(readAndRoute(kWin1, buffer, 128), 44u);
    EXPECT_EQ(readAndRoute(kWin1, buffer, 128), 0u);
    EXPECT_EQ(pieces, (std::vector<size_t>{128, 128, 44}));
    EXPECT_EQ(routed, data);

    // One read of more than a piece still reaches the handlers a piece at a time: a piece that starts
    // an exchange must send the rest of the read to the exchange, not to the console.
    pieces.clear();
    pty.send(data);
    ASSERT_TRUE(eventually([&] {
        int waiting = 0;
        ::ioctl(s.port.get(), FIONREAD, &waiting);
        return waiting == 300;
    }));
    uint8_t chunk[kReadChunk];
    EXPECT_EQ(readAndRoute(kWin1, chunk, sizeof chunk), 300u);
    EXPECT_EQ(pieces, (std::vector<size_t>{128, 128, 44}));
    s.port.reset();
}

TEST_F(PortLinkTest, RoutingFollowsModeAndStateAndTheDisplayRule) {
    std::atomic<int> parsed{0}, detected{0}, received{0};
    receiveHandlers().parseProgrammingInput = [&](PortSession&, std::span<const uint8_t>) { ++parsed; };
    receiveHandlers().detectHandshake = [&](PortSession&, std::span<const uint8_t> p) {
        ++detected;
        if (p.size() && p[0] == 0x1B) {  // stands for a recognised frame: the line is taken
            protocolMode = modeDataReceive;
            transferState = 2;
            return 2;
        }
        return 0;
    };
    receiveHandlers().runReceiveMachine = [&](PortSession&, int state, std::span<const uint8_t>) {
        ++received;
        return state;
    };
    PortSession& s = open(kWin1, 1, pty);  // handlers first: the reader reads them
    pty.send("s:prog_start 0010\r\n");
    ASSERT_TRUE(eventually([&] { return screenText(s, 0).substr(0, 12) == "s:prog_start"; }));
    EXPECT_GE(detected.load(), 1);
    EXPECT_GE(parsed.load(), 1) << "console lines are both shown and parsed";

    parsed = 0;
    pty.send("\x1b");
    ASSERT_TRUE(eventually([&] { return transferState.load() == 2; }));
    EXPECT_EQ(parsed.load(), 0) << "a piece the detector took is not parsed";
    protocolMode = modeDataReceive;
    pty.send("hidden");
    ASSERT_TRUE(eventually([&] { return received.load() >= 1; }));
    EXPECT_EQ(screenText(s, 2), std::string(80, ' ')) << "a running transfer's bytes are not shown";

    // The frame and the transfer's first bytes in one write, and so most likely in one read.
    transferState = 0;
    protocolMode = modeIdle;
    received = 0;
    pty.send("\x1b" + std::string(300, 'h'));
    ASSERT_TRUE(eventually([&] { return received.load() >= 2; }));
    EXPECT_EQ(screenText(s, 2), std::string(80, ' ')) << "bytes behind the frame were shown";
}

TEST_F(PortLinkTest, SecondOpenOfAPortInUseFails) {
    open(kWin1, 1, pty);
    setDevicePath(2, pty.slavePath());
    ASSERT_EQ(createSession(kWin2, 2), 1);
    EXPECT_EQ(connectPort(kWin2), 0);
    EXPECT_NE(lastConnectError().find("in use"), std::string::npos) << lastConnectError();
    EXPECT_EQ(sessionTable[2].connected.load(), 0);
    EXPECT_FALSE(sessionTable[2].port.valid());
}

TEST_F(PortLinkTest, OpenFailureNamesTheReason) {
    setDevicePath(3, "/dev/does-not-exist-0");
    ASSERT_EQ(createSession(0x303, 3), 1);
    EXPECT_EQ(connectPort(0x303), 0);
    EXPECT_NE(lastConnectError().find("No such file"), std::string::npos) << lastConnectError();
    EXPECT_EQ(devicePath(4), "/dev/ttyS3");
}

TEST_F(PortLinkTest, SettingsFileNamesTheDevices) {
    Profile profile = Profile::parse("[Devices]\nCOM2=/dev/ttyUSB0\nCOM3=\n[Settings]\nCOM4=/dev/nothing\n");
    loadLinkSettings(profile);
    EXPECT_EQ(devicePath(2), "/dev/ttyUSB0");
    EXPECT_EQ(devicePath(3), "/dev/ttyS2") << "an empty value keeps the default";
    EXPECT_EQ(devicePath(4), "/dev/ttyS3") << "only the Devices section counts";
}

TEST_F(PortLinkTest, ExternalTerminalIsToldBeforeOpenAndAfterClose) {
    char dir[] = "/tmp/dl-notify-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string script = std::string(dir) + "/notify", log = std::string(dir) + "/log";
    {
        FILE* f = std::fopen(script.c_str(), "w");
        ASSERT_NE(f, nullptr);
        // The argument must arrive as one word, untouched by any shell on our side.
        std::fprintf(f, "#!/bin/sh\nprintf '%%s;' \"$1\" >> '%s'\n", log.c_str());
        std::fclose(f);
        ::chmod(script.c_str(), 0755);
    }
    notifyExternalTerminal(false);  // nothing configured: nothing happens
    setExternalTerminalCommand(script);
    notifyExternalTerminal(false);
    notifyExternalTerminal(true);
    setExternalTerminalCommand("");
    char buf[64] = {};
    FILE* f = std::fopen(log.c_str(), "r");
    ASSERT_NE(f, nullptr);
    (void)!std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_STREQ(buf, "401;400;");
    ::unlink(script.c_str());
    ::unlink(log.c_str());
    ::rmdir(dir);
}

TEST_F(PortLinkTest, DisconnectWithTheReaderBlockedReturnsAtOnce) {
    PortSession& s = open(kWin1, 1, pty);
    std::this_thread::sleep_for(20ms);  // let the reader settle into its wait
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(disconnectPort(kWin1), 1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 100ms);
    EXPECT_FALSE(s.readerThread.joinable());
    EXPECT_EQ(s.readerThreadId.load(), 0u);
    EXPECT_FALSE(s.port.valid());
    EXPECT_EQ(typeChar(kWin1, 'a'), 0) << "nothing is written to a closed port";
    // And it connects again.
    EXPECT_EQ(connectPort(kWin1), 1) << lastConnectError();
}

TEST_F(PortLinkTest, DisconnectingOneSessionLeavesTheOtherListening) {
    PtyPair other;
    ASSERT_TRUE(other.ok());
    PortSession& a = open(kWin1, 1, pty);
    PortSession& b = open(kWin2, 2, other);
    (void)a;
    EXPECT_EQ(disconnectPort(kWin1), 1);
    other.send("still here");
    ASSERT_TRUE(eventually([&] { return screenText(b, 0).substr(0, 10) == "still here"; }));
}

TEST_F(PortLinkTest, HangUpEndsTheReaderAndAsksForADisconnect) {
    PortSession& s = open(kWin1, 1, pty);
    pty.hangUp();
    ASSERT_TRUE(eventually([&] { return s.readerThreadId.load() == 0; }));
    auto posts = host.postsCopy();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].command, cmdLineLost);
    EXPECT_EQ(posts[0].window, kWin1);
    EXPECT_NE(screenText(s, 0).find("<CE-5>"), std::string::npos) << "EIO shows as an error mark";
    EXPECT_EQ(disconnectPort(kWin1), 1);
    EXPECT_FALSE(s.readerThread.joinable());
    EXPECT_EQ(s.connected.load(), 0);
}

// A box's last words before it is unplugged are shown: a hang-up discards what the driver still holds,
// so the reader must have taken them by then. The cable goes within 1.5 ms of the text, while a reader
// that gathers console text before it reads would still be asleep (2 ms). A loaded machine may keep the
// reader from running that soon, so the unplugging is tried three times; a gathering reader loses the
// text every time.
TEST_F(PortLinkTest, TheLastWordsBeforeAHangUpAreShown) {
    EXPECT_TRUE(lastWordsShown("", "last words"));
}

// A streaming slow line, or one that moves its screen by a screenful within half a paint period, is
// read once a paint, just before it (half a period sooner while the driver's buffer would fill first);
// a fast line that moves its screen less, a slow one while the host paints at the display's pace, a host
// with no paint clock, or the first text after a pause, keep the short gathers.
TEST(ConsoleGather, LinesReadJustBeforeThePaintWhereNothingShowsSooner) {
    using std::chrono::steady_clock;
    const auto now = steady_clock::now();
    const auto after = [&](steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
    };
    const auto slow = std::chrono::milliseconds(2);  // 23 bytes in 2 ms: 115200 baud
    setNextPaintDue({}, {});
    EXPECT_EQ(after(consoleGatherEnd(23, 1, slow, now)), 2000);
    setNextPaintDue(now + 10ms, 12ms);
    EXPECT_EQ(after(consoleGatherEnd(23, 1, slow, now)), 9500);
    // The first read after a pause: maybe last words.
    EXPECT_EQ(after(consoleGatherEnd(5, 0, {}, now)), 2000);
    EXPECT_EQ(after(consoleGatherEnd(184, 6, 2ms, now)), 2000);   // 921600 baud: a screenful in 11.7 ms
    EXPECT_EQ(after(consoleGatherEnd(600, 18, 2ms, now)), 9500);  // 3 Mbaud: a screenful in 3.9 ms
    setNextPaintDue(now + 1ms, 12ms);  // too soon for this gather: the paint after it
    EXPECT_EQ(after(consoleGatherEnd(23, 1, slow, now)), 12500);
    setNextPaintDue(now + 40ms, 40ms);  // a host that paints seldom does not hold text back a frame
    EXPECT_EQ(after(consoleGatherEnd(23, 1, slow, now)), 17000);
    setNextPaintDue(now + 16ms, 16ms, true);  // the display's pace
    EXPECT_EQ(after(consoleGatherEnd(23, 1, slow, now)), 2000);
    EXPECT_EQ(after(consoleGatherEnd(184, 6, 2ms, now)), 2000);
    // 3 Mbaud: 3 KiB would wait after 10.2 ms, so the read comes half a period before the paint's.
    EXPECT_EQ(after(consoleGatherEnd(600, 18, 2ms, now)), 7500);
    EXPECT_EQ(after(consoleGatherEnd(3000, 90, 2ms, now)), 4000);  // never shorter than a flood's gather
    setNextPaintDue({}, {});
}

// With the host's paint far off, a line already streaming lets its text gather for the longest gather.
TEST_F(PortLinkTest, WhatTheBoxAnswersDuringAGatherIsReadAtOnce) {
    setNextPaintDue(std::chrono::steady_clock::now() + 1h, 12ms);
    PtyPair box;
    PortSession& s = open(kWin1, 1, box);
    std::this_thread::sleep_for(20ms);  // the reader waits for the line
    auto fastest = std::chrono::steady_clock::duration::max();
    int long_gathers = 0;
    const auto shows = [&](const std::string& t) { return screenText(s, 0).find(t) != std::string::npos; };
    for (int attempt = 0; attempt < 5 && long_gathers < 2; ++attempt) {
        const std::string n = std::to_string(attempt);
        box.send("a" + n + " ");
        ASSERT_TRUE(eventually([&] { return shows("a" + n + " "); }));
        // Comes during the short gather after the first read, so its read begins the long one.
        const auto sent = std::chrono::steady_clock::now();
        box.send("b" + n + " ");
        ASSERT_TRUE(eventually([&] { return shows("b" + n + " "); }));
        std::this_thread::sleep_for(4ms);
        if (s.consoleGathering.load() == 1) {  // else the machine was too slow for the short gather
            ++long_gathers;
            const uint8_t key = 'x';
            portWrite(s, &key, 1);
            box.send("answer" + n + " ");
            ASSERT_TRUE(eventually([&] { return shows("answer" + n + " "); }));
            fastest = std::min(fastest, std::chrono::steady_clock::now() - sent);
        }
        std::this_thread::sleep_for(40ms);  // the line falls quiet
    }
    ASSERT_GT(long_gathers, 0);
    // Without the wake the answer waits for the end of a gather that began after `sent` and lasts 17 ms.
    EXPECT_LT(fastest, 12ms);
}

TEST_F(PortLinkTest, TheFirstTextAfterAPauseIsNotHeldForThePaint) {
    // A box's last words may come in two pieces just before it resets: the gather after the first
    // piece must not outlast the second.
    setNextPaintDue(std::chrono::steady_clock::now() + 1h, 12ms);
    EXPECT_TRUE(lastWordsShown("last ", "words"));
}

TEST_F(PortLinkTest, LineSettingsFollowTheSession) {
    PortSession& s = open(kWin1, 1, pty);
    termios t{};
    ASSERT_EQ(::tcgetattr(s.port.get(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR), 0u) << "raw: no byte is translated";
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);

    s.baudRate = 38400;
    EXPECT_NE(applyLineSettings(kWin1), 0);
    ASSERT_EQ(::tcgetattr(s.port.get(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B38400);
    s.baudRate = 12345;  // no such line speed: refused, the port keeps its settings
    EXPECT_EQ(applyLineSettings(kWin1), 0);
    ASSERT_EQ(::tcgetattr(s.port.get(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B38400);
}

TEST(LineSettings, MapEveryFieldToTermios) {
    // Pseudo-terminals drop parity bits, so the mapping itself is checked here.
    struct Case {
        uint8_t byteSize, parity, stopBits, flow;
        tcflag_t cflagSet, iflagSet;
    };
    const Case cases[] = {
        {8, 0, 0, 0, CS8, 0},
        {7, 1, 0, 0, CS7 | PARENB | PARODD, INPCK},
        {8, 2, 2, 0, CS8 | PARENB | CSTOPB, INPCK},
        {8, 3, 0, 0, CS8 | PARENB | CMSPAR | PARODD, INPCK},
        {8, 4, 1, 0, CS8 | PARENB | CMSPAR | CSTOPB, INPCK},
        {8, 0, 0, 0x2, CS8 | CRTSCTS, 0},
        {8, 0, 0, 0x4, CS8, IXON | IXOFF},
    };
    const tcflag_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const Case& c : cases) {
        PortSession s;
        s.baudRate = 57600;
        s.byteSize = c.byteSize;
        s.parity = c.parity;
        s.stopBits = c.stopBits;
        s.flowControl = c.flow;
        termios t{};
        t.c_cflag = PARODD | CSTOPB;  // whatever the device had must not leak through
        ASSERT_TRUE(fillLineSettings(s, t));
        EXPECT_EQ(t.c_cflag & cmask, c.cflagSet) << int(c.byteSize) << int(c.parity) << int(c.stopBits);
        EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), c.iflagSet);
        EXPECT_EQ(::cfgetospeed(&t), B57600);
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    }
    PortSession bad;
    bad.baudRate = 115200;
    bad.byteSize = 9;
    termios t{};
    EXPECT_FALSE(fillLineSettings(bad, t));
    EXPECT_EQ(writeTimeoutMs(115200, 10), 2020u);
    EXPECT_EQ(writeTimeoutMs(38400, 10), 2060u);
}

// Write failures and line errors, on a socket pair standing in for a port.
class ErrorMarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // a socket stands in for the port; a tty never raises it
        ASSERT_EQ(createSession(kWin1, 1), 1);
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
        s().port.reset(sv[0]);
        far.reset(sv[1]);
        savedCounters = readLineCounters;
    }
    void TearDown() override {
        readLineCounters = savedCounters;
        s().port.reset();
    }
    PortSession& s() { return sessionTable[1]; }
    std::string row0() { return screenRow(s(), 0); }

    RecordingHost host;
    UniqueFd far;
    bool (*savedCounters)(int, LineCounters&);
};

LineCounters fakeCounters;
bool fakeRead(int, LineCounters& out) {
    out = fakeCounters;
    return true;
}

TEST_F(ErrorMarkTest, LineErrorBitsComeFromCounterGrowth) {
    EXPECT_EQ(lineErrorBits({0, 0, 0, 0, 0}, {0, 0, 0, 1, 0}), 0x8u);
    EXPECT_EQ(lineErrorBits({1, 2, 3, 4, 5}, {2, 2, 4, 4, 6}), 0x1u | 0x4u | 0x10u);
    EXPECT_EQ(lineErrorBits({1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}), 0u);
}

TEST_F(ErrorMarkTest, WriteFailingAtOnceShowsLineErrorsOnlyWhenAsked) {
    readLineCounters = fakeRead;
    fakeCounters = {0, 0, 0, 0, 0};
    (void)takeLineErrors(s());
    far.reset();                     // the far end is gone: the write fails at once
    fakeCounters = {0, 0, 0, 1, 0};  // a framing error meanwhile
    EXPECT_EQ(portPutByte(s(), 'a'), 0);
    EXPECT_EQ(row0().substr(0, 6), "<CE-8>");

    fakeCounters = {0, 0, 0, 2, 0};
    s().displayErrors = 0;
    EXPECT_EQ(portPutByte(s(), 'a'), 0);
    EXPECT_EQ(row0().substr(6, 6), std::string(6, ' ')) << "no mark with displayErrors clear";
}

TEST_F(ErrorMarkTest, AWriteCutShortByDisconnectIsMarkedNotPassedOff) {
    // Fill the socket so the next write has to wait, then wake the session as a disconnect does.
    std::vector<uint8_t> block(1 << 16, 0x55);
    while (::write(s().port.get(), block.data(), block.size()) > 0) {
    }
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        wakeSession(s());
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(portWrite(s(), block.data(), block.size()), 1);
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(row0().substr(0, 7), "<CE-7D>") << "ECANCELED, in upper-case hexadecimal";
}

TEST_F(ErrorMarkTest, PrintfAndPutByteWriteExactBytes) {
    EXPECT_EQ(portPrintf(s(), "%8u\r", 5u), 1);
    EXPECT_EQ(portPutByte(s(), 0x1DA), 1);
    char buf[32];
    ssize_t n = ::read(far.get(), buf, sizeof buf);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(std::string(buf, 10), std::string("       5\r\xDA", 10));
}

}  // namespace
}  // namespace dl

namespace dl {
namespace {

// Puts a replaced system call back however the test ends.
template <class Fn>
struct Restore {
    Fn& slot;
    Fn saved;
    explicit Restore(Fn& f) : slot(f), saved(f) {}
    ~Restore() { slot = saved; }
};

// A pseudo-terminal outlives its holders while its master is open, so a flag left on it by a holder
// that was killed would refuse every later open of a normal user: there the lock alone keeps others
// out, and it ends with the connection (also with a connect that fails after taking it).
TEST_F(PortLinkTest, ExclusiveUseEndsWithTheConnection) {
    UniqueFd other(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other.valid());
    int exclusive = -1;
    open(kWin1, 1, pty);
    ASSERT_EQ(::ioctl(other.get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "no flag that a killed holder could leave behind";
    EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0) << "held while connected";
    disconnectPort(kWin1);
    ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);

    Restore keep(setLineAttributes);
    setLineAttributes = [](int, const termios&) { return -1; };
    EXPECT_EQ(connectPort(kWin1), 0);
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
}

// tcsetattr answers 0 when any part of the change took effect; a device that drops the handshake
// must still read as refusing the settings.
TEST_F(PortLinkTest, SettingsTakenOnlyInPartAreRefused) {
    PortSession& s = open(kWin1, 1, pty);
    Restore keep(setLineAttributes);
    setLineAttributes = [](int fd, const termios& t) {
        termios partial = t;
        partial.c_cflag &= ~CRTSCTS;
        return ::tcsetattr(fd, TCSANOW, &partial);
    };
    s.flowControl = 0x2;
    EXPECT_EQ(applyLineSettings(kWin1), 0);
    s.flowControl = 0;
    EXPECT_NE(applyLineSettings(kWin1), 0) << "what the device took whole is accepted";
}

TEST_F(PortLinkTest, AReaderThatCannotWaitEndsAsALostLine) {
    Restore keep(pollLine);
    pollLine = [](pollfd*, nfds_t, int) {
        errno = EINVAL;
        return -1;
    };
    PortSession& s = open(kWin1, 1, pty);
    ASSERT_TRUE(eventually([&] { return s.readerThreadId.load() == 0; }));
    bool posted = false;
    for (const auto& p : host.postsCopy()) posted |= p.window == kWin1 && p.command == cmdLineLost;
    EXPECT_TRUE(posted) << "the window is told, so it disconnects";
    EXPECT_TRUE(eventually([&] { return screenText(s, 0).substr(0, 7) == "<CE-16>"; }));
}

// One exchange runs in the program: another box's console text must neither feed it nor end it,
// and its own screen shows it.
TEST_F(PortLinkTest, AnotherBoxDoesNotFeedTheRunningExchange) {
    PtyPair other;
    std::atomic<int> fedA{0}, fedB{0};
    receiveHandlers().runReceiveMachine = [&](PortSession& s, int state, std::span<const uint8_t>) {
        ++(s.window.load() == kWin1 ? fedA : fedB);
        return state;
    };
    PortSession& a = open(kWin1, 1, pty);
    PortSession& b = open(kWin2, 2, other);
    protocolMode = modeDataReceive;
    transferState = 2;
    transferOwner = 1;
    other.send("console of box B\r\n");
    ASSERT_TRUE(eventually([&] { return screenText(b, 0).substr(0, 16) == "console of box B"; }));
    pty.send("h:vex");
    ASSERT_TRUE(eventually([&] { return fedA.load() == 1; }));
    EXPECT_EQ(fedB.load(), 0);
    EXPECT_EQ(screenText(a, 0), std::string(80, ' ')) << "the owner's exchange bytes stay hidden";
    transferOwner = 0;
}

}  // namespace
}  // namespace dl
