// The serial link as a terminal, against stbsim: what is typed reaches the box's console, and what the box
// prints reaches the session's screen, also with two sessions on two boxes.
#include <gtest/gtest.h>

#include <string>

#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

namespace {

using dltest::CoreDriver;
using dltest::kStep;
using dltest::screenHas;
using dltest::StbsimProcess;

constexpr dl::WindowId kFirst = 0x11A, kSecond = 0x22B;

// The first screen row, without its trailing blanks.
std::string firstRow(dl::PortSession& s) {
    std::string row = dl::screenRow(s, 0);
    return row.substr(0, row.find_last_not_of(' ') + 1);
}

TEST(Link, TypedLineReachesTheBoxAndEchoesLocallyOnce) {
    StbsimProcess sim({"--no-banner"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kFirst, 1, sim.ptyPath());
    ASSERT_NE(s, nullptr);

    driver.type(kFirst, "status 7\r");
    auto line = sim.waitEvent("LINE", kStep);
    ASSERT_TRUE(line) << sim.log();
    EXPECT_EQ(line->get("text"), "status 7");
    // A box without echo sends nothing back, so the row holds the local echo alone, and the echoed Enter
    // moved the cursor to the next row.
    EXPECT_EQ(firstRow(*s), "status 7");
    EXPECT_EQ(dl::cursorOf(*s).row, 1);
    EXPECT_EQ(dl::cursorOf(*s).column, 0);
}

TEST(Link, ConsoleTextOfTheBoxReachesTheScreen) {
    StbsimProcess sim({"--banner", "boot loader 2.31\\r\\nconsole ready\\r\\n", "--banner-delay-ms", "50"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kFirst, 1, sim.ptyPath());
    ASSERT_NE(s, nullptr);

    ASSERT_TRUE(driver.pumpUntil([&] { return screenHas(*s, "console ready"); })) << sim.log();
    EXPECT_EQ(driver.shown(kFirst), "boot loader 2.31\r\nconsole ready\r\n");
    // A received CR also steps down a row, so the box's CR LF leaves an empty row between its lines.
    EXPECT_EQ(firstRow(*s), "boot loader 2.31");
    EXPECT_EQ(dl::screenRow(*s, 1), std::string(dl::kScreenColumns, ' '));
    EXPECT_EQ(dl::screenRow(*s, 2).substr(0, 14), "console ready ");
}

TEST(Link, WithoutLocalEchoTheBoxsEchoIsWhatShows) {
    StbsimProcess sim({"--no-banner", "--echo"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kFirst, 1, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    s->localEcho = 0;

    driver.type(kFirst, "abx\bc\r");
    auto line = sim.waitEvent("LINE", kStep);
    ASSERT_TRUE(line) << sim.log();
    EXPECT_EQ(line->get("text"), "abc");
    // The box rubs out with BS, blank, BS: the row ends up as the line the box took.
    ASSERT_TRUE(driver.pumpUntil([&] { return driver.shown(kFirst) == "abx\b \bc\r\n"; }))
        << driver.shown(kFirst);
    EXPECT_EQ(firstRow(*s), "abc");
}

TEST(Link, DisconnectingOneSessionLeavesTheOtherWorking) {
    StbsimProcess simA({"--no-banner", "--echo"});
    StbsimProcess simB({"--no-banner", "--echo"});
    CoreDriver driver;
    dl::PortSession* a = driver.open(kFirst, 1, simA.ptyPath());
    dl::PortSession* b = driver.open(kSecond, 2, simB.ptyPath());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    b->localEcho = 0;

    // The box counts an open as a connection only once it has seen it.
    ASSERT_TRUE(simA.waitEvent("CONNECTED", kStep)) << simA.log();
    ASSERT_EQ(dl::disconnectPort(kFirst), 1);
    EXPECT_TRUE(simA.waitEvent("DISCONNECTED", kStep)) << simA.log();
    EXPECT_EQ(dl::typeChar(kFirst, 'x'), 0) << "a disconnected session takes no typing";
    EXPECT_TRUE(dltest::noThreadsLeft(*a));

    // Only the second session's reader can put the box's echo on its screen.
    driver.type(kSecond, "still here\r");
    auto line = simB.waitEvent("LINE", kStep);
    ASSERT_TRUE(line) << simB.log();
    EXPECT_EQ(line->get("text"), "still here");
    EXPECT_TRUE(driver.pumpUntil([&] { return screenHas(*b, "still here"); })) << driver.shown(kSecond);
    EXPECT_EQ(b->connected.load(), 1);
    EXPECT_TRUE(b->readerThread.joinable());
    EXPECT_FALSE(screenHas(*a, "still here"));
}

}  // namespace
