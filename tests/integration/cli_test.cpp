// downloader-cli as a script sees it: the program is started with its arguments, stbsim plays the box, and
// the exit code, the output and the box's own report tell how each exchange ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using dltest::byteSum;
using dltest::hexText;
using dltest::kStep;
using dltest::randomBytes;
using dltest::ScratchDir;
using dltest::StbsimProcess;
using Clock = std::chrono::steady_clock;

constexpr size_t kSector = 4096;

struct CliResult {
    int exitCode = -1;  // 128 + signal when killed
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{};
    bool killed = false;  // the deadline passed and the tool was killed
};

std::string cliPath() {
#ifdef DL_CLI_PATH
    return DL_CLI_PATH;
#else
    return {};
#endif
}

// Runs downloader-cli with `args` and its settings under `configHome` (so no settings file of the user's
// applies), stdin from /dev/null, in a session of its own (no controlling terminal to ask on). Reads its
// output until it ends; past the deadline it is killed. It is always reaped. `started` gets its pid,
// for a test that ends it with a signal.
CliResult runCli(const std::vector<std::string>& args, const std::string& configHome,
                 std::chrono::milliseconds deadline = 20s, std::atomic<pid_t>* started = nullptr) {
    CliResult result;
    std::vector<std::string> all{cliPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + configHome};
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("XDG_CONFIG_HOME=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]), close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    if (started && spawned == 0) *started = pid;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]), close(err[0]);
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
        return result;
    }

    const auto until = start + deadline;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string describe(const CliResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.killed ? " (killed at the deadline)" : "") +
           "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

class Cli : public testing::Test {
protected:
    void SetUp() override {
        if (cliPath().empty()) GTEST_SKIP() << "downloader-cli is not built";
    }
    CliResult run(const std::vector<std::string>& args, std::chrono::milliseconds deadline = 20s) {
        return runCli(args, dir.file("config"), deadline);
    }
    ScratchDir dir;
};

TEST_F(Cli, ProgramServesTheBoxsRunAndExitsZero) {
    const std::string image = randomBytes(4 * kSector, 61);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image), "--order", "random"});
    CliResult r =
        run({"--port", sim.ptyPath(), "program", "--kind", "safe", "--timeout", "5", dir.file("image.bin")});
    ASSERT_EQ(r.exitCode, 0) << describe(r) << sim.log();
    auto summary = sim.waitEvent("PROGRAM", kStep);
    ASSERT_TRUE(summary) << sim.log();
    EXPECT_EQ(summary->get("kind"), "m:prog_sum");
    EXPECT_EQ(summary->get("end"), "stop");
    EXPECT_EQ(summary->number("ok"), summary->number("requests"));
    EXPECT_EQ(summary->number("bad"), 0u);
    EXPECT_EQ(summary->get("image"), "match");
    const auto requests = summary->number("requests");
    EXPECT_NE(r.out.find(std::to_string(requests) + " sectors sent, " + std::to_string(requests * kSector) +
                         " bytes"),
              std::string::npos)
        << describe(r);
}

TEST_F(Cli, SendReportsCountAndChecksumAndTheBoxHasTheFile) {
    const std::string data = randomBytes(40000, 62);
    StbsimProcess sim({"--no-banner", "--save", dir.file("taken.bin")});
    CliResult r = run({"--port", sim.ptyPath(), "send", "--timeout", "5", dir.write("data.bin", data)});
    ASSERT_EQ(r.exitCode, 0) << describe(r) << sim.log();
    EXPECT_NE(r.out.find("40000 bytes transmitted"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("Checksum is " + hexText(byteSum(data)) + "\n"), std::string::npos) << describe(r);
    auto take = sim.waitEvent("TAKE", kStep);
    ASSERT_TRUE(take) << sim.log();
    EXPECT_EQ(take->get("ok"), "1") << take->raw;
    EXPECT_EQ(dir.read("taken.bin"), data);
}

TEST_F(Cli, ReceiveSavesTheUploadByteExact) {
    const std::string data = randomBytes(40000, 63);
    // The box starts the upload by itself a little after the tool opened the line (which purges it first).
    StbsimProcess sim({"--no-banner", "--upload", dir.write("upload.bin", data), "--upload-after-ms", "150"});
    CliResult r = run({"--port", sim.ptyPath(), "receive", "--timeout", "5", dir.file("saved.bin")});
    ASSERT_EQ(r.exitCode, 0) << describe(r) << sim.log();
    EXPECT_EQ(dir.read("saved.bin"), data);
    EXPECT_NE(r.out.find("Checksum is " + hexText(byteSum(data))), std::string::npos) << describe(r);
    auto upload = sim.waitEvent("UPLOAD", kStep);
    ASSERT_TRUE(upload) << sim.log();
    EXPECT_EQ(upload->get("done"), "1") << upload->raw;
}

// An upload that announces no bytes ends at once as the empty upload it is.
TEST_F(Cli, AnEmptyUploadIsSavedAtOnce) {
    StbsimProcess sim({"--no-banner", "--upload", dir.write("upload.bin", ""), "--upload-after-ms", "150"});
    CliResult r = run({"--port", sim.ptyPath(), "receive", "--timeout", "5", dir.file("saved.bin")});
    ASSERT_EQ(r.exitCode, 0) << describe(r) << sim.log();
    EXPECT_NE(r.out.find("0 bytes received"), std::string::npos) << describe(r);
    EXPECT_EQ(dir.read("saved.bin"), "");
    EXPECT_LT(r.elapsed, 3s) << "it did not wait for a data block";
}

TEST_F(Cli, AbandonedExchangesExitOne) {
    {
        // The box's size request comes back spoiled: the tool gives up on the send.
        StbsimProcess sim({"--no-banner", "--fault", "wrong-token@size", "--timeout-ms", "300"});
        CliResult r = run({"--port", sim.ptyPath(), "send", "--timeout", "5",
                           dir.write("data.bin", randomBytes(40000, 64))});
        EXPECT_EQ(r.exitCode, 1) << describe(r) << sim.log();
        EXPECT_EQ(r.out.find("bytes transmitted"), std::string::npos) << describe(r);
        ASSERT_TRUE(sim.waitEvent("TAKE_ABORT", kStep)) << sim.log();
        EXPECT_FALSE(sim.waitEvent("TAKE", 0ms)) << sim.log();
    }
    {
        StbsimProcess sim(
            {"--no-banner", "--upload-after-ms", "150", "--fault", "bad-sum", "--timeout-ms", "300"});
        CliResult r = run({"--port", sim.ptyPath(), "receive", "--timeout", "5", dir.file("saved.bin")});
        EXPECT_EQ(r.exitCode, 1) << describe(r) << sim.log();
        EXPECT_FALSE(dir.read("saved.bin")) << "nothing is saved from a mismatching upload";
        // The box either gave up waiting for "s:done!" or saw the tool leave first; never a confirmation.
        ASSERT_TRUE(sim.waitEvent("EXIT", kStep)) << sim.log();
        auto upload = sim.waitEvent("UPLOAD", 0ms);
        EXPECT_TRUE(!upload || upload->get("done") == "0") << sim.log();
    }
}

TEST_F(Cli, ReceiveFromASilentBoxGivesUpAtItsTimeout) {
    StbsimProcess sim({"--no-banner"});
    CliResult r = run({"--port", sim.ptyPath(), "receive", "--timeout", "1", dir.file("saved.bin")}, 10s);
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_GE(r.elapsed, 1000ms);
    EXPECT_LT(r.elapsed, 1800ms) << "the count starts when the request goes out: " << describe(r);
    EXPECT_FALSE(dir.read("saved.bin"));
}

TEST_F(Cli, ABoxThatStopsMidRunIsGivenUpAtTheTimeout) {
    // The box freezes after its first sector: the run must end by the timeout, not wait for ever.
    const std::string image = randomBytes(8 * kSector, 63);
    StbsimProcess sim({"--no-banner", "--image", dir.write("image.bin", image)});
    std::thread freezer([&] {
        if (sim.waitEvent("SECTOR", 10s)) kill(sim.pid(), SIGSTOP);
    });
    CliResult r = run({"--port", sim.ptyPath(), "program", "--timeout", "1", dir.file("image.bin")}, 15s);
    freezer.join();
    kill(sim.pid(), SIGCONT);
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_NE(r.err.find("stopped asking"), std::string::npos) << describe(r);
    EXPECT_LT(r.elapsed, 5000ms) << describe(r);
}

// A tool killed outright leaves the line free for the next one, a normal user's included (root
// would pass regardless): nothing holds the port once its holder is gone.
TEST_F(Cli, ALineIsFreeAgainOnceItsHolderWasKilled) {
    StbsimProcess sim({"--no-banner", "--keep-open"});
    CliResult first = run({"--port", sim.ptyPath(), "receive", "--timeout", "30", dir.file("a.bin")}, 1500ms);
    ASSERT_TRUE(first.killed) << describe(first);
    CliResult again = run({"--port", sim.ptyPath(), "receive", "--timeout", "1", dir.file("b.bin")});
    EXPECT_EQ(again.exitCode, 1) << "the port opened and no upload came: " << describe(again);
}

TEST_F(Cli, PortThatCannotBeOpenedExitsThree) {
    CliResult r =
        run({"--port", dir.file("no-such-tty"), "receive", "--timeout", "1", dir.file("saved.bin")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_NE(r.err.find("Connection failed."), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find("no-such-tty"), std::string::npos) << "the reason names the device: " << describe(r);
}

TEST_F(Cli, UsageErrorsExitTwoAndTouchNoPort) {
    const std::string data = dir.write("data.bin", randomBytes(40000, 65));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--baud", "0", "send", data},
        {"--port", "COM9", "send", data},
        {"--bogus", "send", data},
        {"send"},
        {"send", data, data},
        {"send", "--timeout", "soon", data},
        {"send", "--timeout", "2min", data},
        {"send", "--timeout", "1e3", data},
        {"program", "--kind", "everything", data},
        {"receive", "--kind", "safe", dir.file("out.bin")},
        {"terminal", "extra"},
        {"program", dir.file("missing.img")},
    };
    for (const auto& args : cases) {
        // COM1 names /dev/ttyS0 by default; a usage error must be found before any port is opened, so a
        // port that does not exist keeps a slip from passing for a usage error.
        std::vector<std::string> withPort{"--port", "COM1=" + dir.file("no-such-tty")};
        withPort.insert(withPort.end(), args.begin(), args.end());
        CliResult r = run(withPort);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.exitCode, 2) << "args: " << shown << "\n" << describe(r);
        EXPECT_EQ(r.err.find("Connection failed."), std::string::npos) << "args: " << shown;
    }
}

TEST_F(Cli, HangUpMidSendExitsThreeWithoutHanging) {
    StbsimProcess sim({"--no-banner", "--fault", "hangup@take-data"});
    CliResult r = run(
        {"--port", sim.ptyPath(), "send", "--timeout", "5", dir.write("data.bin", randomBytes(40000, 66))},
        10s);
    EXPECT_EQ(r.exitCode, 3) << describe(r) << sim.log();
    EXPECT_FALSE(r.killed);
    EXPECT_LT(r.elapsed, 3000ms) << describe(r);
    auto hangup = sim.waitEvent("HANGUP", kStep);
    ASSERT_TRUE(hangup) << sim.log();
    EXPECT_EQ(hangup->get("phase"), "take-data");
}

// The terminal's log: every line the box streamed is in the file once, in order, stamped, while stdout
// shows the same text. A log that cannot be written is said once on stderr and the terminal goes on.
TEST_F(Cli, TerminalLogHoldsEveryLineAndALogThatCannotBeWrittenIsSaidOnce) {
    constexpr int kLines = 5000;
    auto terminal = [&](const std::string& log, auto untilLogged) {
        StbsimProcess sim({"--no-banner", "--stream-lines", std::to_string(kLines)});
        auto running = std::async(std::launch::async, [&] {
            return run({"--port", sim.ptyPath(), "terminal", "--log", log, "--timestamps"}, 30s);
        });
        EXPECT_TRUE(sim.waitEvent("STREAM", 20s)) << sim.log();
        untilLogged();
        sim.terminate();  // the box hangs up: the tool ends as on a lost line
        return running.get();
    };
    auto lineOf = [](int n) {
        char text[80];
        std::snprintf(text, sizeof text, "S%08d the quick brown fox jumps over the lazy dog 0123456789", n);
        return std::string(text);
    };

    const std::string path = dir.file("box.log");
    CliResult r = terminal(path, [&] {
        for (auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(50ms))
            if (dir.read("box.log").value_or("").find(lineOf(kLines - 1)) != std::string::npos) return;
    });
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    std::istringstream logged(dir.read("box.log").value_or(""));
    int next = 0;
    for (std::string line; std::getline(logged, line);) {
        ASSERT_GT(line.size(), 13u) << line;
        EXPECT_TRUE(line[2] == ':' && line[5] == ':' && line[8] == '.' && line[12] == ' ') << line;
        if (next < kLines && line.substr(13) == lineOf(next))
            ++next;
        else
            ADD_FAILURE() << "line " << next << " expected, got: " << line;
        if (HasFailure()) break;
    }
    EXPECT_EQ(next, kLines);
    EXPECT_NE(r.out.find(lineOf(kLines - 1)), std::string::npos) << "the terminal still shows the text";

    auto settle = [] { std::this_thread::sleep_for(1000ms); };
    for (const std::string& unwritable : {std::string("/dev/full"), dir.file("no-such-folder/box.log")}) {
        if (unwritable == "/dev/full" && ::access("/dev/full", W_OK) != 0) continue;
        CliResult failed = terminal(unwritable, settle);
        EXPECT_EQ(failed.exitCode, 3) << describe(failed);
        const size_t said = failed.err.find("The session log " + unwritable);
        EXPECT_NE(said, std::string::npos) << describe(failed);
        EXPECT_EQ(failed.err.find("The session log", said + 1), std::string::npos)
            << "said once: " << describe(failed);
        EXPECT_NE(failed.out.find(lineOf(kLines - 1)), std::string::npos) << "the terminal went on";
    }
}

// --reconnect: the adapter is pulled and another box comes back behind the same name. The tool says
// it waits, connects within a second of the device's return, and its log goes on across the gap.
TEST_F(Cli, TerminalWaitsForALostDeviceAndConnectsAgainWhenItIsBack) {
    const std::string link = dir.file("ttyBOX"), log = dir.file("box.log");
    auto first = std::make_unique<StbsimProcess>(std::vector<std::string>{"--banner", "first box\r\n"});
    std::filesystem::create_symlink(first->ptyPath(), link);
    std::atomic<pid_t> pid{-1};
    auto running = std::async(std::launch::async, [&] {
        return runCli({"--port", "COM1=" + link, "terminal", "--reconnect", "--log", log}, dir.file("config"),
                      30s, &pid);
    });
    auto logged = [&](const std::string& what) {
        for (auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(20ms))
            if (dir.read("box.log").value_or("").find(what) != std::string::npos) return true;
        return false;
    };
    ASSERT_TRUE(logged("first box")) << first->log();
    std::filesystem::remove(link);
    first.reset();  // the adapter goes, and its device with it

    StbsimProcess second({"--banner", "second box\r\n"});
    const auto back = Clock::now();
    std::filesystem::create_symlink(second.ptyPath(), link);
    ASSERT_TRUE(second.waitEvent("CONNECTED", 5s)) << second.log();
    EXPECT_LT(Clock::now() - back, 1000ms);
    EXPECT_TRUE(logged("second box"));
    ::kill(pid.load(), SIGTERM);
    CliResult r = running.get();
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_NE(r.err.find(link + " is gone; waiting for it to come back"), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find(link + " is back; connected again"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("second box"), std::string::npos) << describe(r);
}

// The device list ends with what each COMn names now: the settings file's choice, else the default.
TEST_F(Cli, PortsListsTheDeviceOfEachCom) {
    std::filesystem::create_directories(dir.file("config/downloader"));
    dir.write("config/downloader/corvane.ini", "[Devices]\nCOM2=/dev/serial/by-id/usb-FTDI-if00-port0\n");
    CliResult r = run({"--port", "COM3=/dev/ttyUSB4", "ports"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    for (const char* line : {"\nCOM1 = /dev/ttyS0\n", "\nCOM2 = /dev/serial/by-id/usb-FTDI-if00-port0\n",
                             "\nCOM3 = /dev/ttyUSB4\n", "\nCOM4 = /dev/ttyS3\n"})
        EXPECT_NE(("\n" + r.out).find(line), std::string::npos) << line << describe(r);
}

// What the README offers a machine without a display: all three transfers against the demonstration
// box, each done, and neither the box nor its folder left once the tool has ended.
TEST_F(Cli, HeadlessDemoRunsAllThreeTransfersAndLeavesNothing) {
    ScratchDir tmp;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    CliResult r = run({"demo"}, 120s);
    old ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    for (const char* step : {"== programming the sample image: done", "== sending the sample data file: done",
                             "== receiving the box's upload: done"})
        EXPECT_NE(r.out.find(step), std::string::npos) << step << "\n" << describe(r);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the demonstration folder was left behind";
}

}  // namespace
