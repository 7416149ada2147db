#include "session/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/recording_host.h"

namespace dl {
namespace {

using test::RecordingHost;

TEST(SessionTable, CreationTakesTheSlotAndSetsEveryDefault) {
    RecordingHost host;
    PortSession& s = sessionTable[3];
    // Whatever an earlier session of the slot left behind must not survive creation.
    s.baudRate = 9600;
    s.parity = 2;
    s.flowControl = 7;
    s.localEcho = 0;
    s.screen.fill('x');
    s.logFont.height = 30;

    ASSERT_EQ(createSession(0x3333, 3), 1);
    EXPECT_EQ(currentSession.load(), 3);
    EXPECT_EQ(lastPort.load(), 3);
    EXPECT_EQ(lastBaud.load(), 115200u);
    EXPECT_EQ(s.inUse.load(), 1);
    EXPECT_EQ(s.portNumber, 3);
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stopBits, 0);
    EXPECT_EQ(s.flowControl, 0);
    EXPECT_EQ(s.localEcho.load(), 1);
    EXPECT_EQ(s.newLineOnCr.load(), 1);
    EXPECT_EQ(s.autoWrap.load(), 1);
    EXPECT_EQ(s.displayErrors.load(), 1);
    EXPECT_EQ(s.connected.load(), 0);
    EXPECT_EQ(s.transferActive.load(), 0);
    EXPECT_FALSE(s.port.valid());
    EXPECT_EQ(s.logFont, LogFont{});
    EXPECT_EQ(s.logFont.faceName, "Terminal");
    EXPECT_EQ(s.logFont.charSet, 255);
    EXPECT_EQ(s.logFont.pitchAndFamily, 0x31);
    for (uint8_t c : s.screen) ASSERT_EQ(c, ' ');
    ASSERT_EQ(host.menuStates.size(), 1u);
    EXPECT_FALSE(host.menuStates[0].second);
}

TEST(SessionTable, LookupMatchesOnlyLiveSlotsOneToFour) {
    RecordingHost host;
    ASSERT_EQ(createSession(0x3000, 3), 1);
    currentSession = 1;
    EXPECT_EQ(findSession(0x9999), 0);
    EXPECT_EQ(currentSession.load(), 1) << "a failed lookup leaves currentSession alone";
    EXPECT_EQ(findSession(0x3000), 3);
    EXPECT_EQ(currentSession.load(), 3);

    // Slot 0 only keeps the frame's position and never matches, even with a window value in it.
    sessionTable[0].window = 0x1234;
    sessionTable[0].inUse = 1;
    EXPECT_EQ(findSession(0x1234), 0);
    sessionTable[0].inUse = 0;
    sessionTable[0].window = 0;

    // A slot matches only while inUse is exactly 1.
    sessionTable[3].inUse = 2;
    EXPECT_EQ(findSession(0x3000), 0);
    sessionTable[3].inUse = 1;

    // Worker threads look up without touching what the main thread acts on.
    currentSession = 1;
    EXPECT_EQ(lookupSession(0x3000), 3);
    EXPECT_EQ(currentSession.load(), 1);
    EXPECT_EQ(sessionOf(0x3000), &sessionTable[3]);
    EXPECT_EQ(sessionOf(0x3001), nullptr);
}

TEST(SessionTable, SlotReuseKeepsWindowPositionAndFreesTheSlot) {
    RecordingHost host;
    host.placement = Rect{10, 20, 650, 580};
    ASSERT_EQ(createSession(0x2000, 2), 1);
    sessionTable[2].bytesSent = 777;  // a kept field
    EXPECT_EQ(destroySession(0x2000), 1);
    EXPECT_EQ(sessionTable[2].inUse.load(), 0);
    EXPECT_EQ(sessionTable[2].window.load(), 0u);
    EXPECT_EQ(findSession(0x2000), 0);
    EXPECT_EQ(destroySession(0x2000), 0) << "a window without a session does nothing";

    host.placement.reset();
    ASSERT_EQ(createSession(0x2001, 2), 1);
    EXPECT_EQ(sessionTable[2].windowRect, (Rect{10, 20, 650, 580}));
    EXPECT_EQ(sessionTable[2].bytesSent.load(), 777u);
}

TEST(SessionTable, CreationRefusesBadSlotsAndFailedEvents) {
    RecordingHost host;
    EXPECT_EQ(createSession(0x10, 0), -1);
    EXPECT_EQ(createSession(0x10, 5), -1);
    EXPECT_EQ(createSession(0, 1), -1);

    // The second wake-up descriptor fails: the first is closed again and the slot stays free.
    static int calls;
    static NativeHandle (*saved)();
    calls = 0;
    saved = makeSessionEvent;
    makeSessionEvent = [] { return ++calls == 2 ? -1 : saved(); };
    EXPECT_EQ(createSession(0x11, 1), -1);
    makeSessionEvent = saved;
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(sessionTable[1].inUse.load(), 0);
    EXPECT_EQ(sessionTable[1].window.load(), 0u);
    EXPECT_FALSE(sessionTable[1].readWake.valid());
    EXPECT_EQ(findSession(0x11), 0);
}

TEST(SessionTable, DestructionJoinsASenderThatEndedOnItsOwn) {
    RecordingHost host;
    ASSERT_EQ(createSession(0x700, 3), 1);
    std::atomic<bool> ran{false};
    sessionTable[3].sectorThread = std::thread([&] { ran = true; });  // ended, its end not yet handled
    EXPECT_EQ(destroySession(0x700), 1);
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(sessionTable[3].sectorThread.joinable());
}

TEST(SessionTable, SemaphoreLivesFromFirstSessionToLast) {
    RecordingHost host;
    EXPECT_EQ(sectorSemaphore(), nullptr);
    ASSERT_EQ(createSession(0x100, 1), 1);
    auto first = sectorSemaphore();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->count(), 1);

    // A transfer in session 1 has taken the count; opening session 2 must not disturb it.
    first->acquire();
    ASSERT_EQ(createSession(0x200, 2), 1);
    EXPECT_EQ(sectorSemaphore(), first);
    EXPECT_EQ(first->count(), 0);

    EXPECT_EQ(destroySession(0x100), 1);
    EXPECT_EQ(sectorSemaphore(), first) << "still needed by the second session";
    EXPECT_EQ(destroySession(0x200), 1);
    EXPECT_EQ(sectorSemaphore(), nullptr);

    ASSERT_EQ(createSession(0x300, 4), 1);
    auto fresh = sectorSemaphore();
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, first);
    EXPECT_EQ(fresh->count(), 1);
}

TEST(BinarySemaphoreTest, NeverCountsAboveOneAndWakesAWaiter) {
    BinarySemaphore sem(1);
    EXPECT_FALSE(sem.release()) << "already at its maximum";
    sem.acquire();
    EXPECT_FALSE(sem.tryAcquireFor(std::chrono::milliseconds(1)));
    EXPECT_TRUE(sem.release());
    EXPECT_FALSE(sem.release());
    sem.acquire();
    EXPECT_EQ(sem.count(), 0);

    std::thread waiter([&] { sem.acquire(); });
    sem.release();
    waiter.join();
    EXPECT_EQ(sem.count(), 0);

    // A stopped waiter leaves without the count, even when someone else takes the count first.
    std::atomic<bool> stop{false};
    std::atomic<int> took{-1};
    std::thread stopped([&] { took = sem.acquireUnless([&] { return stop.load(); }) ? 1 : 0; });
    stop = true;
    sem.release();
    (void)sem.tryAcquireFor(std::chrono::milliseconds(0));  // a drain racing the waiter
    stopped.join();
    EXPECT_EQ(took.load(), 0);
}

}  // namespace
}  // namespace dl
