#include "protocol/programming.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/commands.h"
#include "exchange/programming_command.h"
#include "session/protocol_state.h"
#include "session/terminal.h"
#include "session/tick.h"
#include "support/machine_feed.h"
#include "support/recording_host.h"

namespace dl {
namespace {

using test::asBytes;
using test::Feed;
auto everyFeed() {
    return test::everyFeed(23);
}

constexpr WindowId kWin = 0x5E55;

std::string describe(const Effects& e) {
    std::ostringstream o;
    o << "releases=" << e.semaphoreReleases << " posts=[";
    for (const auto& p : e.posts) o << "{" << p.window << "," << p.command << "," << p.param << "}";
    o << "] writes=" << e.writes.size() << " screen=" << e.screenText.size();
    return o.str();
}

// Everything the parser can change, as one comparable text.
std::string describe(const PortSession& s, const Effects& e) {
    std::ostringstream o;
    o << describe(e) << " sector=" << s.requestedSector.load() << " announced=" << s.announcedSectors.load()
      << " sent=" << s.sectorsSent.load() << " stop=" << s.stopCode << " programming=" << s.programming.load()
      << " senderRun=" << s.senderRun.load() << " startTick=" << s.startTick.load()
      << " mode=" << e.nextMode.value_or(-1) << " line=["
      << std::string(s.lineBuffer.data(), static_cast<size_t>(s.lineLength)) << "]";
    return o.str();
}

class ProgrammingLines : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }

    // A freshly connected session with a sender waiting, as before every case.
    void prepare() {
        s.window = kWin;
        s.sectorLineLength = static_cast<uint16_t>(kSectorLinePattern.size());
        s.startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
        s.stopLineLength = static_cast<uint16_t>(kStopLinePattern.size());
        s.lineLength = 0;
        s.lineResetPending = false;
        s.lineBuffer.fill(0);
        s.requestedSector = 0;
        s.announcedSectors = 0;
        s.sectorsSent = 7;
        s.stopCode = 0;
        s.programming = 0;
        s.senderRun = 1;
        s.startTick = 0;
        if (preset) preset();
    }

    Effects feed(std::string_view text, uint32_t tick = kTick) {
        Effects e;
        EXPECT_EQ(parseProgrammingInput(s, asBytes(text), tick, e), 0);
        return e;
    }

    // Feeds the text at once, byte by byte and in random pieces from the same start; every way must
    // end the same. Returns the effects of the last way, with the session as it left it.
    Effects feedEveryWay(std::string_view text) {
        std::string first;
        Effects e;
        for (const Feed& f : everyFeed()) {
            SCOPED_TRACE(f.name);
            prepare();
            e = Effects{};
            size_t at = 0;
            for (size_t n : f.sizes(text.size())) {
                parseProgrammingInput(s, asBytes(text.substr(at, n)), kTick, e);
                at += n;
            }
            std::string outcome = describe(s, e);
            if (first.empty()) first = outcome;
            EXPECT_EQ(outcome, first);
        }
        return e;
    }

    static constexpr uint32_t kTick = 777000;
    PortSession s;
    std::function<void()> preset;
};

TEST_F(ProgrammingLines, SectorRequestIsRecognisedWhateverTheLetterCase) {
    Effects e = feedEveryWay("S:PROG_SECTOR 00a1\r\n");
    EXPECT_EQ(s.requestedSector.load(), 161);
    EXPECT_EQ(e.semaphoreReleases, 1);
    EXPECT_TRUE(e.posts.empty());
    EXPECT_FALSE(e.nextMode) << "a sector request does not take the line";
    EXPECT_EQ(s.senderRun.load(), 1);
}

TEST_F(ProgrammingLines, SectorRequestActsOnItsEighteenthCharacterAndKeepsTheLine) {
    EXPECT_EQ(feed("s:prog_sector 00a").semaphoreReleases, 0);
    EXPECT_EQ(feed("1").semaphoreReleases, 1);
    EXPECT_EQ(s.requestedSector.load(), 0xA1);
    EXPECT_EQ(s.lineLength, 18) << "only a line end clears a sector request's line";
    // Whatever follows on the same line changes nothing, another request included.
    Effects tail = feed("zzs:prog_sector 0002");
    EXPECT_EQ(tail.semaphoreReleases, 0);
    EXPECT_EQ(s.requestedSector.load(), 0xA1);
}

TEST_F(ProgrammingLines, TwoRequestsOnOneLineReleaseOnlyTheFirst) {
    Effects e = feedEveryWay("s:prog_sector 0002s:prog_sector 0003\r");
    EXPECT_EQ(e.semaphoreReleases, 1);
    EXPECT_EQ(s.requestedSector.load(), 2);
}

TEST_F(ProgrammingLines, ATokenIsRecognisedOnlyAtTheStartOfItsLine) {
    // An echoed character, a byte above 0x7F or a blank before the token all make the line too long.
    for (std::string text : {"xs:prog_sector 0001\r", "\xFFs:prog_start 0001\r", " s:prog_stop 0001\r",
                             "s:prog_sec\rtor 0001\n", "s:prog_start\n0001\r"}) {
        SCOPED_TRACE(testing::PrintToString(text));
        Effects e = feedEveryWay(text);
        EXPECT_EQ(describe(e), describe(Effects{}));
        EXPECT_EQ(s.requestedSector.load(), 0);
        EXPECT_EQ(s.announcedSectors.load(), 0);
        EXPECT_EQ(s.stopCode, 0);
        EXPECT_FALSE(e.nextMode);
    }
}

TEST_F(ProgrammingLines, ControlBytesOtherThanLineEndsAreDroppedInsideATokenAndAField) {
    using namespace std::string_literals;
    Effects e = feedEveryWay(
        "s:prog\t_sec\x01tor 0\x1b\x00"
        "0a1\x7f\r"s);
    EXPECT_EQ(e.semaphoreReleases, 1);
    EXPECT_EQ(s.requestedSector.load(), 0xA1);
    EXPECT_EQ(s.lineLength, 0);
}

TEST_F(ProgrammingLines, FieldIsTheLastFourCharactersReadAsHexadecimal) {
    struct Case {
        std::string_view field;
        uint16_t value;
    };
    for (Case c : {Case{"12zz", 0x12}, Case{"zz12", 0}, Case{"0x1F", 0x1F}, Case{"  7f", 0x7F},
                   Case{"FFFF", 0xFFFF}, Case{"-001", 0xFFFF}, Case{"+00A", 0xA}}) {
        SCOPED_TRACE(c.field);
        prepare();
        Effects e = feed("s:prog_sector " + std::string(c.field));
        EXPECT_EQ(e.semaphoreReleases, 1) << "a field is never rejected";
        EXPECT_EQ(s.requestedSector.load(), c.value);
    }
}

TEST_F(ProgrammingLines, StartLineArmsTheRunAndAsksTheWindowForTheImage) {
    Effects e = feedEveryWay("s:prog_START 0010");
    EXPECT_EQ(e.nextMode, modeProgramming);
    EXPECT_EQ(s.announcedSectors.load(), 16);
    EXPECT_EQ(s.sectorsSent.load(), 0);
    EXPECT_EQ(s.programming.load(), 1);
    EXPECT_EQ(s.startTick.load(), kTick);
    ASSERT_EQ(e.posts.size(), 1u);
    EXPECT_EQ(e.posts[0], (PostedCommand{kWin, cmdUpload, 0}));
    EXPECT_EQ(e.semaphoreReleases, 0);
    EXPECT_EQ(s.lineLength, 17) << "the start line is not cleared";

    // Every start line re-arms and posts again; 0000 announces no sectors.
    prepare();
    EXPECT_EQ(feed("s:prog_start 0005\r", 10).posts.size(), 1u);
    s.sectorsSent = 3;
    Effects again = feed("s:prog_start 0000\r", 20);
    EXPECT_EQ(again.posts.size(), 1u);
    EXPECT_EQ(s.announcedSectors.load(), 0);
    EXPECT_EQ(s.sectorsSent.load(), 0);
    EXPECT_EQ(s.startTick.load(), 20u);
}

TEST_F(ProgrammingLines, StopLineEndsTheRunAndGivesTheLineBackToTheDetector) {
    Effects e = feedEveryWay("s:prog_stop 00fF");
    EXPECT_EQ(s.stopCode, 0xFF);
    EXPECT_EQ(s.lineLength, 0);
    EXPECT_EQ(s.senderRun.load(), 0);
    EXPECT_EQ(e.semaphoreReleases, 1) << "a sender waiting for a request must wake up to stop";
    EXPECT_TRUE(e.posts.empty());
    EXPECT_EQ(e.nextMode, modeIdle);
}

TEST_F(ProgrammingLines, StopFollowedByStartWithoutLineBreakIsRecognisedAsBoth) {
    Effects e = feedEveryWay("s:prog_stop 0001s:prog_start 0002");
    EXPECT_EQ(s.stopCode, 1);
    EXPECT_EQ(s.senderRun.load(), 0);
    EXPECT_EQ(e.semaphoreReleases, 1);
    ASSERT_EQ(e.posts.size(), 1u);
    EXPECT_EQ(s.announcedSectors.load(), 2);
    EXPECT_EQ(e.nextMode, modeProgramming) << "the start came after the stop";
}

// A console prompt without a line end ("> ") stands before the box's answer to a typed command; the
// typed command begins a new line, so the answer is still recognised.
TEST_F(ProgrammingLines, ATypedCommandStartsANewLineAfterAPrompt) {
    feed("main loop\r> ");
    EXPECT_TRUE(feed("s:prog_start 0010\r").posts.empty()) << "without the command the line is too long";
    feed("> ");
    s.lineResetPending = true;
    Effects e = feed("s:prog_start 0010\r");
    ASSERT_EQ(e.posts.size(), 1u);
    EXPECT_EQ(s.announcedSectors.load(), 16);
}

TEST_F(ProgrammingLines, LineIsCutAtEightyCharactersAndRecognisesNothingUntilItsEnd) {
    const std::string chatter(81, 'a');
    Effects e = feedEveryWay(chatter + "s:prog_sector 0001");
    EXPECT_EQ(e.semaphoreReleases, 0);
    EXPECT_EQ(s.lineLength, 80);
    EXPECT_EQ(std::string(s.lineBuffer.data(), 80), std::string(80, 'a'));

    e = feedEveryWay(chatter + "\ns:prog_sector 0001");
    EXPECT_EQ(e.semaphoreReleases, 1);
    EXPECT_EQ(s.requestedSector.load(), 1);
}

TEST_F(ProgrammingLines, AWholeRunEndsTheSameHoweverTheBlocksFall) {
    const std::string run =
        "U-Boot 1.1.4\r\n"
        "s:prog_start 0003\r\n"
        "s:prog_sector 0000\r\n"
        "s:prog_sector 0001\n"
        "progress ...\r"
        "xs:prog_sector 0007\r\n"  // an echo before the token: ignored
        "S:Prog_Sector 0002\r\n"
        "s:prog_stop 0000s:prog_start 0004";
    Effects e = feedEveryWay(run);
    EXPECT_EQ(e.semaphoreReleases, 4) << "three requests and the stop";
    ASSERT_EQ(e.posts.size(), 2u);
    EXPECT_EQ(e.posts[0], e.posts[1]);
    EXPECT_EQ(s.requestedSector.load(), 2);
    EXPECT_EQ(s.announcedSectors.load(), 4);
    EXPECT_EQ(s.senderRun.load(), 0);
    EXPECT_EQ(e.nextMode, modeProgramming);
}

// Typing the commands: a connected session whose port is one end of a socket pair, so the test reads
// exactly what was written; the pause after each character is replaced by a recorder.
class TypedCommand : public ::testing::Test {
protected:
    void SetUp() override {
        protocolMode = modeIdle;
        ASSERT_EQ(createSession(kWin, 2), 1);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session().port.reset(fds[0]);
        peer.reset(fds[1]);
        session().connected = 1;
        savedDelay = programmingDelay;
        programmingDelay = [this](uint32_t ms) {
            // What reached the line since the previous pause: exactly one character is expected.
            char buffer[64];
            ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            pauses.push_back({ms, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string()});
        };
    }
    void TearDown() override {
        programmingDelay = savedDelay;
        session().connected = 0;
        session().port.reset();
    }

    PortSession& session() { return sessionTable[2]; }
    std::string unreadOnLine() {
        char buffer[256];
        ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    bool screenIsBlank() {
        for (int r = 0; r < kScreenRows; ++r) {
            if (screenRow(session(), r) != std::string(kScreenColumns, ' ')) return false;
        }
        return true;
    }

    struct Pause {
        uint32_t ms;
        std::string sentBefore;
    };
    test::RecordingHost host;
    UniqueFd peer;
    std::vector<Pause> pauses;
    std::function<void(uint32_t)> savedDelay;
};

TEST_F(TypedCommand, EachCommandGoesOutOneCharacterAtATimeWithAPauseAfterEach) {
    struct Case {
        ProgrammingCommand kind;
        std::string_view text;
    };
    windowHost().messageBox = [](WindowId, const std::string&, const std::string&, MessageIcon,
                                 MessageButtons, const std::string&) { return MessageAnswer::yes; };
    for (Case c :
         {Case{ProgrammingCommand::safe, "\rm:prog_sum\r"}, Case{ProgrammingCommand::all, "\rm:prog_all\r"},
          Case{ProgrammingCommand::cardless, "\rm:Cardless\r"},
          Case{ProgrammingCommand::m5, "\rm:m5prog\r"}}) {
        SCOPED_TRACE(c.text);
        pauses.clear();
        protocolMode = modeIdle;
        session().programming = 1;
        EXPECT_EQ(sendProgrammingCommand(kWin, c.kind), 1);
        EXPECT_EQ(protocolMode.load(), modeProgramming);
        EXPECT_EQ(session().programming.load(), 0);
        ASSERT_EQ(pauses.size(), c.text.size()) << "a pause follows every character, the last included";
        for (size_t i = 0; i < pauses.size(); ++i) {
            EXPECT_EQ(pauses[i].ms, 50u);
            EXPECT_EQ(pauses[i].sentBefore, std::string(1, c.text[i])) << "character " << i;
        }
        EXPECT_EQ(unreadOnLine(), "");
    }
}

TEST_F(TypedCommand, LocalEchoShowsTheCommandOnTheScreenOnlyWhenSet) {
    session().localEcho = 0;
    ASSERT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::m5), 1);
    EXPECT_TRUE(screenIsBlank());
    EXPECT_EQ(cursorOf(session()).row, 0);
    EXPECT_EQ(cursorOf(session()).column, 0);

    session().localEcho = 1;
    session().newLineOnCr = 1;
    ASSERT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::cardless), 1);
    // The leading CR steps down a row (newLineOnCr), the command follows, the trailing CR steps again.
    EXPECT_EQ(screenRow(session(), 0), std::string(kScreenColumns, ' '));
    EXPECT_EQ(screenRow(session(), 1).substr(0, 11), "m:Cardless ");
    EXPECT_EQ(cursorOf(session()).row, 2);
    EXPECT_EQ(cursorOf(session()).column, 0);
}

TEST_F(TypedCommand, BootBlockWarningMustBeAnsweredYes) {
    struct Asked {
        WindowId owner;
        std::string text, title;
        MessageIcon icon;
        MessageButtons buttons;
    };
    std::vector<Asked> asked;
    MessageAnswer answer = MessageAnswer::no;
    windowHost().messageBox = [&](WindowId owner, const std::string& text, const std::string& title,
                                  MessageIcon icon, MessageButtons buttons, const std::string&) {
        asked.push_back({owner, text, title, icon, buttons});
        return answer;
    };
    session().programming = 1;
    EXPECT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::all), 0);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].owner, kWin);
    EXPECT_EQ(
        asked[0].text,
        "The STB can not work if downloading breaks before loading boot block.\r\n\r\nContinue anyway ?");
    EXPECT_EQ(asked[0].title, "Critical Warning: BOOT BLOCK of the STB will be DESTROYED !!!");
    EXPECT_EQ(asked[0].icon, MessageIcon::warning);
    EXPECT_EQ(asked[0].buttons, MessageButtons::yesNoDefaultNo) << "Enter must not destroy the boot block";
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(unreadOnLine(), "") << "a declined warning types nothing";
    EXPECT_EQ(session().programming.load(), 1);
    EXPECT_EQ(protocolMode.load(), modeProgramming) << "the line already belongs to the parser";

    // The box's start line, should the user type the command by hand, is still recognised.
    session().startLineLength = static_cast<uint16_t>(kStartLinePattern.size());
    Effects e;
    parseProgrammingInput(session(), asBytes("s:prog_start 0001"), 1, e);
    EXPECT_EQ(e.posts.size(), 1u);

    // Cancel counts as a refusal as well; only Yes types.
    answer = MessageAnswer::cancel;
    EXPECT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::all), 0);
    EXPECT_EQ(unreadOnLine(), "");
    answer = MessageAnswer::yes;
    EXPECT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::all), 1);
    EXPECT_EQ(pauses.size(), 12u);
    // The other commands never ask.
    EXPECT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::safe), 1);
    EXPECT_EQ(asked.size(), 3u);
}

TEST_F(TypedCommand, NothingHappensWithoutAConnectedSessionOrAKnownCommand) {
    EXPECT_EQ(sendProgrammingCommand(kWin, static_cast<ProgrammingCommand>(9)), 0);
    EXPECT_EQ(sendProgrammingCommand(0x7777, ProgrammingCommand::safe), 0);
    session().connected = 0;
    EXPECT_EQ(sendProgrammingCommand(kWin, ProgrammingCommand::safe), 0);
    EXPECT_EQ(protocolMode.load(), modeIdle);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(unreadOnLine(), "");
}

uint64_t threadCpuMicroseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

TEST(BusyWait, WaitsAtLeastTheRequestedTicksWithoutSpinningACore) {
    constexpr uint32_t kWaitMs = 40;
    const uint32_t startTick = tickNow();
    const auto start = std::chrono::steady_clock::now();
    const uint64_t cpuBefore = threadCpuMicroseconds();
    busyWait(kWaitMs);
    const uint64_t cpuUsed = threadCpuMicroseconds() - cpuBefore;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs));
    EXPECT_GE(ticksSince(startTick, tickNow()), kWaitMs);
    EXPECT_LT(cpuUsed, kWaitMs * 1000u / 4) << "the wait must sleep, not poll the clock";
}

}  // namespace
}  // namespace dl
