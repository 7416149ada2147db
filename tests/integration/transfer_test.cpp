// The three transfers end to end: the core runs in this process, driven as the windows would drive it, and
// stbsim plays the box on a pseudo-terminal. What the box saw is taken from its own report and compared with
// sums and files computed here, so neither side's state machines are trusted to check themselves.
#include <gtest/gtest.h>

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "integration/core_driver.h"
#include "integration/stbsim_process.h"
#include "protocol/handshake.h"

namespace {

using namespace std::chrono_literals;
using dltest::byteSum;
using dltest::CoreDriver;
using dltest::hexText;
using dltest::kStep;
using dltest::randomBytes;
using dltest::ScratchDir;
using dltest::screenHas;
using dltest::SimEvent;
using dltest::StbsimProcess;

constexpr dl::WindowId kWindow = 0x5E1;
constexpr int kSlot = 1;
constexpr size_t kSector = 4096;

// The simulator's report so far, with whatever it printed while the test was busy elsewhere.
std::string reportOf(StbsimProcess& sim) {
    sim.waitEvent("", 0ms);
    return sim.log();
}

std::string sectorOf(const std::string& image, unsigned n) {
    return image.substr(n * kSector, kSector);
}

// The title the window must show after sector n went out with its sum.
std::string titleFor(int port, unsigned sector, uint32_t sum) {
    char text[64];
    std::snprintf(text, sizeof text, "Com%d sector %02X chk=%X", port, sector, sum);
    return text;
}

std::string sendDoneText(size_t count, uint32_t sum) {
    return std::to_string(count) + " bytes transmitted\n\nChecksum is " + hexText(sum);
}

std::string receiveDoneText(size_t count, uint32_t sum) {
    return std::to_string(count) + " bytes received\n\nChecksum is " + hexText(sum) +
           "\n\n\nDo you want to save as a file ?";
}

std::optional<dltest::MessageRecord> messageTitled(CoreDriver& driver, const std::string& title) {
    for (const auto& m : driver.messages())
        if (m.title == title) return m;
    return std::nullopt;
}

// The line is back with the terminal and nothing of a transfer is left running.
testing::AssertionResult lineIsIdle(dl::PortSession& s) {
    std::string busy;
    if (int mode = dl::protocolMode.load(); mode != dl::modeIdle)
        busy += " protocolMode=" + std::to_string(mode);
    if (int state = dl::transferState.load(); state != 0) busy += " transferState=" + std::to_string(state);
    if (s.transferActive.load() != 0) busy += " transferActive";
    if (s.sectorThread.joinable()) busy += " sectorThread";
    if (s.streamThread.joinable()) busy += " streamThread";
    if (busy.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "still busy:" << busy;
}

// Runs one data send of the file at `path` to completion (the line back at idle); false on a timeout.
bool sendFile(CoreDriver& driver, const std::string& path) {
    const int ended = driver.countHandled(dl::cmdExchangeEnded);
    driver.chooseFile(path);
    dl::startDataSend(kWindow);
    return driver.pumpUntil([&] { return driver.countHandled(dl::cmdExchangeEnded) > ended; });
}

// Asks the box for an upload from its console and handles the exchange until the line is back at idle.
bool receiveUpload(CoreDriver& driver) {
    const int ended = driver.countHandled(dl::cmdExchangeEnded);
    driver.type(kWindow, "m:upload\r");
    return driver.pumpUntil([&] { return driver.countHandled(dl::cmdExchangeEnded) > ended; });
}

// ----- Sector programming -----

class ProgrammingRun : public testing::TestWithParam<std::string> {};

// A console that leaves its prompt without a line end: the box's answer follows the prompt on the same
// line as far as the bytes go, yet it answers the command just typed.
TEST(ProgrammingAfterAPrompt, TheStartLineAfterAPromptIsRecognised) {
    ScratchDir dir;
    const std::string image = randomBytes(4 * kSector, 22);
    const std::string imagePath = dir.write("image.bin", image);
    StbsimProcess sim({"--banner", "main loop\\r> ", "--image", imagePath});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(driver.pumpUntil([&] { return screenHas(*s, "main loop"); })) << reportOf(sim);
    driver.chooseFile(imagePath);
    ASSERT_EQ(dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::safe), 1);
    auto ended = driver.next(dl::cmdSenderEnded);
    ASSERT_TRUE(ended) << reportOf(sim);
    EXPECT_EQ(ended->param, dl::senderFinished);
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << reportOf(sim);
    EXPECT_EQ(summary->get("image"), "match");
}

TEST_P(ProgrammingRun, ServesEveryRequestedSectorAndReturnsTheLineToIdle) {
    ScratchDir dir;
    constexpr unsigned kSectors = 6;
    const std::string image = randomBytes(kSectors * kSector, 21);
    const std::string imagePath = dir.write("image.bin", image);
    StbsimProcess sim({"--no-banner", "--image", imagePath, "--order", GetParam(), "--seed", "3"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.chooseFile(imagePath);

    ASSERT_EQ(dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::safe), 1);
    auto ended = driver.next(dl::cmdSenderEnded);
    ASSERT_TRUE(ended) << reportOf(sim);
    EXPECT_EQ(ended->param, dl::senderFinished);

    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << reportOf(sim);
    EXPECT_EQ(summary->get("kind"), "m:prog_sum");
    EXPECT_EQ(summary->get("end"), "stop");
    EXPECT_EQ(summary->number("sectors"), kSectors);
    const unsigned requests = static_cast<unsigned>(summary->number("requests"));
    EXPECT_EQ(summary->number("ok"), requests);
    EXPECT_EQ(summary->number("bad"), 0u);
    EXPECT_EQ(summary->get("image"), "match");
    // The box reports bytes that came without a request before each request; the PC must never send any.
    EXPECT_FALSE(sim.waitEvent("STRAY", 0ms)) << reportOf(sim);

    std::set<unsigned> served;
    std::optional<SimEvent> last;
    for (unsigned i = 0; i < requests; ++i) {
        last = sim.waitEvent("SECTOR", kStep);
        ASSERT_TRUE(last) << reportOf(sim);
        const auto n = static_cast<unsigned>(last->number("n"));
        served.insert(n);
        EXPECT_EQ(last->get("sum"), hexText(byteSum(sectorOf(image, n)))) << last->raw;
        EXPECT_EQ(last->get("ok"), "1") << last->raw;
        EXPECT_EQ(last->get("match"), "1") << last->raw;
    }
    EXPECT_EQ(served.size(), kSectors);
    if (GetParam() == "repeat") {
        EXPECT_GT(requests, kSectors);
    }

    // Repeats are sent again and counted again.
    EXPECT_EQ(s->sectorsSent.load(), requests);
    EXPECT_EQ(s->bytesSent.load(), requests * kSector);
    if (GetParam() == "random") {
        EXPECT_EQ(s->percent.load(), 100u);
    } else {
        EXPECT_GT(s->percent.load(), 100u) << "more sectors sent than announced";
    }
    const auto lastSector = static_cast<unsigned>(last->number("n"));
    // The box has ended the run: the title keeps its last figures as a finished run.
    EXPECT_EQ(driver.lastTitle(kWindow),
              titleFor(kSlot, lastSector, byteSum(sectorOf(image, lastSector))) + " done");

    EXPECT_EQ(driver.countHandled(dl::cmdUpload), 1);
    EXPECT_EQ(driver.fileChoices(), 1);
    EXPECT_EQ(dl::recentFileAt(0), imagePath) << "a programmed image goes to the front of the recent files";
    EXPECT_EQ(s->programming.load(), 0);
    EXPECT_TRUE(lineIsIdle(*s));
}

INSTANTIATE_TEST_SUITE_P(Orders, ProgrammingRun, testing::Values("random", "repeat"));

// A box that takes its time before each line it sends: the image is taken (command 608) well before the
// first sector request arrives, as when the image comes from the recent-files list without a dialog. The
// sender must wait for that request; a sector sent unasked is taken by the box as the data of the sector it
// asks for next.
TEST(ProgrammingTiming, NothingIsSentBeforeTheBoxAsksForASector) {
    ScratchDir dir;
    constexpr unsigned kSectors = 3;
    const std::string image = randomBytes(kSectors * kSector, 24);
    const std::string imagePath = dir.write("image.bin", image);
    StbsimProcess sim({"--no-banner", "--image", imagePath, "--turnaround-ms", "100"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    dl::pendingRecentFile = imagePath;

    ASSERT_EQ(dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::safe), 1);
    ASSERT_TRUE(driver.next(dl::cmdSenderEnded)) << reportOf(sim);
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << reportOf(sim);
    EXPECT_EQ(driver.fileChoices(), 0) << "the recent file is taken without a dialog";
    EXPECT_EQ(summary->number("requests"), kSectors);
    EXPECT_EQ(s->sectorsSent.load(), summary->number("requests")) << "sectors sent unasked";
    EXPECT_FALSE(sim.waitEvent("STRAY", 0ms)) << reportOf(sim);
    EXPECT_EQ(summary->number("bad"), 0u) << reportOf(sim);
    EXPECT_EQ(summary->get("image"), "match") << reportOf(sim);
}

TEST(ProgrammingThenSend, ADataSendWorksOnTheSameConnectionAfterAProgrammingRun) {
    ScratchDir dir;
    const std::string image = randomBytes(3 * kSector, 22);
    const std::string data = randomBytes(40000, 23);
    StbsimProcess sim(
        {"--no-banner", "--image", dir.write("image.bin", image), "--save", dir.file("taken.bin")});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.chooseFile(dir.file("image.bin"));
    ASSERT_EQ(dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::cardless), 1);
    ASSERT_TRUE(driver.next(dl::cmdSenderEnded)) << reportOf(sim);
    // The sectors themselves are the programming tests' concern; here the run only has to end by its stop
    // line.
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << reportOf(sim);
    EXPECT_EQ(summary->get("end"), "stop");
    EXPECT_EQ(dl::protocolMode.load(), dl::modeIdle) << "the stop line hands the line back";

    ASSERT_TRUE(sendFile(driver, dir.write("data.bin", data))) << reportOf(sim);
    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << reportOf(sim);
    EXPECT_EQ(take->get("ok"), "1") << take->raw;
    EXPECT_EQ(dir.read("taken.bin"), data);
    EXPECT_EQ(driver.countHandled(dl::cmdSendNotify, 0), 1);
    EXPECT_TRUE(lineIsIdle(*s));
}

// ----- Data send -----

class DataSend : public testing::TestWithParam<size_t> {};

TEST_P(DataSend, SendsTheWholeFileAndReportsItsCountAndChecksum) {
    ScratchDir dir;
    const size_t size = GetParam();
    const std::string data = randomBytes(size, 31);
    StbsimProcess sim({"--no-banner", "--save", dir.file("taken.bin")});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);

    ASSERT_TRUE(sendFile(driver, dir.write("data.bin", data))) << reportOf(sim);

    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << reportOf(sim);
    EXPECT_EQ(take->number("size"), size);
    EXPECT_EQ(take->number("sum"), byteSum(data));
    EXPECT_EQ(take->get("ok"), "1") << take->raw;
    EXPECT_EQ(take->get("saved"), "1") << take->raw;
    EXPECT_EQ(dir.read("taken.bin"), data);

    // The box asked for the data with the announced size, and confirmed before the line went idle.
    EXPECT_EQ(driver.countHandled(dl::cmdSendNotify, static_cast<intptr_t>(size)), 1);
    const int done = driver.indexOf(dl::cmdSendNotify, 0);
    ASSERT_GE(done, 0) << "no completion";
    EXPECT_LT(done, driver.indexOf(dl::cmdExchangeEnded));
    auto box = messageTitled(driver, "Data Transmitting Done");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, sendDoneText(size, byteSum(data)));
    EXPECT_EQ(dl::transfer.transferCount.load(), size);
    EXPECT_EQ(dl::transfer.runningChecksum.load(), byteSum(data));
    EXPECT_EQ(s->bytesSent.load(), size);
    EXPECT_EQ(s->percent.load(), 100u);
    EXPECT_EQ(driver.countHandled(dl::cmdSenderEnded, dl::senderFinished), 1);
    EXPECT_TRUE(lineIsIdle(*s));
}

// 32768 bytes is the smallest file the box takes.
INSTANTIATE_TEST_SUITE_P(Sizes, DataSend, testing::Values(size_t{40000}, size_t{32768}));

TEST(DataSendRefusal, TooSmallFileIsRefusedWhenTheDataIsAskedForAndTheLineStaysUsable) {
    ScratchDir dir;
    const std::string small = randomBytes(32767, 32);
    const std::string data = randomBytes(40000, 33);
    StbsimProcess sim({"--no-banner", "--save", dir.file("taken.bin"), "--timeout-ms", "300"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);

    ASSERT_TRUE(sendFile(driver, dir.write("small.bin", small))) << reportOf(sim);
    // The size was announced and the data asked for; only then is the file refused.
    EXPECT_EQ(driver.countHandled(dl::cmdSendNotify, 32767), 1);
    auto box = messageTitled(driver, "Please AC PLUG OFF and ON to continue");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "Size of the file is invalid !");
    EXPECT_EQ(box->owner, kWindow);
    EXPECT_EQ(dl::transfer.transferCount.load(), 0u) << "no data may go out";
    EXPECT_EQ(s->bytesSent.load(), 0u);
    EXPECT_EQ(driver.countHandled(dl::cmdSenderEnded), 0) << "no stream may start";
    EXPECT_EQ(driver.countHandled(dl::cmdSendNotify, 0), 0);
    EXPECT_TRUE(lineIsIdle(*s));
    auto abort = sim.waitEvent("TAKE_ABORT", kStep);
    ASSERT_TRUE(abort) << reportOf(sim);
    EXPECT_EQ(abort->get("reason"), "timeout");
    EXPECT_EQ(abort->get("phase"), "take-data");

    ASSERT_TRUE(sendFile(driver, dir.write("data.bin", data))) << reportOf(sim);
    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << reportOf(sim);
    EXPECT_EQ(take->get("ok"), "1") << take->raw;
    EXPECT_EQ(dir.read("taken.bin"), data);
    EXPECT_EQ(driver.countHandled(dl::cmdSendNotify, 0), 1);
    EXPECT_TRUE(lineIsIdle(*s));
}

// ----- Data receive -----

TEST(DataReceive, UploadIsCheckedConfirmedAndSavedByteExact) {
    ScratchDir dir;
    const std::string data = randomBytes(40000, 41);
    StbsimProcess sim({"--no-banner", "--upload", dir.write("upload.bin", data)});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.chooseFile(dir.file("saved.bin"));

    ASSERT_TRUE(receiveUpload(driver)) << reportOf(sim);

    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << reportOf(sim);
    EXPECT_EQ(upload->get("done"), "1") << upload->raw;
    EXPECT_EQ(upload->number("sum"), byteSum(data));
    const int begun = driver.indexOf(dl::cmdReceiveNotify, 0);
    const int completed = driver.indexOf(dl::cmdReceiveNotify, 40000);
    ASSERT_GE(begun, 0);
    ASSERT_GE(completed, 0);
    EXPECT_LT(begun, completed);
    auto box = messageTitled(driver, "Data Receiving Done");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, receiveDoneText(data.size(), byteSum(data)));
    EXPECT_EQ(box->buttons, dl::MessageButtons::yesNo);
    EXPECT_EQ(dir.read("saved.bin"), data);
    EXPECT_EQ(dl::transfer.receivedCount.load(), data.size());
    // The data never reaches the screen: the transfer holds the line while it arrives.
    const std::string shown = driver.shown(kWindow);
    EXPECT_EQ(shown.find(data.substr(20000, 16)), std::string::npos);
    EXPECT_LT(shown.size(), 100u);
    EXPECT_TRUE(lineIsIdle(*s));
}

// The reader tells the frame that a receive began (619 with 0) from inside the frame detector, and the
// frame looks up the receiving session when it handles that command, to label its progress panel. Here the
// reader is held right after the detector returned, as a busy machine may hold it, until the frame has
// handled the command: the frame must still find the receiving session.
TEST(DataReceive, ReceiveStartFindsItsSessionHoweverTheReaderIsScheduled) {
    std::mutex m;
    std::condition_variable cv;
    bool frameTold = false;
    StbsimProcess sim({"--no-banner", "--upload-size", "5000"});
    CoreDriver driver;  // after the objects the held reader uses, so it is joined before they go
    driver.setAnswer(dl::MessageAnswer::no);
    auto detect = dl::receiveHandlers().detectHandshake;
    dl::receiveHandlers().detectHandshake = [&, detect](dl::PortSession& session,
                                                        std::span<const uint8_t> bytes) {
        const int found = detect(session, bytes);
        if (found == dl::handshakeReceive) {
            std::unique_lock lock(m);
            cv.wait_for(lock, kStep, [&] { return frameTold; });
        }
        return found;
    };
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);

    driver.type(kWindow, "m:upload\r");
    ASSERT_TRUE(driver.pumpUntil([&] {
        if (driver.countHandled(dl::cmdReceiveNotify, 0) > 0) {
            std::lock_guard lock(m);
            frameTold = true;
            cv.notify_all();
        }
        return driver.countHandled(dl::cmdExchangeEnded) > 0;
    })) << reportOf(sim);
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify, 5000), 1);
    EXPECT_EQ(s->fileInfo, "Data Receiving...") << "the panel of the receiving session was not labelled";
}

TEST(DataReceive, ChecksumMismatchIsNeitherConfirmedNorOfferedAndTheLineGoesBackToIdle) {
    StbsimProcess sim({"--no-banner", "--upload-size", "40000", "--fault", "bad-sum", "--timeout-ms", "300"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.setAnswer(dl::MessageAnswer::no);

    ASSERT_TRUE(receiveUpload(driver)) << reportOf(sim);
    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << reportOf(sim);
    EXPECT_EQ(upload->get("done"), "0") << "no s:done! for a wrong checksum";
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify, 0), 1);
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify), 1) << "no completion for a wrong checksum";
    EXPECT_FALSE(messageTitled(driver, "Data Receiving Done"));
    EXPECT_TRUE(lineIsIdle(*s));

    // The fault fires once: the next upload completes, so the line really is idle again.
    ASSERT_TRUE(receiveUpload(driver)) << reportOf(sim);
    upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << reportOf(sim);
    EXPECT_EQ(upload->get("done"), "1") << upload->raw;
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify, 40000), 1);
    EXPECT_TRUE(lineIsIdle(*s));
}

TEST(DataReceive, OversizedAnnouncementIsRefusedAtTheSizeStep) {
    StbsimProcess sim({"--no-banner", "--upload-size", "1000", "--fault", "oversize", "--timeout-ms", "300"});
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.setAnswer(dl::MessageAnswer::no);

    ASSERT_TRUE(receiveUpload(driver)) << reportOf(sim);
    auto begin = sim.waitEvent("UPLOAD_BEGIN", kStep);
    ASSERT_TRUE(begin) << reportOf(sim);
    EXPECT_GT(begin->number("size"), dl::kReceiveCapacity);
    // The PC never asked for the data: the box gave up waiting for "s:send data".
    auto abort = sim.waitEvent("UPLOAD_ABORT", kStep);
    ASSERT_TRUE(abort) << reportOf(sim);
    EXPECT_EQ(abort->get("reason"), "timeout");
    EXPECT_EQ(abort->get("phase"), "upload-data");
    EXPECT_TRUE(screenHas(*s, "<CE-1B>")) << "the refusal is marked on the screen";
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify), 1) << "only the start was told";
    EXPECT_EQ(dl::transfer.receivedCount.load(), 0u);
    EXPECT_TRUE(lineIsIdle(*s));

    ASSERT_TRUE(receiveUpload(driver)) << reportOf(sim);
    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << reportOf(sim);
    EXPECT_EQ(upload->get("done"), "1") << upload->raw;
    EXPECT_EQ(driver.countHandled(dl::cmdReceiveNotify, 1000), 1);
    EXPECT_TRUE(lineIsIdle(*s));
}

// ----- The box hanging up mid-exchange -----

enum class Exchange { program, send, receive };

struct HangupCase {
    const char* phase;
    Exchange exchange;
};

std::string caseName(const testing::TestParamInfo<HangupCase>& info) {
    std::string name;
    for (const char* p = info.param.phase; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

void PrintTo(const HangupCase& c, std::ostream* os) {
    *os << c.phase;
}

class HangUp : public testing::TestWithParam<HangupCase> {};

TEST_P(HangUp, LostLineDisconnectsPromptlyLeavesNothingRunningAndANewConnectionWorks) {
    const HangupCase& c = GetParam();
    ScratchDir dir;
    const std::string imagePath = dir.write("image.bin", randomBytes(4 * kSector, 51));
    const std::string dataPath = dir.write("data.bin", randomBytes(40000, 52));
    std::vector<std::string> args{"--no-banner", "--fault", std::string("hangup@") + c.phase};
    if (c.exchange == Exchange::program) args.insert(args.end(), {"--image", imagePath});
    StbsimProcess sim(args);
    CoreDriver driver;
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    ASSERT_NE(s, nullptr);
    driver.setAnswer(dl::MessageAnswer::no);

    switch (c.exchange) {
        case Exchange::program:
            driver.chooseFile(imagePath);
            ASSERT_EQ(dl::sendProgrammingCommand(kWindow, dl::ProgrammingCommand::safe), 1);
            break;
        case Exchange::send:
            driver.chooseFile(dataPath);
            dl::startDataSend(kWindow);
            break;
        case Exchange::receive:
            driver.type(kWindow, "m:upload\r");
            break;
    }
    auto lost = driver.next(dl::cmdLineLost);
    ASSERT_TRUE(lost) << reportOf(sim);
    EXPECT_EQ(lost->window, kWindow);
    auto hangup = sim.waitEvent("HANGUP", kStep);
    ASSERT_TRUE(hangup) << reportOf(sim);
    EXPECT_EQ(hangup->get("phase"), c.phase);

    ASSERT_TRUE(driver.lostLineDisconnect);
    EXPECT_LT(*driver.lostLineDisconnect, 1000ms);
    EXPECT_EQ(s->connected.load(), 0);
    EXPECT_TRUE(dltest::noThreadsLeft(*s));
    EXPECT_EQ(s->readerThreadId.load(), 0u);
    EXPECT_EQ(s->programming.load(), 0);
    EXPECT_TRUE(lineIsIdle(*s));

    // The window stays and connects again, to a box that works.
    StbsimProcess fresh({"--banner", "fresh box\\r\\n"});
    ASSERT_TRUE(driver.reconnect(kWindow, fresh.ptyPath()));
    EXPECT_TRUE(driver.pumpUntil([&] { return screenHas(*s, "fresh box"); })) << reportOf(fresh);
    driver.type(kWindow, "ping\r");
    auto line = fresh.waitEvent("LINE", kStep);
    ASSERT_TRUE(line) << reportOf(fresh);
    EXPECT_EQ(line->get("text"), "ping");
}

INSTANTIATE_TEST_SUITE_P(
    Phases, HangUp,
    testing::Values(HangupCase{"program-start", Exchange::program}, HangupCase{"sector:1", Exchange::program},
                    HangupCase{"program-stop", Exchange::program}, HangupCase{"take-answer", Exchange::send},
                    HangupCase{"take-size", Exchange::send}, HangupCase{"take-data", Exchange::send},
                    HangupCase{"take-sum", Exchange::send}, HangupCase{"take-done", Exchange::send},
                    HangupCase{"upload-request", Exchange::receive},
                    HangupCase{"upload-id", Exchange::receive}, HangupCase{"upload-size", Exchange::receive},
                    HangupCase{"upload-data", Exchange::receive},
                    HangupCase{"upload-sum", Exchange::receive}),
    caseName);

}  // namespace
