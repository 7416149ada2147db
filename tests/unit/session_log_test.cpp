#include "serial/session_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "integration/test_files.h"
#include "session/protocol_state.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using namespace std::chrono_literals;

// A clock whose time of day is the milliseconds since the epoch, so a test names each stamp it expects.
TimeOfDay fakeTimeOfDay(LogClock::time_point at) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    return {static_cast<int>(ms / 3600000 % 24), static_cast<int>(ms / 60000 % 60),
            static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
}

LogClock::time_point at(int h, int m, int s, int ms) {
    return LogClock::time_point(std::chrono::hours(h) + std::chrono::minutes(m) + std::chrono::seconds(s) +
                                std::chrono::milliseconds(ms));
}

std::span<const uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Every console line becomes one line of the file, whichever end the box gave it and wherever the reads
// cut it; a stamp is the time the line's first byte came, not the time of the piece that ended it.
TEST(SessionLogLines, OneLinePerBoxLineStampedWhenItsFirstByteCame) {
    const std::string box = "boot\r\nA\rB\n\r\nend\xB0\r";
    const std::string plain = "boot\nA\nB\n\nend\xB0\n";
    for (size_t cut = 0; cut <= box.size(); ++cut) {
        LogLines lines(false);
        std::string out;
        lines.text(bytes(box.substr(0, cut)), at(0, 0, 0, 0), out);
        lines.text(bytes(box.substr(cut)), at(0, 0, 0, 0), out);
        EXPECT_EQ(out, plain) << "cut at " << cut;
    }
    LogLines stamped(true, fakeTimeOfDay);
    std::string out;
    stamped.text(bytes("ab"), at(1, 2, 3, 4), out);
    stamped.text(bytes("c\r"), at(9, 0, 0, 0), out);
    stamped.text(bytes("\nd\r\n"), at(23, 59, 59, 999), out);
    EXPECT_EQ(out, "01:02:03.004 abc\n23:59:59.999 d\n") << "the LF of a CR LF read apart starts no line";
}

TEST(SessionLogLines, ANoteIsALineOfItsOwnAndOutcomesReadAsTheirText) {
    LogLines lines(true, fakeTimeOfDay);
    std::string out;
    lines.text(bytes("prompt> "), at(10, 0, 0, 0), out);
    lines.note("[x]", at(10, 0, 1, 500), out);
    lines.text(bytes("next\r\n"), at(10, 0, 2, 0), out);
    EXPECT_EQ(out, "10:00:00.000 prompt> \n10:00:01.500 [x]\n10:00:02.000 next\n");

    ExchangeOutcome mismatch{.kind = OutcomeKind::checksumMismatch, .exchange = ExchangeKind::dataReceive};
    mismatch.ours = 0x12, mismatch.theirs = 0x34;
    EXPECT_EQ(exchangeNote(mismatch), "[" + outcomeText(mismatch) + "]");
    EXPECT_EQ(exchangeNote({.kind = OutcomeKind::none}), "") << "a start is no end";
}

// Through a real file: the console text, then the note of an exchange that this session's line took;
// another session's exchange is not in this log, and a stop writes everything out.
class SessionLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(createSession(kWindow, 2), 1);
        ASSERT_EQ(createSession(kOther, 3), 1);
    }
    void TearDown() override {
        stopSessionLog(kWindow);
        transferOwner = 0;
    }
    static constexpr WindowId kWindow = 0x4200, kOther = 0x4300;
    test::RecordingHost host;
    dltest::ScratchDir dir;
};

TEST_F(SessionLogFile, HoldsTheTextAndTheNotesOfItsOwnExchanges) {
    // Not com2.log: Windows takes COMn with any extension for the port itself.
    const std::string path = dir.file("port2.log");
    ASSERT_EQ(startSessionLog(kWindow, path, false), "");
    EXPECT_TRUE(sessionLogActive(kWindow));
    sessionLogText(sessionTable[2], bytes("hello\r\nbox> "));
    sessionLogText(sessionTable[3], bytes("not mine\r\n"));
    ExchangeOutcome lost{.kind = OutcomeKind::lineLost, .exchange = ExchangeKind::dataSend};
    transferOwner = 3;
    recordOutcome(lost);
    transferOwner = 2;
    recordOutcome(lost);
    EXPECT_EQ(stopSessionLog(kWindow), "");
    EXPECT_FALSE(sessionLogActive(kWindow));
    EXPECT_EQ(dir.read("port2.log").value_or(""), "hello\nbox> \n[" + outcomeText(lost) + "]\n");
}

TEST_F(SessionLogFile, AFailedWriteIsToldOnceAndTheLogStops) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    std::atomic<int> told{0};
    ASSERT_EQ(startSessionLog(kWindow, "/dev/full", false, [&] { ++told; }), "");
    sessionLogText(sessionTable[2], bytes("one\r\n"));
    for (int i = 0; i < 100 && told.load() == 0; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(told.load(), 1);
    EXPECT_FALSE(sessionLogActive(kWindow));
    EXPECT_NE(takeSessionLogError(kWindow).find("/dev/full"), std::string::npos);
    EXPECT_EQ(takeSessionLogError(kWindow), "") << "said once";
    sessionLogText(sessionTable[2], bytes("two\r\n"));
    EXPECT_EQ(stopSessionLog(kWindow), "");
    EXPECT_EQ(told.load(), 1);
    EXPECT_NE(startSessionLog(kWindow, dir.file("no-such-folder/x.log"), false), "");
}

}  // namespace
}  // namespace dl
