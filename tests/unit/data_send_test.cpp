#include "protocol/data_send.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
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
using test::Feed;
using test::writesOf;
std::string describe(const Effects& e) {
    return test::describe(e, true);
}
auto everyFeed() {
    return test::everyFeed(7);
}

using namespace std::string_literals;

class DataSend : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }
    void prepare() {
        resetTransfer(t);
        s.fileSize = 40000;
        out = Effects{};
        state = 1;
    }
    int run(int from, std::string_view block) {
        state = runSendMachine(t, s, from, asBytes(block), out);
        return state;
    }
    // What the box says after it waited for our answer, cut into blocks as `feed` says. Blocks reach
    // the machine only in the states the reader gives it: never while idle or while the file streams.
    void boxSays(std::string_view text, const Feed& feed) {
        size_t at = 0;
        for (size_t n : feed.sizes(text.size())) {
            if (state > 0 && state != 4) run(state, text.substr(at, n));
            at += n;
        }
    }
    void boxSaysAtOnce(std::string_view text) { boxSays(text, everyFeed()[0]); }

    TransferRecord t;
    PortSession s;
    Effects out;
    int state = 1;
};

TEST_F(DataSend, AWholeSendEndsTheSameHoweverTheBlocksFall) {
    std::string first;
    for (const Feed& f : everyFeed()) {
        SCOPED_TRACE(f.name);
        prepare();
        t.runningChecksum = 99;
        t.transferCount = 99;
        // The detector hands over the block that completed the answer frame.
        ASSERT_EQ(run(1, "\x1b\xda\xdd"s + "s:send id"), 2);
        boxSays("\r\ns:send size\r\n", f);
        ASSERT_EQ(state, 3);
        boxSays("s:send data\r", f);
        ASSERT_EQ(state, 4);
        EXPECT_EQ(t.runningChecksum.load(), 0u);
        EXPECT_EQ(t.transferCount.load(), 0u);
        // What the stream thread leaves behind when the file has gone out.
        t.runningChecksum = 305419896;
        t.transferCount = 40000;
        state = 5;
        boxSays("s:send sum\r", f);
        ASSERT_EQ(state, 6);
        boxSays("s:done!\r\n", f);
        EXPECT_EQ(state, 0);

        EXPECT_EQ(writesOf(out), (std::vector<std::string>{"h:vexon\r", "   40000\r", "305419896\r"}));
        EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdSendNotify, 40000}, {0, cmdSendNotify, 0}}));
        std::string outcome = describe(out) + " state=" + std::to_string(state) +
                              " token=" + std::to_string(t.token.length) +
                              " size=" + std::to_string(t.sendSize.load());
        if (first.empty()) first = outcome;
        EXPECT_EQ(outcome, first);
    }
}

TEST_F(DataSend, IdentificationGoesOutAtTheFirstAcceptedByteAndEndsTheBlock) {
    t.token.length = 3;
    EXPECT_EQ(run(1, "\r\n\x01\x1b"), 1) << "line ends and control bytes are not accepted";
    EXPECT_TRUE(out.writes.empty());
    EXPECT_EQ(run(1, "Xs:send size\r"), 2);
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"h:vexon\r"});
    EXPECT_EQ(t.token.length, 0);

    // A collector that is already full accepts nothing until a line end.
    prepare();
    t.token.length = 80;
    EXPECT_EQ(run(1, "abc"), 1);
    EXPECT_TRUE(out.writes.empty());
    EXPECT_EQ(run(1, "\rA"), 2);
    EXPECT_EQ(writesOf(out), std::vector<std::string>{"h:vexon\r"});
}

TEST_F(DataSend, SizeIsTheFileSizeAtTheRequestInEightColumnsOrMore) {
    struct Case {
        uint32_t size;
        std::string_view text;
    };
    for (Case c : {Case{40000, "   40000\r"}, Case{0, "       0\r"}, Case{32768, "   32768\r"},
                   Case{123456789, "123456789\r"}, Case{UINT32_MAX, "4294967295\r"}}) {
        SCOPED_TRACE(c.size);
        prepare();
        s.fileSize = c.size;
        EXPECT_EQ(run(2, "s:send size"), 3);
        EXPECT_EQ(writesOf(out), std::vector<std::string>{std::string(c.text)});
        EXPECT_EQ(t.sendSize.load(), c.size);
    }
    // The size announced is the one the data request reports, whatever the file does meanwhile.
    prepare();
    s.fileSize = 40000;
    run(2, "s:send size");
    s.fileSize = 5;
    t.runningChecksum = 17;
    t.transferCount = 4;
    EXPECT_EQ(run(3, "s:send data"), 4);
    EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdSendNotify, 40000}}));
    EXPECT_EQ(t.runningChecksum.load(), 0u);
    EXPECT_EQ(t.transferCount.load(), 0u);

    // An empty file must still start the data phase (where it is refused), not pass for the completion.
    prepare();
    s.fileSize = 0;
    run(2, "s:send size");
    EXPECT_EQ(run(3, "s:send data"), 4);
    ASSERT_EQ(out.posts.size(), 1u);
    EXPECT_NE(out.posts[0].param, 0);
}

TEST_F(DataSend, AWrongTokenAbandonsTheSendWithoutAWord) {
    struct Case {
        int state;
        std::string_view text;
    };
    // The rest of the block, a correct token included, is not examined.
    for (Case c : {Case{2, "s:send sizE\rs:send size\r"}, Case{2, "xs:send size\r"},
                   Case{3, "s:send dat!\rs:send data\r"}, Case{5, "s:send suM\rs:send sum\r"},
                   Case{6, "s:done?\rs:done!\r"}}) {
        for (const Feed& f : everyFeed()) {
            SCOPED_TRACE(testing::Message() << "state " << c.state << " " << c.text << " " << f.name);
            prepare();
            state = c.state;
            boxSays(c.text, f);
            EXPECT_EQ(state, 0);
            EXPECT_EQ(describe(out), describe(Effects{}));
            EXPECT_EQ(t.token.length, 0);
        }
    }
}

TEST_F(DataSend, TokensAreComparedOnlyWhenTheCountReachesTheirLength) {
    // Chatter cut off by line ends is harmless.
    state = 2;
    boxSaysAtOnce("garbage\r\nmore\rs:send size\r");
    EXPECT_EQ(state, 3);
    // A collector already past the length never compares until the next line end.
    prepare();
    t.token.length = 12;
    state = 2;
    boxSaysAtOnce("s:send size");
    EXPECT_EQ(state, 2);
    EXPECT_TRUE(out.writes.empty());
    boxSaysAtOnce("\ns:send size");
    EXPECT_EQ(state, 3);
}

TEST_F(DataSend, SumAndDoneMayShareABlockAndLaterBytesChangeNothing) {
    t.runningChecksum = 1044480;
    state = 5;
    boxSaysAtOnce("s:send sum\rs:done!\rs:send sum\rs:done!\rs:send");
    EXPECT_EQ(state, 0);
    EXPECT_EQ(t.token.length, 6) << "the rest of the block is still collected";
    EXPECT_EQ(writesOf(out), std::vector<std::string>{" 1044480\r"});
    EXPECT_EQ(out.posts, (std::vector<PostedCommand>{{0, cmdSendNotify, 0}}));
}

TEST_F(DataSend, WhileTheFileStreamsOrAfterTheEndTokensDoNothing) {
    for (int quiet : {0, 4}) {
        SCOPED_TRACE(quiet);
        prepare();
        EXPECT_EQ(run(quiet, "s:send size\rs:send data\rs:send sum\rs:done!\r"), quiet);
        EXPECT_EQ(describe(out), describe(Effects{}));
    }
}

TEST(ProgressPercent, RoundsToWholePercentWithoutOverflow) {
    struct Case {
        uint64_t done, total;
        uint32_t percent;
    };
    constexpr uint64_t kHuge = uint64_t{1} << 63;
    for (Case c :
         {Case{0, 40000, 0}, Case{128, 40000, 0}, Case{200, 40000, 1}, Case{180, 40000, 0},
          Case{39936, 40000, 100}, Case{39780, 40000, 99}, Case{40000, 40000, 100}, Case{80000, 40000, 200},
          Case{100, 228, 44}, Case{UINT32_MAX, UINT32_MAX, 100}, Case{UINT32_MAX / 2, UINT32_MAX, 50},
          Case{kHuge, kHuge, 100}, Case{kHuge / 4, kHuge, 25}, Case{0, 0, 100}, Case{128, 0, 100}}) {
        EXPECT_EQ(progressPercent(c.done, c.total), c.percent) << c.done << " of " << c.total;
    }
}

}  // namespace
}  // namespace dl
