// downloader-cli.exe, the Windows build, under wine with the Linux stbsim on the far end: wine maps a
// COM port to the simulator's pseudo-terminal through a link in its prefix's dosdevices folder, so each
// transfer goes through the real Win32 calls (CreateFile, the DCB, overlapped reads and writes,
// ClearCommError, PurgeComm).
//
// DL_WINE_CLI names the .exe (scripts/wine_e2e.sh sets it); without it every test skips. The program runs
// through scripts/wine-run.sh in the prefix WINEPREFIX names, by default build-windows/wineprefix.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "integration/cli_process.h"
#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

namespace {

using namespace std::chrono_literals;
using dltest::byteSum;
using dltest::CliRun;
using dltest::hexText;
using dltest::kStep;
using dltest::randomBytes;
using dltest::ScratchDir;
using dltest::StbsimProcess;
namespace fs = std::filesystem;

constexpr size_t kSector = 4096;
// Wine starts a program in about a second once its server runs; the first start of a run makes the server.
constexpr auto kWineRun = 60s;

std::string env(const char* name, const std::string& otherwise = {}) {
    const char* value = std::getenv(name);
    return value && value[0] ? value : otherwise;
}

std::string exePath() {
    return env("DL_WINE_CLI");
}

fs::path prefix() {
    return env("WINEPREFIX", std::string(DL_SOURCE_DIR) + "/build-windows/wineprefix");
}

class WineCli : public testing::Test {
protected:
    void SetUp() override {
        if (exePath().empty()) GTEST_SKIP() << "DL_WINE_CLI does not name downloader-cli.exe";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(link_, ignored);
    }
    // Wine's COM7 becomes the simulator's line.
    std::string attach(const StbsimProcess& sim) {
        link_ = prefix() / "dosdevices" / "com7";
        std::error_code ignored;
        fs::remove(link_, ignored);
        fs::create_symlink(sim.ptyPath(), link_);
        return "COM7";
    }
    CliRun run(const std::vector<std::string>& args, std::chrono::milliseconds deadline = kWineRun) {
        std::vector<std::string> all{std::string(DL_SOURCE_DIR) + "/scripts/wine-run.sh", exePath()};
        all.insert(all.end(), args.begin(), args.end());
        return dltest::runCommand(all, dir, deadline);
    }
    // The Windows path of a file of the scratch directory (wine's Z: is the Linux root).
    static std::string windowsPath(const std::string& linuxPath) {
        std::string path = "Z:" + linuxPath;
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    }
    ScratchDir dir;
    fs::path link_;
};

TEST_F(WineCli, AnswersItsVersionAndNamesAMissingPortInWords) {
    CliRun version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.describe();
    EXPECT_NE(version.out.find("downloader-cli, Downloader"), std::string::npos) << version.describe();
    // COM4 has no device in the prefix: the default name, refused the way Linux refuses a missing device.
    CliRun missing = run({"--port", "COM4", "receive", "--timeout", "1", windowsPath(dir.file("x.bin"))});
    EXPECT_EQ(missing.exitCode, 3) << missing.describe();
    EXPECT_NE(missing.err.find("Connection failed."), std::string::npos) << missing.describe();
    EXPECT_NE(missing.err.find("\\\\.\\COM4: "), std::string::npos) << missing.describe();
}

TEST_F(WineCli, ProgramServesTheBoxsRunAndExitsZero) {
    const std::string image = randomBytes(16 * kSector, 71);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image), "--order", "random"});
    const std::string port = attach(sim);
    CliRun r = run({"--port", "COM2=" + port, "program", "--kind", "safe", "--timeout", "10",
                    windowsPath(dir.file("image.bin"))});
    ASSERT_EQ(r.exitCode, 0) << r.describe() << sim.log();
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->get("end"), "stop");
    EXPECT_EQ(summary->number("ok"), summary->number("requests"));
    EXPECT_EQ(summary->number("bad"), 0u);
    EXPECT_EQ(summary->get("image"), "match");
    EXPECT_NE(r.out.find(std::to_string(summary->number("requests")) + " sectors sent"), std::string::npos)
        << r.describe();
}

TEST_F(WineCli, SendHandsTheBoxTheFileByteExact) {
    const std::string data = randomBytes(100000, 72);
    StbsimProcess sim({"--no-banner", "--save", dir.file("taken.bin")});
    const std::string port = attach(sim);
    CliRun r =
        run({"--port", "COM1=" + port, "send", "--timeout", "10", windowsPath(dir.write("data.bin", data))});
    ASSERT_EQ(r.exitCode, 0) << r.describe() << sim.log();
    EXPECT_NE(r.out.find("100000 bytes transmitted"), std::string::npos) << r.describe();
    EXPECT_NE(r.out.find("Checksum is " + hexText(byteSum(data))), std::string::npos) << r.describe();
    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << sim.log();
    EXPECT_EQ(take->get("ok"), "1") << take->raw;
    EXPECT_EQ(dir.read("taken.bin"), data);
}

TEST_F(WineCli, ReceiveSavesTheUploadByteExact) {
    // Every byte value, CR LF and Ctrl-Z among them: a text-mode file or console on the way would show.
    std::string data = randomBytes(60000, 73);
    for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
    data += "\r\n\x1a\n\r";
    StbsimProcess sim({"--no-banner", "--upload", dir.write("upload.bin", data), "--upload-after-ms", "300"});
    const std::string port = attach(sim);
    CliRun r = run({"--port", "COM3=" + port, "receive", "--timeout", "10", windowsPath(dir.file("saved.bin"))});
    ASSERT_EQ(r.exitCode, 0) << r.describe() << sim.log();
    EXPECT_EQ(dir.read("saved.bin"), data);
    EXPECT_NE(r.out.find("Checksum is " + hexText(byteSum(data))), std::string::npos) << r.describe();
    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << sim.log();
    EXPECT_EQ(upload->get("done"), "1") << upload->raw;
}

// The box's side of the line closes mid-send, as a pulled adapter does: the tool says the line is lost
// and ends with exit code 3 at once, not at its timeout.
TEST_F(WineCli, HangUpMidSendExitsThreeWithoutHanging) {
    StbsimProcess sim({"--no-banner", "--fault", "hangup@take-data"});
    const std::string port = attach(sim);
    const auto start = std::chrono::steady_clock::now();
    CliRun r = run({"--port", "COM1=" + port, "send", "--timeout", "30",
                    windowsPath(dir.write("data.bin", randomBytes(200000, 74)))});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitCode, 3) << r.describe() << sim.log();
    EXPECT_FALSE(r.killed);
    EXPECT_LT(took, 20s) << r.describe();
    auto hangup = sim.waitEvent("HANGUP", kStep);
    ASSERT_TRUE(hangup) << sim.log();
    EXPECT_EQ(hangup->get("phase"), "take-data");
}

}  // namespace
