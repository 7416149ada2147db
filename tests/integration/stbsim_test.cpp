// stbsim driven from the PC's side with hand-written bytes: what the box sends is checked byte for byte, and
// what it reports is checked against sums and files the tests compute themselves. No core library code is
// used, so these tests pin down the simulator on its own before it is used to test the downloader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>

#include "integration/stbsim_process.h"
#include "integration/test_files.h"

namespace {

using namespace std::chrono_literals;
using dltest::PcPort;
using dltest::SimEvent;
using dltest::StbsimProcess;

// The deadline of any single step. Only a failing test ever waits this long.
constexpr auto kStep = 3000ms;
constexpr size_t kSector = 4096;

const std::string kRequestFrame = std::string("\x1B\xDA\xAA", 3) + "h:down_data";
const std::string kAnswerFrame = std::string("\x1B\xDA\xDD", 3) + "s:send id";

std::string randomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

uint32_t byteSum(std::string_view bytes) {
    uint32_t sum = 0;
    for (char byte : bytes) sum += static_cast<uint8_t>(byte);
    return sum;
}

std::string littleEndian(uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
    return bytes;
}

// The decimal field of the data transfers: "%8u" and CR.
std::string decimalField(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%8u\r", value);
    return text;
}

using dltest::hexText;

using dltest::ScratchDir;

// "s:prog_sector 00A1" CR LF and its kind: the value of the four-digit field, or nullopt for another line.
std::optional<unsigned> programmingValue(const std::string& line, std::string_view prefix) {
    if (line.size() != prefix.size() + 6 || line.compare(0, prefix.size(), prefix) != 0 ||
        !line.ends_with("\r\n"))
        return std::nullopt;
    std::string field = line.substr(prefix.size(), 4);
    if (field.find_first_not_of("0123456789ABCDEF") != std::string::npos) return std::nullopt;
    return static_cast<unsigned>(std::stoul(field, nullptr, 16));
}

// What the PC sends for a requested sector.
using SectorReply = std::function<std::string(unsigned sector, std::string_view data)>;

std::string honestReply(unsigned, std::string_view data) {
    return std::string(data) + littleEndian(byteSum(data));
}

struct RunSeen {
    std::optional<unsigned> announced;
    std::vector<unsigned> requests;
    bool stopped = false;
};

// Plays the PC's side of a programming run from its start line to its stop line.
RunSeen servePc(PcPort& port, const std::string& image, const SectorReply& reply = honestReply) {
    RunSeen seen;
    if (auto start = port.readUntil("\r\n", kStep))
        seen.announced = programmingValue(*start, "s:prog_start ");
    if (!seen.announced) return seen;
    while (auto line = port.readUntil("\r\n", kStep)) {
        if (programmingValue(*line, "s:prog_stop ")) {
            seen.stopped = true;
            break;
        }
        auto sector = programmingValue(*line, "s:prog_sector ");
        if (!sector) {
            ADD_FAILURE() << "unexpected line from the box: " << *line;
            break;
        }
        seen.requests.push_back(*sector);
        port.write(reply(*sector, std::string_view(image).substr(*sector * kSector, kSector)));
    }
    return seen;
}

// Drives the take exchange up to the box's request for the data; false (with a failure) on a wrong answer.
bool offerData(PcPort& port, size_t size) {
    port.write(kRequestFrame);
    EXPECT_EQ(port.readExactly(kAnswerFrame.size(), kStep), kAnswerFrame);
    port.write("h:vexon\r");
    EXPECT_EQ(port.readUntil("\r", kStep), "s:send size\r");
    port.write(decimalField(static_cast<uint32_t>(size)));
    auto request = port.readUntil("\r", kStep);
    EXPECT_EQ(request, "s:send data\r");
    return request == "s:send data\r";
}

// Drives an upload up to the data request: returns the size the box announced.
std::optional<uint32_t> acceptUpload(PcPort& port) {
    EXPECT_EQ(port.readUntil(kRequestFrame, kStep), kRequestFrame);
    port.write(kAnswerFrame);
    EXPECT_EQ(port.readUntil("\r", kStep), "h:vexon\r");
    port.write("s:send size\r");
    auto field = port.readExactly(9, kStep);
    if (!field || field->back() != '\r') {
        ADD_FAILURE() << "no size field";
        return std::nullopt;
    }
    auto size = static_cast<uint32_t>(std::stoul(*field));
    EXPECT_EQ(*field, decimalField(size)) << "the size is not a %8u field";
    return size;
}

TEST(StbsimConsole, GreetsReportsTypedLinesEchoesAndEndsWithTheClient) {
    StbsimProcess sim({"--echo", "--banner", "boot ok\\r\\n", "--banner-delay-ms", "0"});
    PcPort port(sim.ptyPath());
    ASSERT_TRUE(sim.waitEvent("CONNECTED", kStep)) << sim.log();
    EXPECT_EQ(port.readUntil("\r\n", kStep), "boot ok\r\n");

    port.write("ab\bc d\r");
    EXPECT_EQ(port.readUntil("d\r\n", kStep), "ab\b \bc d\r\n");
    auto line = sim.waitEvent("LINE", kStep);
    ASSERT_TRUE(line) << sim.log();
    EXPECT_EQ(line->get("text"), "ac d");
    EXPECT_NE(line->raw.find("text=ac\\x20d"), std::string::npos) << "blanks must be escaped: " << line->raw;

    port.close();
    EXPECT_TRUE(sim.waitEvent("DISCONNECTED", kStep)) << sim.log();
    auto exit = sim.waitEvent("EXIT", kStep);
    ASSERT_TRUE(exit) << sim.log();
    EXPECT_EQ(exit->get("reason"), "client-closed");
    EXPECT_EQ(sim.waitExit(kStep), 0);
}

class StbsimProgramming : public testing::TestWithParam<std::string> {};

TEST_P(StbsimProgramming, EverySectorArrivesChecksummedAndMatchesTheImage) {
    ScratchDir dir;
    const std::string image = randomBytes(3 * kSector, 7);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image), "--order", GetParam(),
                       "--seed", "5", "--exit-after-program"});
    PcPort port(sim.ptyPath());
    port.write("\rm:prog_sum\r");
    RunSeen run = servePc(port, image);

    EXPECT_EQ(run.announced, 3u);
    EXPECT_TRUE(run.stopped);
    std::multiset<unsigned> requested(run.requests.begin(), run.requests.end());
    if (GetParam() == "seq") {
        EXPECT_EQ(run.requests, (std::vector<unsigned>{0, 1, 2}));
    } else if (GetParam() == "random") {
        EXPECT_EQ(requested, (std::multiset<unsigned>{0, 1, 2}));
    } else {
        EXPECT_GT(run.requests.size(), 3u);
        for (unsigned n : {0u, 1u, 2u})
            EXPECT_TRUE(requested.count(n)) << "sector " << n << " never requested";
    }

    auto command = sim.waitEvent("COMMAND", kStep);
    ASSERT_TRUE(command) << sim.log();
    EXPECT_EQ(command->get("kind"), "m:prog_sum");
    for (unsigned n : run.requests) {
        auto sector = sim.waitEvent("SECTOR", kStep);
        ASSERT_TRUE(sector) << sim.log();
        EXPECT_EQ(sector->number("n"), n);
        EXPECT_EQ(sector->get("sum"), hexText(byteSum(std::string_view(image).substr(n * kSector, kSector))));
        EXPECT_EQ(sector->get("ok"), "1") << sector->raw;
        EXPECT_EQ(sector->get("match"), "1") << sector->raw;
    }
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->number("sectors"), 3u);
    EXPECT_EQ(summary->number("requests"), run.requests.size());
    EXPECT_EQ(summary->number("ok"), run.requests.size());
    EXPECT_EQ(summary->number("bad"), 0u);
    EXPECT_EQ(summary->get("image"), "match");
    EXPECT_EQ(summary->get("end"), "stop");
    EXPECT_EQ(sim.waitExit(kStep), 0);
}

INSTANTIATE_TEST_SUITE_P(StbsimOrders, StbsimProgramming, testing::Values("seq", "random", "repeat"));

TEST(StbsimProgrammingFaults, WrongChecksumIsReportedAndTheSectorRequestedAgain) {
    ScratchDir dir;
    const std::string image = randomBytes(3 * kSector, 8);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image)});
    PcPort port(sim.ptyPath());
    port.write("\rm:prog_all\r");
    bool spoiled = false;
    RunSeen run = servePc(port, image, [&](unsigned n, std::string_view data) {
        if (n != 1 || spoiled) return honestReply(n, data);
        spoiled = true;
        return std::string(data) + littleEndian(byteSum(data) + 1);
    });

    EXPECT_EQ(run.requests, (std::vector<unsigned>{0, 1, 1, 2}));
    std::vector<std::string> verdicts;
    for (size_t i = 0; i < run.requests.size(); ++i) {
        auto sector = sim.waitEvent("SECTOR", kStep);
        ASSERT_TRUE(sector) << sim.log();
        verdicts.push_back(sector->get("n") + ":" + sector->get("ok"));
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"0:1", "1:0", "1:1", "2:1"}));
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->get("kind"), "m:prog_all");
    EXPECT_EQ(summary->number("ok"), 3u);
    EXPECT_EQ(summary->number("bad"), 1u);
    EXPECT_EQ(summary->number("failed"), 0u);
    EXPECT_EQ(summary->get("image"), "match");
}

TEST(StbsimProgrammingFaults, ConsistentButWrongDataIsAnImageMismatch) {
    ScratchDir dir;
    const std::string image = randomBytes(3 * kSector, 9);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image)});
    PcPort port(sim.ptyPath());
    port.write("\rm:Cardless\r");
    servePc(port, image, [](unsigned n, std::string_view data) {
        std::string other(data);
        if (n == 2) other[100] = static_cast<char>(other[100] ^ 0x40);
        return honestReply(n, other);
    });

    for (const char* expected : {"1", "1", "0"}) {
        auto sector = sim.waitEvent("SECTOR", kStep);
        ASSERT_TRUE(sector) << sim.log();
        EXPECT_EQ(sector->get("ok"), "1");
        EXPECT_EQ(sector->get("match"), expected) << sector->raw;
    }
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->get("image"), "mismatch");
}

// An image that ends inside its last sector: the PC sends that sector's whole 128-byte chunks and then
// nothing, not even a checksum. The box recognises that as the image's end and gives up after its timeout.
TEST(StbsimProgrammingFaults, ShortLastSectorMatchesTheImageAndEndsByTimeout) {
    ScratchDir dir;
    const std::string image = randomBytes(2 * kSector + 2100, 10);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image), "--timeout-ms", "200"});
    PcPort port(sim.ptyPath());
    port.write("\rm:m5prog\r");
    EXPECT_EQ(port.readUntil("\r\n", kStep), "s:prog_start 0003\r\n");
    for (unsigned n = 0; n < 3; ++n) {
        auto request = port.readUntil("\r\n", kStep);
        ASSERT_TRUE(request);
        ASSERT_EQ(programmingValue(*request, "s:prog_sector "), n);
        std::string_view data = std::string_view(image).substr(n * kSector, kSector);
        port.write(data.size() == kSector ? honestReply(n, data) : std::string(data.substr(0, 2048)));
    }

    std::optional<SimEvent> last;
    for (int i = 0; i < 3; ++i) last = sim.waitEvent("SECTOR", kStep);
    ASSERT_TRUE(last) << sim.log();
    EXPECT_EQ(last->number("bytes"), 2048u);
    EXPECT_EQ(last->get("got"), "-");
    EXPECT_EQ(last->get("ok"), "0");
    EXPECT_EQ(last->get("match"), "1");
    auto timeout = sim.waitEvent("TIMEOUT", kStep);
    ASSERT_TRUE(timeout) << sim.log();
    EXPECT_EQ(timeout->get("phase"), "sector:2");
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->get("end"), "timeout");
    EXPECT_EQ(summary->number("requests"), 3u) << "an incomplete sector is not requested again";
    EXPECT_EQ(summary->get("image"), "match");
}

TEST(StbsimTake, TakesADataFileAndSavesItByteExact) {
    ScratchDir dir;
    const std::string data = randomBytes(40000, 11);
    // With echo on, the request frame still must not come back: the PC would take it for an upload request.
    StbsimProcess sim({"--no-banner", "--echo", "--save", dir.file("saved.bin"), "--exit-after-take"});
    PcPort port(sim.ptyPath());
    ASSERT_TRUE(offerData(port, data.size()));
    port.write(data);
    EXPECT_EQ(port.readUntil("\r", kStep), "s:send sum\r");
    port.write(decimalField(byteSum(data)));
    EXPECT_EQ(port.readUntil("\r", kStep), "s:done!\r");

    EXPECT_TRUE(sim.waitEvent("TAKE_BEGIN", kStep)) << sim.log();
    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << sim.log();
    EXPECT_EQ(take->number("size"), data.size());
    EXPECT_EQ(take->number("sum"), byteSum(data));
    EXPECT_EQ(take->get("ok"), "1");
    EXPECT_EQ(take->get("saved"), "1");
    EXPECT_EQ(sim.waitExit(kStep), 0);
    EXPECT_EQ(dir.read("saved.bin"), data);
}

TEST(StbsimTake, WrongChecksumIsNeitherConfirmedNorSaved) {
    ScratchDir dir;
    const std::string data = randomBytes(32768, 12);
    StbsimProcess sim({"--no-banner", "--echo", "--save", dir.file("saved.bin")});
    PcPort port(sim.ptyPath());
    ASSERT_TRUE(offerData(port, data.size()));
    port.write(data);
    EXPECT_EQ(port.readUntil("\r", kStep), "s:send sum\r");
    port.write(decimalField(byteSum(data) ^ 0x10));

    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << sim.log();
    EXPECT_EQ(take->get("ok"), "0");
    EXPECT_EQ(take->number("got"), byteSum(data) ^ 0x10);
    // Back at the console, the echo of a typed line is the first thing the box sends: no "s:done!" came
    // before.
    port.write("x\r");
    EXPECT_EQ(port.readUntil("x\r\n", kStep), "x\r\n");
    EXPECT_FALSE(dir.read("saved.bin"));
}

TEST(StbsimTake, WrongIdentificationIsAProtocolError) {
    StbsimProcess sim({"--no-banner"});
    PcPort port(sim.ptyPath());
    port.write(kRequestFrame);
    EXPECT_EQ(port.readExactly(kAnswerFrame.size(), kStep), kAnswerFrame);
    port.write("h:vexoX\r");

    auto error = sim.waitEvent("PROTOCOL_ERROR", kStep);
    ASSERT_TRUE(error) << sim.log();
    EXPECT_EQ(error->get("expected"), "h:vexon");
    EXPECT_EQ(error->get("got"), "h:vexoX");
    auto abort = sim.waitEvent("TAKE_ABORT", kStep);
    ASSERT_TRUE(abort) << sim.log();
    EXPECT_EQ(abort->get("reason"), "protocol");
    EXPECT_EQ(abort->get("phase"), "take-id");
}

TEST(StbsimTake, PcFallingSilentMidDataTimesOut) {
    StbsimProcess sim({"--no-banner", "--timeout-ms", "200"});
    PcPort port(sim.ptyPath());
    ASSERT_TRUE(offerData(port, 40000));
    port.write(randomBytes(10000, 13));

    auto abort = sim.waitEvent("TAKE_ABORT", kStep);
    ASSERT_TRUE(abort) << sim.log();
    EXPECT_EQ(abort->get("reason"), "timeout");
    EXPECT_EQ(abort->get("phase"), "take-data");
}

TEST(StbsimUpload, UploadsAFileByteExactWithItsChecksum) {
    ScratchDir dir;
    const std::string data = randomBytes(50000, 14);
    StbsimProcess sim({"--no-banner", "--upload", dir.write("upload.bin", data), "--exit-after-upload"});
    PcPort port(sim.ptyPath());
    port.write("m:upload\r");
    EXPECT_EQ(acceptUpload(port), data.size());
    port.write("s:send data\r");
    // The lone CR opens the PC's data phase; the data follows it.
    EXPECT_EQ(port.readExactly(1, kStep), "\r");
    EXPECT_EQ(port.readExactly(data.size(), kStep), data);
    port.write("s:send sum\r");
    EXPECT_EQ(port.readExactly(9, kStep), decimalField(byteSum(data)));
    port.write("s:done!\r");

    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << sim.log();
    EXPECT_EQ(upload->number("size"), data.size());
    EXPECT_EQ(upload->number("sum"), byteSum(data));
    EXPECT_EQ(upload->get("done"), "1");
    EXPECT_EQ(sim.waitExit(kStep), 0);
}

TEST(StbsimUpload, BadChecksumFaultLeavesTheUploadUnconfirmed) {
    StbsimProcess sim({"--no-banner", "--upload-size", "5000", "--upload-after-ms", "0", "--fault", "bad-sum",
                       "--timeout-ms", "200"});
    PcPort port(sim.ptyPath());
    EXPECT_EQ(acceptUpload(port), 5000u);
    port.write("s:send data\r");
    auto data = port.readExactly(1 + 5000, kStep);
    ASSERT_TRUE(data);
    port.write("s:send sum\r");
    auto field = port.readExactly(9, kStep);
    ASSERT_TRUE(field);
    EXPECT_NE(*field, decimalField(byteSum(data->substr(1))));
    // A PC that finds the mismatch stays silent.

    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << sim.log();
    EXPECT_EQ(upload->number("sum"), byteSum(data->substr(1)));
    EXPECT_EQ(upload->get("done"), "0");
}

TEST(StbsimUpload, OversizeFaultAnnouncesMoreThanThePcCanHold) {
    StbsimProcess sim({"--no-banner", "--upload-size", "1000", "--fault", "oversize", "--timeout-ms", "200"});
    PcPort port(sim.ptyPath());
    port.write("m:upload\r");
    auto size = acceptUpload(port);
    ASSERT_TRUE(size);
    EXPECT_GT(*size, 262144u);
    // A PC that refuses the size does not ask for the data.

    auto abort = sim.waitEvent("UPLOAD_ABORT", kStep);
    ASSERT_TRUE(abort) << sim.log();
    EXPECT_EQ(abort->get("reason"), "timeout");
    EXPECT_EQ(abort->get("phase"), "upload-data");
}

TEST(StbsimFaults, HangupMidSectorClosesTheLine) {
    ScratchDir dir;
    const std::string image = randomBytes(3 * kSector, 15);
    StbsimProcess sim(
        {"--no-banner", "--image", dir.write("image.bin", image), "--fault", "hangup@sector:1"});
    PcPort port(sim.ptyPath());
    port.write("\rm:prog_sum\r");
    EXPECT_EQ(port.readUntil("\r\n", kStep), "s:prog_start 0003\r\n");
    for (unsigned n = 0; n < 2; ++n) {
        auto request = port.readUntil("\r\n", kStep);
        ASSERT_TRUE(request);
        ASSERT_EQ(programmingValue(*request, "s:prog_sector "), n);
        port.write(honestReply(n, std::string_view(image).substr(n * kSector, kSector)));
    }

    EXPECT_TRUE(port.waitHangup(kStep));
    auto hangup = sim.waitEvent("HANGUP", kStep);
    ASSERT_TRUE(hangup) << sim.log();
    EXPECT_EQ(hangup->get("phase"), "sector:1");
    EXPECT_EQ(sim.waitExit(kStep), 0);
}

TEST(StbsimFaults, WrongTokenLeavesTheBoxWaitingInVain) {
    StbsimProcess sim({"--no-banner", "--fault", "wrong-token", "--timeout-ms", "200"});
    PcPort port(sim.ptyPath());
    port.write(kRequestFrame);
    EXPECT_EQ(port.readExactly(kAnswerFrame.size(), kStep), kAnswerFrame);
    port.write("h:vexon\r");
    auto token = port.readUntil("\r", kStep);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), std::string("s:send size\r").size());
    EXPECT_NE(*token, "s:send size\r");
    // The PC abandons the exchange on the wrong token and sends no size.

    auto abort = sim.waitEvent("TAKE_ABORT", kStep);
    ASSERT_TRUE(abort) << sim.log();
    EXPECT_EQ(abort->get("reason"), "timeout");
    EXPECT_EQ(abort->get("phase"), "take-size");
}

// Reads the next token as the PC's recognisers count it: printable bytes since the last CR or LF, other
// control bytes ignored. Shorter runs that a line end cuts off are noise; they are counted.
std::optional<std::string> nextToken(PcPort& port, size_t length, int& noise) {
    std::string token;
    auto until = std::chrono::steady_clock::now() + kStep;
    while (std::chrono::steady_clock::now() < until) {
        auto byte = port.readExactly(1, kStep);
        if (!byte) return std::nullopt;
        unsigned char c = static_cast<unsigned char>((*byte)[0]);
        if (c == '\r' || c == '\n') {
            if (!token.empty()) ++noise;
            token.clear();
        } else if (c >= 0x20 && (token += static_cast<char>(c)).size() == length) {
            return token;
        }
    }
    return std::nullopt;
}

TEST(StbsimFaults, NoiseNeverSpoilsATokenTheWayThePcCountsThem) {
    const std::string data = randomBytes(1000, 16);
    StbsimProcess sim({"--no-banner", "--fault", "noise"});
    PcPort port(sim.ptyPath());
    port.write(kRequestFrame);
    auto answer = port.readUntil(kAnswerFrame, kStep);
    ASSERT_TRUE(answer);
    int noise = answer->size() > kAnswerFrame.size() ? 1 : 0;
    EXPECT_EQ(answer->find('\x1B'), answer->size() - kAnswerFrame.size()) << "noise must not hold an ESC";

    port.write("h:vexon\r");
    EXPECT_EQ(nextToken(port, 11, noise), "s:send size");
    port.write(decimalField(static_cast<uint32_t>(data.size())));
    EXPECT_EQ(nextToken(port, 11, noise), "s:send data");
    port.write(data);
    EXPECT_EQ(nextToken(port, 10, noise), "s:send sum");
    port.write(decimalField(byteSum(data)));
    EXPECT_EQ(nextToken(port, 7, noise), "s:done!");
    EXPECT_GT(noise, 0) << "no noise seen";

    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << sim.log();
    EXPECT_EQ(take->get("ok"), "1");
}

// At 19200 baud a byte takes 10 / 19200 s, so 960 bytes take half a second in either direction.
TEST(StbsimPacing, KeepsToTheBaudRateBothWays) {
    using Seconds = std::chrono::duration<double>;
    const std::string data = randomBytes(960, 17);
    StbsimProcess sim({"--no-banner", "--baud", "19200", "--upload-size", "960", "--exit-after-upload"});
    PcPort port(sim.ptyPath());

    ASSERT_TRUE(offerData(port, data.size()));
    auto written = std::chrono::steady_clock::now();
    port.write(data);
    EXPECT_EQ(port.readUntil("\r", kStep), "s:send sum\r");
    Seconds taking = std::chrono::steady_clock::now() - written;
    port.write(decimalField(byteSum(data)));
    EXPECT_EQ(port.readUntil("\r", kStep), "s:done!\r");

    port.write("m:upload\r");
    EXPECT_EQ(acceptUpload(port), 960u);
    port.write("s:send data\r");
    EXPECT_EQ(port.readExactly(1, kStep), "\r");
    auto firstByte = port.readExactly(1, kStep);
    auto started = std::chrono::steady_clock::now();
    auto rest = port.readExactly(959, kStep);
    Seconds sending = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(firstByte && rest);

    EXPECT_GT(taking.count(), 0.45);
    EXPECT_LT(taking.count(), 1.5);
    EXPECT_GT(sending.count(), 0.45);
    EXPECT_LT(sending.count(), 1.5);
}

}  // namespace
