#include "session/terminal.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_write.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using test::RecordingHost;

constexpr WindowId kWin = 0xBEEF;

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(createSession(kWin, 1), 1);
        host.clear();
    }
    PortSession& s() { return sessionTable[1]; }
    void write(std::string_view text) { ASSERT_EQ(terminalWrite(kWin, text), 1); }
    void moveTo(int row, int column) {
        std::lock_guard lock(s().screenMutex);
        s().row = row;
        s().column = column;
    }
    CursorPos cursor() { return cursorOf(s()); }
    std::string row(int r) { return screenRow(s(), r); }

    RecordingHost host;
};

TEST_F(TerminalTest, WrapAfterColumn79DependsOnAutoWrapAndNewLineOnCr) {
    struct Case {
        bool autoWrap, newLineOnCr;
        CursorPos expected;
    };
    // The wrap feeds CR and LF: with newLineOnCr the CR already steps down, so the 81st character
    // lands two rows below and the row between keeps what it held.
    for (Case c : {Case{true, true, {7, 1}}, Case{true, false, {6, 1}}, Case{false, true, {5, 79}}}) {
        SCOPED_TRACE(testing::Message() << "autoWrap=" << c.autoWrap << " newLineOnCr=" << c.newLineOnCr);
        s().screen.fill(' ');
        std::fill_n(s().screen.begin() + 6 * 80, 80, 'k');
        s().autoWrap = c.autoWrap;
        s().newLineOnCr = c.newLineOnCr;
        moveTo(5, 0);
        std::string text(80, 'a');
        text += 'Z';
        write(text);
        EXPECT_EQ(cursor().row, c.expected.row);
        EXPECT_EQ(cursor().column, c.expected.column);
        if (c.autoWrap) {
            EXPECT_EQ(row(5), std::string(80, 'a'));
            EXPECT_EQ(row(c.expected.row)[0], 'Z');
        } else {
            EXPECT_EQ(row(5), std::string(79, 'a') + 'Z') << "characters 80 on overwrite column 79";
        }
        EXPECT_EQ(row(6), c.newLineOnCr ? std::string(80, 'k') : "Z" + std::string(79, 'k'));
    }
}

TEST_F(TerminalTest, ControlCharactersMoveTheCursorAsATeletype) {
    moveTo(3, 10);
    write("\r\n");
    EXPECT_EQ(cursor().row, 5) << "CR LF with newLineOnCr steps two rows";
    EXPECT_EQ(cursor().column, 0);
    moveTo(3, 10);
    write("\r");
    EXPECT_EQ(cursor().row, 4);
    EXPECT_EQ(cursor().column, 0);
    moveTo(3, 10);
    write("\n");
    EXPECT_EQ(cursor().row, 4);
    EXPECT_EQ(cursor().column, 10) << "LF keeps the column";

    moveTo(2, 0);
    write("\b");
    EXPECT_EQ(cursor().column, 0) << "BS at column 0 changes nothing";
    write("ab\b");
    EXPECT_EQ(cursor().column, 1);
    EXPECT_EQ(row(2).substr(0, 2), "ab") << "BS does not erase";

    moveTo(1, 0);
    write(std::string("x\0y", 3));
    EXPECT_EQ(row(1).substr(0, 3), "xy ") << "NUL is ignored";
    write("\a");
    EXPECT_EQ(host.beeps, 1);
    EXPECT_EQ(cursor().column, 2);

    // ESC, the other low controls and the high half are plain characters.
    moveTo(0, 0);
    write("\x1b\x01\x0b\x0c\x80\xff");
    EXPECT_EQ(row(0).substr(0, 6), "\x1b\x01\x0b\x0c\x80\xff");
    EXPECT_EQ(cursor().column, 6);
}

TEST_F(TerminalTest, TabIsFourSpacesAndWrapsAtColumn78) {
    s().screen.fill('.');
    moveTo(10, 78);
    write("\t");
    EXPECT_EQ(row(10).substr(78), "  ");
    // With the defaults the wrap steps two rows (CR then LF); the other two spaces land there.
    EXPECT_EQ(cursor().row, 12);
    EXPECT_EQ(cursor().column, 2);
    EXPECT_EQ(row(12).substr(0, 3), "  .");
    EXPECT_EQ(row(11), std::string(80, '.'));
}

TEST_F(TerminalTest, LineFeedOnTheLastRowScrollsAndRepaintsAll) {
    for (int r = 0; r < 35; ++r)
        std::fill_n(s().screen.begin() + r * 80, 80, static_cast<char>('A' + r % 26));
    moveTo(34, 7);
    write("\n");
    EXPECT_EQ(cursor().row, 34);
    EXPECT_EQ(cursor().column, 7);
    EXPECT_EQ(row(0), std::string(80, 'B'));
    EXPECT_EQ(row(33), std::string(80, static_cast<char>('A' + 34 % 26)));
    EXPECT_EQ(row(34), std::string(80, ' '));
    ASSERT_EQ(host.invalidations.size(), 1u);
    EXPECT_FALSE(host.invalidations[0].rect.has_value()) << "the whole client area";
    EXPECT_FALSE(host.invalidations[0].erase);
}

// What scrolls off the top is kept, oldest first, up to the session's capacity (then the oldest goes),
// and a view back in it shows those lines above the screen's own.
TEST_F(TerminalTest, LinesScrolledOffTheTopAreKeptUpToTheCapacity) {
    s().newLineOnCr = 0;
    s().historyCapacity = 50;
    auto lineOf = [](int n) {
        std::string t = "line " + std::to_string(n);
        return t + std::string(kScreenColumns - t.size(), ' ');
    };
    for (int n = 0; n < 35 + 20; ++n) write("line " + std::to_string(n) + "\r\n");
    ASSERT_EQ(historyLines(s()), 21u);  // the cursor's empty row at the bottom pushed one more
    EXPECT_EQ(viewRow(s(), 21, 0), lineOf(0));
    EXPECT_EQ(viewRow(s(), 21, 21), row(0)) << "the screen follows its past";
    EXPECT_EQ(viewRow(s(), 0, 3), row(3));
    EXPECT_EQ(viewRow(s(), 1000, 0), lineOf(0)) << "a view further back stops at the oldest line";
    for (int n = 55; n < 135; ++n) write("line " + std::to_string(n) + "\r\n");
    EXPECT_EQ(historyLines(s()), 50u);
    EXPECT_EQ(s().history.size(), 50u * kScreenColumns) << "memory stays bounded";
    EXPECT_EQ(viewRow(s(), 50, 0), lineOf(51)) << "the oldest lines went first";
}

TEST_F(TerminalTest, InvalidatesTheCellWithScrollOffsets) {
    s().charWidth = 8;
    s().charHeight = 12;
    s().hScrollPos = 16;
    s().vScrollPos = 0;
    moveTo(3, 10);
    write("q");
    ASSERT_EQ(host.invalidations.size(), 1u);
    EXPECT_EQ(host.invalidations[0].rect, (Rect{64, 36, 72, 48}));
    EXPECT_FALSE(host.invalidations[0].erase);
    EXPECT_EQ(cursor().column, 11);

    host.clear();
    s().vScrollPos = 24;
    moveTo(0, 0);
    write("r");
    EXPECT_EQ(host.invalidations.at(0).rect, (Rect{-16, -24, -8, -12}));
}

TEST_F(TerminalTest, NoSessionMeansNothingHappens) {
    EXPECT_EQ(terminalWrite(0x4444, "abc"), 0);
    EXPECT_EQ(typeChar(0x4444, 'a'), 0);
    // Disconnected: the typed character is dropped without echo.
    EXPECT_EQ(typeChar(kWin, 'a'), 0);
    EXPECT_EQ(row(0), std::string(80, ' '));
}

TEST_F(TerminalTest, ConcurrentWritersKeepEachCallWhole) {
    // Each writer writes whole 80-column rows of its own letter with autoWrap; if calls interleaved,
    // rows would mix letters or the cursor would leave column 0 between calls.
    constexpr int kThreads = 4, kCalls = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string line(80, static_cast<char>('a' + t));
            for (int i = 0; i < kCalls; ++i) terminalWrite(kWin, line);
        });
    }
    for (auto& th : threads) th.join();
    int filled = 0;
    for (int r = 0; r < 35; ++r) {
        std::string text = row(r);
        if (text == std::string(80, ' ')) continue;
        ++filled;
        EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos) << "row " << r << ": " << text;
    }
    EXPECT_GT(filled, 10);
    EXPECT_EQ(cursor().column, 0);
}

}  // namespace
}  // namespace dl

namespace dl {
namespace {

// A desktop host places its caret by reading the cursor back, and repaints by copying rows: its hooks
// must find the screen unlocked, or the window would deadlock against its own reader.
TEST(TerminalHooks, AreCalledWithTheScreenUnlocked) {
    RecordingHost host;
    ASSERT_EQ(createSession(kWin, 1), 1);
    PortSession& s = sessionTable[1];
    int calls = 0, lockedCalls = 0;
    auto screenFree = [&] {
        ++calls;
        // Asked from another thread: try_lock on a mutex this thread holds would be undefined.
        bool free = std::async(std::launch::async, [&] {
                        if (!s.screenMutex.try_lock()) return false;
                        s.screenMutex.unlock();
                        return true;
                    }).get();
        if (!free) ++lockedCalls;
    };
    windowHost().placeCaret = [&](WindowId) { screenFree(); };
    windowHost().invalidate = [&](WindowId, std::optional<Rect>, bool) { screenFree(); };
    windowHost().beep = [&] { screenFree(); };
    ASSERT_EQ(terminalWrite(kWin, "ab\a\r\n"), 1);
    EXPECT_GE(calls, 3);  // "ab" is one run of cells, then the beep and the caret
    EXPECT_EQ(lockedCalls, 0);
}

}  // namespace
}  // namespace dl
