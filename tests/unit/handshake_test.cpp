#include "protocol/handshake.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/commands.h"
#include "exchange/handlers.h"
#include "serial/reader.h"
#include "session/protocol_state.h"
#include "session/terminal.h"
#include "support/machine_feed.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using test::asBytes;
using test::describe;
using test::Feed;
using test::writesOf;
auto everyFeed() {
    return test::everyFeed(9);
}

using namespace std::string_literals;

constexpr WindowId kWin = 0xF00D;
const std::string kAnswerFrame = "\x1b\xda\xdd"s + "s:send id";
const std::string kRequestFrame = "\x1b\xda\xaa"s + "h:down_data";

class Handshake : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }
    void prepare() {
        resetTransfer(t);
        s.window = kWin;
        s.fileSize = 40000;
        out = Effects{};
    }
    int detect(std::string_view block, uint32_t tick) {
        return detectHandshake(t, s, asBytes(block), tick, out);
    }
    void expectUntouched() {
        EXPECT_EQ(describe(out), describe(Effects{}));
        EXPECT_FALSE(out.nextMode) << "the line stays with the detector";
        EXPECT_FALSE(out.nextState);
    }

    TransferRecord t;
    PortSession s;
    Effects out;
};

TEST_F(Handshake, AnswerFrameStartsTheSendAndConsumesItsBlock) {
    // Console text before the frame is part of the block; the size request after it is not examined.
    EXPECT_EQ(detect("ready\r\n" + kAnswerFrame + "s:send size\r", 100), handshakeSend);
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"h:vexon\r"});
    EXPECT_TRUE(out.posts.empty());
    EXPECT_EQ(out.nextMode, modeDataSend);
    EXPECT_EQ(out.nextState, 2);
    EXPECT_EQ(t.inEscape, 0);
    EXPECT_EQ(t.escapeLength, 0);
}

TEST_F(Handshake, RequestFrameStartsTheReceiveAndTellsTheFrame) {
    t.token.length = 5;
    EXPECT_EQ(detect(kRequestFrame + "h:vexon\r", 100), handshakeReceive);
    EXPECT_EQ(writesOf(out), (std::vector<std::string>{"\x1b", "\xda", "\xdd", "s:send id"}));
    ASSERT_EQ(out.posts.size(), 1u);
    EXPECT_EQ(out.posts[0], (PostedCommand{0, cmdReceiveNotify, 0}));
    EXPECT_EQ(out.nextMode, modeDataReceive);
    EXPECT_EQ(out.nextState, 2) << "the identification after the frame is not examined";
    EXPECT_EQ(t.token.length, 0);
    EXPECT_EQ(t.inEscape, 0);
}

TEST_F(Handshake, FramesAreRecognisedHoweverTheBlocksFall) {
    struct Case {
        std::string stream;
        int result;
    };
    for (const Case& c : {Case{"boot ok\r\n\x1b" + kAnswerFrame, handshakeSend},
                          Case{"\x1b\xda\xdd junk\r\n" + kRequestFrame, handshakeReceive}}) {
        std::string first;
        for (const Feed& f : everyFeed()) {
            SCOPED_TRACE(testing::PrintToString(c.stream) + " " + f.name);
            prepare();
            uint32_t tick = 90000;
            size_t at = 0;
            int result = 0;
            const auto sizes = f.sizes(c.stream.size());
            for (size_t i = 0; i < sizes.size(); ++i) {
                result = detect(std::string_view(c.stream).substr(at, sizes[i]), tick);
                at += sizes[i];
                tick += 40;
                if (i + 1 < sizes.size()) {
                    ASSERT_EQ(result, handshakeNone) << "only the last block completes it";
                }
            }
            EXPECT_EQ(result, c.result);
            std::string outcome = describe(out) + " mode=" + std::to_string(out.nextMode.value_or(-1)) +
                                  " state=" + std::to_string(out.nextState.value_or(-1));
            if (first.empty()) first = outcome;
            EXPECT_EQ(outcome, first);
        }
    }
}

TEST_F(Handshake, EveryByteMustArriveWithinTwoSecondsOfItsEscape) {
    struct Case {
        uint32_t start, gap;
        int result;
    };
    // The third case wraps the tick counter: the difference is taken unsigned.
    for (Case c : {Case{5000, 1500, handshakeSend}, Case{5000, 2000, handshakeSend},
                   Case{0xFFFFFC00u, 1280, handshakeSend}, Case{5000, 2001, handshakeNone},
                   Case{0xFFFFFC00u, 2001, handshakeNone}}) {
        SCOPED_TRACE(testing::Message() << "start=" << c.start << " gap=" << c.gap);
        prepare();
        EXPECT_EQ(detect(kAnswerFrame.substr(0, 7), c.start), handshakeNone);
        EXPECT_EQ(detect(kAnswerFrame.substr(7), c.start + c.gap), c.result);
        if (c.result == handshakeNone) {
            EXPECT_EQ(t.inEscape, 0) << "a late byte closes the frame";
            expectUntouched();
        } else {
            EXPECT_EQ(out.nextMode, modeDataSend);
        }
    }
}

TEST_F(Handshake, ALateByteEndsTheBlockSoAnEscapeAfterItIsNotSeen) {
    EXPECT_EQ(detect("\x1b\xda", 1000), handshakeNone);
    EXPECT_EQ(detect("x" + kAnswerFrame, 3001), handshakeNone);
    EXPECT_EQ(t.inEscape, 0);
    expectUntouched();
    // The next block is examined again.
    EXPECT_EQ(detect(kAnswerFrame, 3002), handshakeSend);
}

TEST_F(Handshake, TheLimitCountsFromTheLatestEscape) {
    EXPECT_EQ(detect("\x1b\xda\xdds:se", 1000), handshakeNone);
    EXPECT_EQ(detect("\x1b\xda\xdds:se", 2900), handshakeNone);
    EXPECT_EQ(detect("nd id", 4000), handshakeSend);
}

TEST_F(Handshake, AFrameThatDiffersAtItsLengthNeverMatchesAfterwards) {
    EXPECT_EQ(detect("\x1b\xda\xdds:send ie", 10), handshakeNone);
    EXPECT_EQ(t.inEscape, 1) << "the frame stays open until the time limit or a new ESC";
    EXPECT_EQ(detect("d\r\ns:send id", 20), handshakeNone);
    expectUntouched();
    EXPECT_EQ(detect(kAnswerFrame, 30), handshakeSend);
}

TEST_F(Handshake, KindTextAndCaseMustAllMatch) {
    for (std::string block : {"\x1b\xda\xdd"s + "h:down_data", "\x1b\xda\xaa"s + "s:send id",
                              "\x1b\xda\xdd"s + "S:send id", "\x1b\xda\xab"s + "h:down_data",
                              "\x1b\xdb\xdd"s + "s:send id", "s:send id\xda\xdd"s + "h:down_data"}) {
        SCOPED_TRACE(testing::PrintToString(block));
        prepare();
        EXPECT_EQ(detect(block, 10), handshakeNone);
        expectUntouched();
    }
}

TEST_F(Handshake, FirstByteIsCheckedOnceTwoAreCollected) {
    EXPECT_EQ(detect("\x1b\x41", 10), handshakeNone);
    EXPECT_EQ(t.inEscape, 1);
    EXPECT_EQ(detect("\xda", 10), handshakeNone);
    EXPECT_EQ(t.inEscape, 0);
    EXPECT_EQ(detect("\xdds:send id", 10), handshakeNone) << "without an open frame bytes are ignored";
    expectUntouched();
}

TEST_F(Handshake, AnEscapeInsideAFrameStartsItAfresh) {
    EXPECT_EQ(detect("\x1b\xda\xdds:se" + kAnswerFrame, 10), handshakeSend);
}

TEST_F(Handshake, EscapeBufferHoldsThirtyTwoBytesAndAFrameIsClosedAtTheThirtyThird) {
    const std::string frame = "\x1b\xda\xdd"s + std::string(30, 'z');
    EXPECT_EQ(detect(frame, 10), handshakeNone);
    EXPECT_EQ(t.inEscape, 1);
    EXPECT_EQ(t.escapeLength, 32);
    EXPECT_EQ(detect(std::string(200, 'q'), 20), handshakeNone);
    EXPECT_EQ(t.inEscape, 0);
    EXPECT_EQ(t.escapeLength, 32);
    EXPECT_EQ(std::string(t.escapeBuffer.begin(), t.escapeBuffer.end()), frame.substr(1));
    EXPECT_EQ(t.sendSize.load(), 0u);
    expectUntouched();
    EXPECT_EQ(detect(kRequestFrame, 30), handshakeReceive);
}

// The reader's side: the installed handlers run the machines on the process-wide record and carry out
// what they asked for on the session's port, screen, semaphore and windows.
class ProtocolHandlers : public ::testing::Test {
protected:
    void SetUp() override {
        saved = receiveHandlers();
        installProtocolHandlers();
        protocolMode = modeIdle;
        transferState = 0;
        resetTransfer(transfer);
        ASSERT_EQ(createSession(kWin, 3), 1);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session().port.reset(fds[0]);
        peer.reset(fds[1]);
        session().connected = 1;
        windowHost().progressChanged = [this](WindowId w) { repaints.push_back(w); };
    }
    void TearDown() override {
        receiveHandlers() = saved;
        session().connected = 0;
        session().port.reset();
        resetTransfer(transfer);
        protocolMode = modeIdle;
        transferState = 0;
    }
    PortSession& session() { return sessionTable[3]; }
    void route(std::string_view piece) { routePiece(session(), asBytes(piece)); }
    std::string sentToBox() {
        char buffer[512];
        ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

    ReceiveHandlers saved;
    test::RecordingHost host;
    UniqueFd peer;
    std::vector<WindowId> repaints;
};

TEST_F(ProtocolHandlers, AReceiveRunsThroughTheReaderWithItsEffectsCarriedOut) {
    // What reached the frame; the reader may tell the session window about the end of the exchange too.
    auto toFrame = [&] {
        std::vector<std::pair<uint16_t, intptr_t>> posts;
        for (const auto& p : host.postsCopy()) {
            if (p.window == 0) posts.emplace_back(p.command, p.param);
        }
        return posts;
    };
    using Posts = std::vector<std::pair<uint16_t, intptr_t>>;
    route("noise " + kRequestFrame);
    EXPECT_EQ(sentToBox(), kAnswerFrame);
    EXPECT_EQ(toFrame(), (Posts{{cmdReceiveNotify, 0}}));
    EXPECT_EQ(protocolMode.load(), modeDataReceive);
    EXPECT_EQ(transferState.load(), 2);

    route("h:vexon\r");
    EXPECT_EQ(sentToBox(), "s:send size\r");
    route("     128");
    EXPECT_EQ(sentToBox(), "s:send data\r");
    route("\r");
    EXPECT_EQ(transferState.load(), 5);
    route(std::string(64, 'a'));
    route(std::string(64, 'b'));
    EXPECT_EQ(repaints, std::vector<WindowId>{kWin}) << "0 percent, then 50 percent: one change";
    EXPECT_EQ(sentToBox(), "s:send sum\r");
    EXPECT_EQ(transferState.load(), 6);
    route(formatDecimalField(64u * 'a' + 64u * 'b') + "\r");
    EXPECT_EQ(sentToBox(), "s:done!\r");
    EXPECT_EQ(toFrame(), (Posts{{cmdReceiveNotify, 0}, {cmdReceiveNotify, 128}}));
    EXPECT_EQ(transferState.load(), 0);
}

TEST_F(ProtocolHandlers, ARefusedSizeLeavesItsMarkOnTheScreen) {
    route(kRequestFrame);
    route("h:vexon\r");
    (void)sentToBox();
    route("  262145");
    EXPECT_EQ(transferState.load(), 0);
    EXPECT_EQ(sentToBox(), "");
    EXPECT_EQ(screenRow(session(), 0).substr(0, 7), "<CE-1B>");
}

TEST_F(ProtocolHandlers, ProgrammingLinesReleaseTheSectorSemaphore) {
    auto semaphore = sectorSemaphore();
    ASSERT_TRUE(semaphore);
    semaphore->tryAcquireFor(std::chrono::milliseconds(0));
    ASSERT_EQ(semaphore->count(), 0);
    session().sectorLineLength = static_cast<uint16_t>(kSectorLinePattern.size());
    protocolMode = modeProgramming;
    route("s:prog_sector 0");
    EXPECT_EQ(semaphore->count(), 0);
    route("01f\r\n");
    EXPECT_EQ(semaphore->count(), 1);
    EXPECT_EQ(session().requestedSector.load(), 0x1F);

    // A new run starts with nothing pending: a count left over (here the request above, never
    // served) must not let the new sender send a sector the box did not ask for. A stop in the same
    // piece still releases first, then the count is taken back; requests after the start count.
    session().startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
    session().stopLineLength = static_cast<uint16_t>(kStopLinePattern.size());
    route("s:prog_start 0010\r\n");
    EXPECT_EQ(semaphore->count(), 0);
    route("s:prog_stop 0000s:prog_start 0004\r\n");
    EXPECT_EQ(semaphore->count(), 0);
    route("s:prog_start 0004\r\ns:prog_sector 0002\r\n");
    EXPECT_EQ(semaphore->count(), 1);
    EXPECT_EQ(session().requestedSector.load(), 2);
}

}  // namespace
}  // namespace dl
