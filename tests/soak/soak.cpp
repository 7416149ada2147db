// Many transfers of all three kinds against stbsim with a random fault each, half of them through
// downloader-cli and half through the core in this process, then a table of how they ended.
//
//   soak [--runs N] [--seed S] [--only cli|core] [--verbose]
//
// A run ends in one of these ways:
//   completed   the transfer ended as done and the data are what was sent (the box's image matched,
//               the file the box took or the upload saved is byte for byte the original)
//   abandoned   it ended with an outcome that says why (an exit code of 1 or 3 with its message, a
//               failure outcome of the core, a lost line), or it stalled waiting for the box and the
//               user's disconnect ended it at once
//   hung        the tool did not end by its deadline, or a disconnect did not return within 3 s
//   crashed     the tool died of a signal
//   wrong data  the transfer was accepted as done but the data differ from what was sent
// After the runs, this process must hold as many threads and descriptors as before the first, and
// no process started for a run may be left.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dltest::CoreDriver;
using dltest::ScratchDir;
using dltest::StbsimProcess;

constexpr dl::WindowId kWindow = 0x50A;
constexpr int kSlot = 1;
constexpr size_t kSector = 4096;
constexpr size_t kImageSectors = 8;
constexpr size_t kDataSize = 40000;
constexpr size_t kUploadSize = 20000;

enum class Kind { program, send, receive };
enum class Path { cli, core };
enum class End { completed, abandoned, hung, crashed, wrongData };
constexpr const char* kEndNames[] = {"completed", "abandoned", "hung", "crashed", "wrong data"};
constexpr const char* kKindNames[] = {"program", "send", "receive"};

struct Fault {
    std::vector<std::string> args;  // for stbsim
    std::string name;
    bool reconnect = false;  // the user breaks the transfer off, connects again and repeats it
};

int countEntries(const char* folder) {
    int n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}
int threadCount() {
    return countEntries("/proc/self/task");
}
int descriptorCount() {
    return countEntries("/proc/self/fd") - 1;  // the one opendir holds
}

// A fault that fits the kind: each stbsim fault the box knows for that exchange, line noise, bytes
// lost or changed at a random place in what the box sends, and a user's reconnect.
Fault drawFault(Kind kind, std::mt19937& rng) {
    auto pick = [&](std::vector<std::string> v) { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
    auto upTo = [&](uint64_t n) { return std::to_string(std::uniform_int_distribution<uint64_t>(1, n)(rng)); };
    // About as many bytes as the box sends in the exchange, so that the spoilt byte falls inside it.
    const uint64_t boxBytes = kind == Kind::program ? 20 * (kImageSectors + 2) : kind == Kind::send ? 60 : kUploadSize + 40;
    const int which = std::uniform_int_distribution<int>(0, 9)(rng);
    switch (which) {
        case 0:
            return {{}, "none"};
        case 1:
            return {{"--fault", "noise"}, "noise"};
        case 2: {
            const std::string seed = upTo(1u << 30);
            return {{"--fault", "split@" + seed}, "split"};
        }
        case 3:
            return {{"--fault", "drop@" + upTo(boxBytes)}, "drop"};
        case 4:
            return {{"--fault", "flip@" + upTo(boxBytes)}, "flip"};
        case 5: {
            std::string phase;
            if (kind == Kind::program)
                phase = pick({"program-start", "sector:" + std::to_string(rng() % kImageSectors), "program-stop"});
            else if (kind == Kind::send)
                phase = pick({"take-answer", "take-size", "take-data", "take-sum", "take-done"});
            else
                phase = pick({"upload-request", "upload-id", "upload-size", "upload-data", "upload-sum"});
            return {{"--fault", "hangup@" + phase}, "hang-up"};
        }
        case 6:
            if (kind == Kind::send) return {{"--fault", "wrong-token@" + pick({"answer", "size", "data", "sum", "done"})}, "wrong token"};
            if (kind == Kind::receive) return {{"--fault", "wrong-token@id"}, "wrong token"};
            return {{"--order", "random", "--seed", upTo(1000)}, "random order"};
        case 7:
            if (kind == Kind::program) return {{"--order", "repeat"}, "repeats"};
            return {{"--fault", "bad-sum"}, "bad checksum"};
        case 8:
            if (kind == Kind::receive) return {{"--fault", pick({"oversize", "late-cr@size"})}, "size field"};
            return {{"--fault", "noise", "--fault", "split@" + upTo(1000)}, "noise+split"};
        default:
            return {{}, "reconnect", true};
    }
}

struct Run {
    Kind kind;
    Path path;
    Fault fault;
    End end = End::abandoned;
    std::string detail;
    bool stalled = false;  // the core waited for the box until the user's disconnect ended it
};

// ---- downloader-cli ----

struct Child {
    int status = 0;
    bool timedOut = false;
};

Child runTool(const std::vector<std::string>& args, const ScratchDir& dir, std::chrono::milliseconds deadline,
              std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
    std::vector<std::string> all{DL_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + dir.file("config")};
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("XDG_CONFIG_HOME=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    Child c;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) {
        c.status = -1;
        return c;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    const auto start = Clock::now();
    bool interrupted = false;
    for (;;) {
        if (::waitpid(pid, &c.status, WNOHANG) == pid) return c;
        const auto now = Clock::now();
        if (interruptAfter && !interrupted && now - start >= *interruptAfter) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
        if (now - start >= deadline) {
            c.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &c.status, 0);
            return c;
        }
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<std::string> toolArgs(Kind kind, const std::string& pty, const ScratchDir& dir) {
    switch (kind) {
        case Kind::program:
            return {"--port", pty, "program", "--yes", "--timeout", "4", dir.file("image.bin")};
        case Kind::send:
            return {"--port", pty, "send", "--timeout", "4", dir.file("data.bin")};
        case Kind::receive:
            return {"--port", pty, "receive", "--timeout", "4", "--request", "m:upload", dir.file("saved.bin")};
    }
    return {};
}

// ---- what the box and the files say ----

std::optional<std::string> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the data arrived intact at the other end, from the box's report and the files: nullopt when
// the transfer did not get as far as delivering them.
std::optional<bool> delivered(Kind kind, StbsimProcess& sim, const ScratchDir& dir, bool pcSaysDone) {
    sim.waitEvent("", 300ms);  // the box's last reports
    switch (kind) {
        case Kind::program: {
            // A sector the box took as good (its sum agreed) that differs from the image is wrong data.
            for (const auto& line : sim.lines()) {
                auto e = dltest::parseEvent(line);
                if (e.name == "SECTOR" && e.get("ok") == "1" && e.get("match") == "0") return false;
            }
            for (const auto& line : sim.lines()) {
                auto e = dltest::parseEvent(line);
                if (e.name == "PROGRAM" && e.get("end") == "stop" && e.get("failed") == "0" &&
                    e.get("image") == "match" && pcSaysDone)
                    return true;
            }
            return std::nullopt;
        }
        case Kind::send: {
            for (const auto& line : sim.lines()) {
                auto e = dltest::parseEvent(line);
                if (e.name == "TAKE" && e.get("ok") == "1") return slurp(dir.file("taken.bin")) == slurp(dir.file("data.bin"));
            }
            return std::nullopt;
        }
        case Kind::receive: {
            auto saved = slurp(dir.file("saved.bin"));
            if (!saved) return std::nullopt;
            return saved == slurp(dir.file("upload.bin"));
        }
    }
    return std::nullopt;
}

std::vector<std::string> boxArgs(Kind kind, const Fault& fault, const ScratchDir& dir) {
    std::vector<std::string> a = {"--no-banner", "--keep-open", "--timeout-ms", "1000", "--image", dir.file("image.bin"),
                                  "--save", dir.file("taken.bin"), "--upload", dir.file("upload.bin")};
    (void)kind;
    a.insert(a.end(), fault.args.begin(), fault.args.end());
    return a;
}

// Fresh files for each run, from the run's own seed.
void writeFiles(const ScratchDir& dir, unsigned seed) {
    dir.write("image.bin", dltest::randomBytes(kImageSectors * kSector, seed));
    dir.write("data.bin", dltest::randomBytes(kDataSize, seed + 1));
    dir.write("upload.bin", dltest::randomBytes(kUploadSize, seed + 2));
}

void runThroughTool(Run& r, std::mt19937& rng, unsigned fileSeed) {
    ScratchDir dir;
    writeFiles(dir, fileSeed);
    StbsimProcess sim(boxArgs(r.kind, r.fault, dir));
    const auto args = toolArgs(r.kind, sim.ptyPath(), dir);
    if (r.fault.reconnect) {
        // Ctrl-C in the middle: the tool must stop at once; then a run of its own must succeed.
        const auto after = std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 300)(rng));
        Child first = runTool(args, dir, 5s, after);
        if (first.timedOut) {
            r.end = End::hung;
            r.detail = "did not stop on Ctrl-C";
            return;
        }
        if (WIFSIGNALED(first.status) && WTERMSIG(first.status) != SIGINT) {
            r.end = End::crashed;
            r.detail = "signal " + std::to_string(WTERMSIG(first.status));
            return;
        }
        std::filesystem::remove(dir.file("taken.bin"));
        std::filesystem::remove(dir.file("saved.bin"));
    }
    Child c = runTool(args, dir, 20s);
    if (c.timedOut) {
        r.end = End::hung;
        r.detail = "killed at the deadline";
        return;
    }
    if (WIFSIGNALED(c.status)) {
        r.end = End::crashed;
        r.detail = "signal " + std::to_string(WTERMSIG(c.status));
        return;
    }
    const int code = WEXITSTATUS(c.status);
    const auto ok = delivered(r.kind, sim, dir, code == 0);
    if (code == 0 && ok == std::optional<bool>(true)) {
        r.end = End::completed;
    } else if (code == 0 || ok == std::optional<bool>(false)) {
        r.end = End::wrongData;
        r.detail = "exit " + std::to_string(code) + "; " + slurp(dir.file("out")).value_or("");
    } else if (code == 1 || code == 3) {
        r.end = End::abandoned;
        r.detail = "exit " + std::to_string(code);
    } else {
        r.end = End::wrongData;  // an exit code the tool does not document is a plainly wrong result
        r.detail = "exit " + std::to_string(code) + ": " + slurp(dir.file("err")).value_or("");
    }
}

// ---- the core in this process ----

bool startTransfer(Kind kind, CoreDriver& driver, const ScratchDir& dir) {
    switch (kind) {
        case Kind::program:
            driver.chooseFile(dir.file("image.bin"));
            return dl::sessionCommand(kWindow, dl::cmdUpdateSafe, 0) == 1;
        case Kind::send:
            driver.chooseFile(dir.file("data.bin"));
            dl::sessionCommand(kWindow, dl::cmdUpdateChannelData, 0);
            return true;
        case Kind::receive:
            driver.chooseFile(dir.file("saved.bin"));
            driver.type(kWindow, "m:upload\r");
            return true;
    }
    return false;
}

// Waits for the transfer's end as the windows hear of it: the exchange's end, the sender's end, or
// the lost line.
bool transferEnds(Kind kind, CoreDriver& driver, std::chrono::milliseconds timeout) {
    const uint16_t done = kind == Kind::program ? dl::cmdSenderEnded : dl::cmdExchangeEnded;
    const int before = driver.countHandled(done) + driver.countHandled(dl::cmdLineLost);
    return driver.pumpUntil([&] { return driver.countHandled(done) + driver.countHandled(dl::cmdLineLost) > before; },
                            timeout);
}

// The user's Home key: it must return at once and leave no thread of the session running.
bool userDisconnects(dl::PortSession& s) {
    const auto start = Clock::now();
    if (s.connected.load()) dl::sessionCommand(kWindow, dl::cmdConnect, 0);
    while ((s.sectorThread.joinable() || s.streamThread.joinable()) && Clock::now() - start < 3s) {
        if (s.sectorThread.joinable()) s.sectorThread.join();
        if (s.streamThread.joinable()) s.streamThread.join();
    }
    return Clock::now() - start < 3s && !s.connected.load() && !s.readerThread.joinable();
}

void runThroughCore(Run& r, std::mt19937& rng, unsigned fileSeed) {
    ScratchDir dir;
    writeFiles(dir, fileSeed);
    StbsimProcess sim(boxArgs(r.kind, r.fault, dir));
    CoreDriver driver;
    driver.setAnswer(dl::MessageAnswer::yes);
    dl::PortSession* s = driver.open(kWindow, kSlot, sim.ptyPath());
    if (!s) {
        r.end = End::wrongData;
        r.detail = "connect failed";
        return;
    }
    if (r.fault.reconnect) {
        startTransfer(r.kind, driver, dir);
        driver.pumpUntil([] { return false; }, std::chrono::milliseconds(std::uniform_int_distribution<int>(10, 200)(rng)));
        if (!userDisconnects(*s)) {
            r.end = End::hung;
            r.detail = "disconnect mid-transfer did not return";
            return;
        }
        driver.pumpUntil([] { return false; }, 50ms);  // what the break-off posted
        std::filesystem::remove(dir.file("taken.bin"));
        std::filesystem::remove(dir.file("saved.bin"));
        if (!driver.reconnect(kWindow, sim.ptyPath())) {
            r.end = End::wrongData;
            r.detail = "reconnect failed";
            return;
        }
        driver.pumpUntil([] { return false; }, 150ms);  // the box's purge window after an open
    }
    dl::resetTransfer(dl::transfer);
    startTransfer(r.kind, driver, dir);
    const bool ended = transferEnds(r.kind, driver, 8s);
    r.stalled = !ended;
    bool pcSaysDone = false;
    if (ended) {
        pcSaysDone = r.kind == Kind::program ? driver.countHandled(dl::cmdLineLost) == 0 &&
                                                   driver.countHandled(dl::cmdSenderEnded, dl::senderFinished) > 0
                                             : dl::lastOutcome().kind == dl::OutcomeKind::completed;
        if (r.kind == Kind::receive && pcSaysDone) driver.pumpUntil([&] { return std::filesystem::exists(dir.file("saved.bin")); }, 2s);
    }
    if (!userDisconnects(*s)) {
        r.end = End::hung;
        r.detail = "disconnect did not return";
        return;
    }
    const auto ok = delivered(r.kind, sim, dir, pcSaysDone);
    if (pcSaysDone && ok == std::optional<bool>(true)) {
        r.end = End::completed;
    } else if ((pcSaysDone && r.kind != Kind::program) || ok == std::optional<bool>(false)) {
        r.end = End::wrongData;
        r.detail = pcSaysDone ? "accepted as done" : "delivered wrong";
        for (const auto& line : sim.lines())
            if (line.rfind("SECTOR", 0) == 0 && line.find("ok=1 match=0") != std::string::npos) r.detail += "; box: " + line;
    } else {
        r.end = End::abandoned;
        r.detail = ended ? "ended with an outcome" : "stalled; ended by the user's disconnect";
    }
}

std::string childrenLeft() {
    std::string left;
    const std::string self = std::to_string(::getpid());
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string pid, comm, state, ppid;
        if (stat >> pid >> comm >> state >> ppid && ppid == self) left += " " + pid + comm;
    }
    return left;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 500;
    unsigned seed = 1;
    std::string only;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (a == "--seed" && i + 1 < argc) seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else if (a == "--verbose") verbose = true;
        else {
            std::fprintf(stderr, "usage: soak [--runs N] [--seed S] [--only cli|core] [--verbose]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int threadsBefore = threadCount(), fdsBefore = descriptorCount();
    std::mt19937 rng(seed);
    std::vector<Run> done;
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        Run r{static_cast<Kind>(i % 3), (i / 3) % 2 ? Path::core : Path::cli, {}};
        if (only == "cli") r.path = Path::cli;
        if (only == "core") r.path = Path::core;
        r.fault = drawFault(r.kind, rng);
        const unsigned fileSeed = rng();
        try {
            if (r.path == Path::cli) runThroughTool(r, rng, fileSeed);
            else runThroughCore(r, rng, fileSeed);
        } catch (const std::exception& e) {
            r.end = End::wrongData;
            r.detail = std::string("soak: ") + e.what();
        }
        if (verbose || r.end == End::hung || r.end == End::crashed || r.end == End::wrongData)
        {
            std::string args;
            for (const auto& a : r.fault.args) args += " " + a;
            std::fprintf(stderr, "run %d: %s via %s, fault %s (stbsim%s): %s %s\n", i, kKindNames[int(r.kind)],
                         r.path == Path::cli ? "downloader-cli" : "core", r.fault.name.c_str(), args.c_str(),
                         kEndNames[int(r.end)], r.detail.c_str());
        }
        done.push_back(std::move(r));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const int threadsAfter = threadCount(), fdsAfter = descriptorCount();
    const std::string children = childrenLeft();

    std::printf("%d transfers in %.0f s (seed %u)\n\n", runs, seconds, seed);
    std::printf("| kind | through | runs | completed | abandoned | hung | crashed | wrong data |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::array<int, 5> total{};
    for (int k = 0; k < 3; ++k)
        for (Path p : {Path::cli, Path::core}) {
            std::array<int, 5> n{};
            int count = 0;
            for (const auto& r : done)
                if (int(r.kind) == k && r.path == p) ++n[int(r.end)], ++count;
            if (!count) continue;
            for (int e = 0; e < 5; ++e) total[e] += n[e];
            std::printf("| %s | %s | %d | %d | %d | %d | %d | %d |\n", kKindNames[k], p == Path::cli ? "downloader-cli" : "core",
                        count, n[0], n[1], n[2], n[3], n[4]);
        }
    std::printf("| all | | %d | %d | %d | %d | %d | %d |\n\n", runs, total[0], total[1], total[2], total[3], total[4]);
    std::map<std::string, std::array<int, 5>> byFault;
    for (const auto& r : done) ++byFault[r.fault.name][int(r.end)];
    std::printf("| fault | completed | abandoned | hung | crashed | wrong data |\n|---|---|---|---|---|---|\n");
    for (const auto& [name, n] : byFault)
        std::printf("| %s | %d | %d | %d | %d | %d |\n", name.c_str(), n[0], n[1], n[2], n[3], n[4]);
    int stalled = 0;
    for (const auto& r : done) stalled += r.stalled;
    std::printf("\nof the core's runs, %d waited for the box until the user's disconnect ended them (each within 3 s)\n",
                stalled);
    std::printf("\nthreads left: %d, descriptors left: %d, processes left:%s\n", threadsAfter - threadsBefore,
                fdsAfter - fdsBefore, children.empty() ? " 0" : children.c_str());
    const bool clean = total[2] == 0 && total[3] == 0 && total[4] == 0 && threadsAfter == threadsBefore &&
                       fdsAfter == fdsBefore && children.empty();
    return clean ? 0 : 1;
}
