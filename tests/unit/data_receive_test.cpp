#include "protocol/data_receive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/commands.h"
#include "session/protocol_state.h"
#include "support/machine_feed.h"

namespace dl {
namespace {

using test::asBytes;
using test::describe;
using test::Feed;
using test::writesOf;
auto everyFeed() {
    return test::everyFeed(9, 8, true);
}

using namespace std::string_literals;

constexpr WindowId kWin = 0xCAFE;
constexpr uint8_t kUntouched = 0xEE;

std::string randomData(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng() & 0xFF);
    return data;
}

uint32_t sumOf(std::string_view data) {
    uint32_t sum = 0;
    for (char c : data) sum += static_cast<uint8_t>(c);
    return sum;
}

class DataReceive : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }
    void prepare() {
        resetTransfer(t);
        std::fill(t.receiveBuffer.begin(), t.receiveBuffer.end(), kUntouched);
        s.window = kWin;
        s.percent = 0;
        s.transferActive = 0;
        s.startTick = 0;
        out = Effects{};
        state = 2;
    }
    int run(int from, std::string_view block, uint32_t tick = 1) {
        state = runReceiveMachine(t, s, from, asBytes(block), tick, out);
        return state;
    }
    int accept(std::string_view block) {
        state = acceptDataBlock(t, s, 5, asBytes(block), out);
        return state;
    }
    // Hands the box's text to whichever handler the reader would choose for the current state.
    void boxSays(std::string_view text, const Feed& feed, uint32_t tick = 1) {
        size_t at = 0;
        for (size_t n : feed.sizes(text.size())) {
            const auto block = text.substr(at, n);
            if (state == 5)
                accept(block);
            else if (state > 0)
                run(state, block, tick);
            at += n;
        }
    }
    void boxSaysAtOnce(std::string_view text, uint32_t tick = 1) { boxSays(text, everyFeed()[0], tick); }
    // Through the size step and the start of the data, at once.
    void readyForData(uint32_t size) {
        state = 3;
        boxSaysAtOnce(formatDecimalField(size));
        ASSERT_EQ(state, 4);
        boxSaysAtOnce("\r");
        ASSERT_EQ(state, 5);
        out = Effects{};
    }
    std::string stored(size_t from, size_t count) {
        return std::string(t.receiveBuffer.begin() + static_cast<ptrdiff_t>(from),
                           t.receiveBuffer.begin() + static_cast<ptrdiff_t>(from + count));
    }

    TransferRecord t;
    PortSession s;
    Effects out;
    int state = 2;
};

TEST_F(DataReceive, TheRequestIsAnsweredWithoutLookingAtItsBlock) {
    t.token.length = 5;
    EXPECT_EQ(run(1, "h:vexon\r"), 2);
    EXPECT_EQ(writesOf(out), (std::vector<std::string>{"\x1b", "\xda", "\xdd", "s:send id"}));
    EXPECT_EQ(t.token.length, 0);
    EXPECT_TRUE(out.posts.empty());
}

TEST_F(DataReceive, AWholeReceiveEndsTheSameHoweverTheBlocksFall) {
    const std::string data = randomData(40000, 42);
    const uint32_t sum = sumOf(data);
    std::string first;
    for (const Feed& f : everyFeed()) {
        SCOPED_TRACE(f.name);
        prepare();
        t.runningChecksum = 77;
        t.receivedCount = 77;
        boxSays("h:vexon\r", f);
        boxSays("   40000", f);
        ASSERT_EQ(state, 4);
        EXPECT_EQ(t.receivedCount.load(), 0u);
        EXPECT_EQ(t.runningChecksum.load(), 0u);
        // The box's start of the data is a block of its own: the block that starts the phase carries
        // no data, however long it is.
        boxSays("\r", f, 5000);
        ASSERT_EQ(state, 5);
        EXPECT_EQ(s.transferActive.load(), 1);
        boxSays(data, f);
        ASSERT_EQ(state, 6);
        EXPECT_EQ(s.transferActive.load(), 0);
        boxSays(formatDecimalField(sum) + "\r", f);
        EXPECT_EQ(state, 0);

        EXPECT_EQ(writesOf(out),
                  (std::vector<std::string>{"s:send size\r", "s:send data\r", "s:send sum\r", "s:done!\r"}));
        EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdReceiveNotify, 40000}}));
        EXPECT_EQ(stored(0, data.size()), data);
        EXPECT_EQ(t.receiveBuffer[data.size()], kUntouched);
        std::string outcome = describe(out) + " state=" + std::to_string(state) +
                              " count=" + std::to_string(t.receivedCount.load()) +
                              " sum=" + std::to_string(t.runningChecksum.load()) +
                              " start=" + std::to_string(s.startTick.load());
        if (first.empty()) first = outcome;
        EXPECT_EQ(outcome, first);
    }
}

TEST_F(DataReceive, ARefusedSizeEndsTheSameHoweverTheBlocksFall) {
    for (const Feed& f : everyFeed()) {
        SCOPED_TRACE(f.name);
        prepare();
        boxSays("\r\nh:vexon\r\n", f);
        boxSays("  300000\r", f);
        EXPECT_EQ(state, 0);
        Effects expected;
        addWrite(expected, "s:send size\r");
        expected.screenText = {"<CE-1B>"};
        EXPECT_EQ(describe(out), describe(expected));
    }
}

TEST_F(DataReceive, AWrongIdentificationEndsTheReceive) {
    for (std::string_view text : {"h:vexoN\rh:vexon\r", "xh:vexon\r", "H:VEXON\r"}) {
        SCOPED_TRACE(text);
        prepare();
        boxSaysAtOnce(text);
        EXPECT_EQ(state, 0);
        EXPECT_TRUE(out.writes.empty());
    }
}

TEST_F(DataReceive, SizeFieldIsTheEightCharactersAfterTheLastLineEnd) {
    t.runningChecksum = 5;
    t.receivedCount = 6;
    state = 3;
    // Whatever follows the field in its block is not examined: its CR would otherwise start the data.
    boxSaysAtOnce("junk\n   40000\rXYZ");
    EXPECT_EQ(state, 4);
    EXPECT_EQ(t.announcedSize.load(), 40000);
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"s:send data\r"});
    EXPECT_EQ(t.runningChecksum.load(), 0u);
    EXPECT_EQ(t.receivedCount.load(), 0u);
    EXPECT_EQ(s.transferActive.load(), 0);
}

TEST_F(DataReceive, SizesTheBufferCannotHoldAreRefusedBeforeTheDataIsAskedFor) {
    struct Case {
        std::string_view field;
        bool accepted;
    };
    for (Case c : {Case{"  262144", true}, Case{"       0", true}, Case{"  262145", false},
                   Case{"99999999", false}, Case{"      -1", false}, Case{"-2147483", false}}) {
        SCOPED_TRACE(c.field);
        prepare();
        // What an earlier receive left for saving must survive a refusal.
        t.receivedCount = 1234;
        t.runningChecksum = 999;
        t.announcedSize = 1234;
        state = 3;
        boxSaysAtOnce(c.field);
        if (c.accepted) {
            EXPECT_EQ(state, 4);
            EXPECT_EQ(writesOf(out), std::vector<std::string>{"s:send data\r"});
            EXPECT_TRUE(out.screenText.empty());
        } else {
            EXPECT_EQ(state, 0);
            EXPECT_TRUE(out.writes.empty());
            EXPECT_EQ(out.screenText, std::vector<std::string>{"<CE-1B>"});
            EXPECT_EQ(t.receivedCount.load(), 1234u);
            EXPECT_EQ(t.runningChecksum.load(), 999u);
            EXPECT_EQ(t.announcedSize.load(), 1234);
        }
    }
}

TEST_F(DataReceive, DataStartsAtALineEndOrAnAcceptedByte) {
    // A line end starts it and drops the rest of the block.
    t.announcedSize = 40000;
    EXPECT_EQ(run(4, "\x01\t\rDATA", 7000), 5);
    EXPECT_EQ(s.startTick.load(), 7000u);
    EXPECT_EQ(s.transferActive.load(), 1);
    EXPECT_EQ(t.token.length, 0);
    EXPECT_EQ(t.receivedCount.load(), 0u);
    EXPECT_EQ(t.receiveBuffer[0], kUntouched);

    // Control bytes alone do not.
    prepare();
    t.announcedSize = 40000;
    EXPECT_EQ(run(4, "\x01\x02\t\x1b", 8000), 4);
    EXPECT_EQ(s.transferActive.load(), 0);
    EXPECT_EQ(s.startTick.load(), 0u);

    // A byte the full collector cannot take is not accepted, so it starts nothing.
    t.token.length = 80;
    EXPECT_EQ(run(4, "xyz", 8000), 4);
    EXPECT_EQ(s.transferActive.load(), 0);
    t.token.length = 0;

    // An accepted byte starts it; the rest of its block is still read as text, not stored as data.
    EXPECT_EQ(run(4, "go\r\nab", 9000), 5);
    EXPECT_EQ(s.startTick.load(), 9000u);
    EXPECT_EQ(t.token.length, 2);
    EXPECT_EQ(t.receivedCount.load(), 0u);
    EXPECT_TRUE(out.writes.empty());
}

TEST_F(DataReceive, TextLeftByTheStartingBlockCountsTowardsTheChecksumField) {
    state = 3;
    boxSaysAtOnce("       3");
    boxSaysAtOnce("go\r\n  ");  // two blanks stay in the collector through the data phase
    ASSERT_EQ(state, 5);
    accept("abc");
    ASSERT_EQ(state, 6);
    ASSERT_EQ(t.runningChecksum.load(), 294u);
    out = Effects{};
    // The box's whole field would now be read as "       2".
    TransferRecord copy;
    copy.token = t.token;
    copy.runningChecksum = 294;
    EXPECT_EQ(runReceiveMachine(copy, s, 6, asBytes("     294"), 1, out), 0);
    EXPECT_TRUE(out.writes.empty());
    // Six more characters complete it.
    EXPECT_EQ(run(6, "   294"), 0);
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"s:done!\r"});
}

TEST_F(DataReceive, TheBlockThatCompletesTheSizeKeepsOnlyWhatIsMissing) {
    readyForData(228);
    std::string firstBlock(128, '\0');
    std::iota(firstBlock.begin(), firstBlock.end(), 1);
    const std::string secondBlock(128, '\xF0');
    EXPECT_EQ(accept(firstBlock), 5);
    EXPECT_TRUE(out.writes.empty());
    EXPECT_EQ(accept(secondBlock), 6);
    EXPECT_EQ(t.receivedCount.load(), 228u);
    EXPECT_EQ(t.runningChecksum.load(), sumOf(firstBlock) + 100u * 0xF0);
    EXPECT_EQ(stored(0, 128), firstBlock);
    EXPECT_EQ(stored(128, 100), std::string(100, '\xF0'));
    EXPECT_EQ(stored(228, 28), std::string(28, static_cast<char>(kUntouched))) << "28 bytes dropped";
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"s:send sum\r"});
    EXPECT_EQ(s.transferActive.load(), 0);
}

TEST_F(DataReceive, PercentageTrailsByOneBlockAndRepaintsOnlyOnChange) {
    readyForData(512);
    const std::string block(128, 'd');
    struct Step {
        uint32_t percent;
        bool repaint;
    };
    std::vector<Step> seen;
    for (int i = 0; i < 4; ++i) {
        out = Effects{};
        accept(block);
        seen.push_back({s.percent.load(), out.progressChanged});
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].percent, 0u);
    EXPECT_FALSE(seen[0].repaint);
    EXPECT_EQ(seen[1].percent, 25u);
    EXPECT_TRUE(seen[1].repaint);
    EXPECT_EQ(seen[2].percent, 50u);
    EXPECT_EQ(seen[3].percent, 75u) << "the block that completes the data is not counted";
    EXPECT_EQ(state, 6);
}

// A box may send no data block for an empty upload: waiting for one would wait for ever.
TEST_F(DataReceive, AnEmptyTransferCompletesAtTheStartOfItsDataAtOneHundredPercent) {
    state = 3;
    boxSaysAtOnce(formatDecimalField(0));
    ASSERT_EQ(state, 4);
    out = Effects{};
    boxSaysAtOnce("\r");
    EXPECT_EQ(state, 6);
    EXPECT_EQ(t.receivedCount.load(), 0u);
    EXPECT_EQ(t.runningChecksum.load(), 0u);
    EXPECT_EQ(t.receiveBuffer[0], kUntouched);
    EXPECT_EQ(s.percent.load(), 100u);
    EXPECT_TRUE(out.progressChanged);
    EXPECT_EQ(s.transferActive.load(), 0);
    boxSaysAtOnce("       0\r");
    EXPECT_EQ(state, 0);
    EXPECT_EQ(writesOf(out), (std::vector<std::string>{"s:send sum\r", "s:done!\r"}));
    // lParam 0 would tell the frame that a receive begins; the completion must read as one.
    ASSERT_EQ(out.posts.size(), 1u);
    EXPECT_EQ(out.posts[0].command, cmdReceiveNotify);
    EXPECT_EQ(out.posts[0].param, kReceiveDoneEmpty);
}

TEST_F(DataReceive, ChecksumFieldIsComparedAsThirtyTwoBits) {
    struct Case {
        uint32_t sum;
        std::string_view field;
        bool match;
    };
    for (Case c : {Case{294, "     294", true}, Case{294, "     295", false}, Case{12345, "12345   ", true},
                   Case{12345, "+0012345", true}, Case{12345, "1234 5  ", false},
                   Case{0xFFFFFFFFu, "      -1", true}, Case{0xFFFFFF85u, "    -123", true}}) {
        SCOPED_TRACE(c.field);
        prepare();
        t.announcedSize = 4096;
        t.runningChecksum = c.sum;
        state = 6;
        boxSaysAtOnce(std::string(c.field) + "\rs:done!\r");
        EXPECT_EQ(state, 0);
        if (c.match) {
            EXPECT_EQ(writesOf(out), std::vector<std::string>{"s:done!\r"});
            EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdReceiveNotify, 4096}}));
        } else {
            EXPECT_EQ(describe(out), describe(Effects{})) << "a mismatch is not confirmed nor reported";
        }
    }
}

TEST_F(DataReceive, AFullBufferOfOnesFitsTheEightColumnFields) {
    readyForData(262144);
    const std::string block(128, '\xFF');
    for (int i = 0; i < 262144 / 128 && state == 5; ++i) accept(block);
    ASSERT_EQ(state, 6);
    EXPECT_EQ(t.receivedCount.load(), 262144u);
    EXPECT_EQ(t.runningChecksum.load(), 66846720u);
    boxSaysAtOnce("66846720\r");
    EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdReceiveNotify, 262144}}));
}

TEST_F(DataReceive, DataIsNeverStoredPastTheBufferWhateverTheRecordSays) {
    // A record that never went through the size step (a fuzzer's, say) still cannot overrun.
    t.announcedSize = 1000000;
    t.receivedCount = static_cast<uint32_t>(kReceiveCapacity - 10);
    state = 5;
    accept(std::string(128, 'z'));
    EXPECT_EQ(t.receivedCount.load(), kReceiveCapacity);
    EXPECT_EQ(stored(kReceiveCapacity - 10, 10), std::string(10, 'z'));
    EXPECT_EQ(t.runningChecksum.load(), 10u * 'z');
    accept(std::string(128, 'z'));
    EXPECT_EQ(t.receivedCount.load(), kReceiveCapacity);
}

}  // namespace
}  // namespace dl
