// End-to-end transfer figures: downloader-cli against stbsim on a pseudo-terminal, paced at a real baud rate.
//
// For each case it starts stbsim, reads the simulator's events as they are printed and stamps each with the
// monotonic clock, runs the client, and reaps downloader-cli with wait4() for its CPU time. The transfer's
// wall time is taken from the box's side, between two of its events, so it leaves out process start-up,
// connecting and the programming command that the tool types one character every 50 ms:
//   program  COMMAND (the box has the command line) -> PROGRAM (last sector taken, stop line sent)
//   send     TAKE_BEGIN (the request frame arrived) -> TAKE (data and checksum taken, "s:done!" sent)
// Efficiency is the line time of the bytes counted (10 bits a byte) over that wall time; what is counted is
// printed with every figure. The downloader-cli process's wall time is printed beside it for comparison.
//
// `--client reference` replaces downloader-cli with a minimal client local to this file that answers at
// once with whole blocks (the command in one write, each sector in one write, the data file in one write).
// It does nothing the simulator could wait for, so its figures are the ceiling this simulator allows on
// this machine: the downloader's figures are to be read against it.
//
// Every run is bounded: a case is abandoned (and both processes killed) at 1.5 times its line time plus
// 15 seconds, and each child gets SIGKILL should this program die first.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kSector = 4096;
constexpr size_t kImageSectors = 256;  // a 1 MiB image
// The box's programming lines: "s:prog_start XXXX", "s:prog_sector XXXX", "s:prog_stop XXXX", each CR LF.
constexpr size_t kStartLine = 19, kSectorLine = 20, kStopLine = 18;
// Everything of a data send but the data, both directions, after the request frame: answer frame (12),
// "h:vexon" (8), "s:send size" (12), size field (9), "s:send data" (12), "s:send sum" (11), sum field (9),
// "s:done!" (8), each token with its CR.
constexpr size_t kSendExchangeBytes = 81;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
double tvSeconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

struct Config {
    std::string stbsim, cli;
    uint32_t baud = 115200;
    int turnaroundMs = 1;
    unsigned sectors = 64;
    size_t sendBytes = 256 * 1024;
    bool program = true, send = true;
    bool downloader = true, reference = false;
    bool keep = false;
    std::string workDir;
    long simTimerSlackNs = -1;  // -1: the simulator keeps the slack it inherits
};

struct Event {
    Clock::time_point at;
    std::string name;
    std::map<std::string, std::string> fields;
    std::string raw;
    std::string get(const std::string& k) const {
        auto it = fields.find(k);
        return it == fields.end() ? std::string() : it->second;
    }
};

Event parseEvent(const std::string& line, Clock::time_point at) {
    Event e;
    e.at = at;
    e.raw = line;
    std::istringstream in(line);
    in >> e.name;
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        if (eq != std::string::npos) e.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return e;
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// fork+exec with stdin from /dev/null and the given stdout/stderr; the child is killed with this process.
// A timer slack >= 0 is set for the child (it keeps it across exec).
pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd, long timerSlackNs = -1) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (timerSlackNs >= 0) ::prctl(PR_SET_TIMERSLACK, timerSlackNs == 0 ? 1 : timerSlackNs);
    if (::getppid() != parent) ::_exit(127);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

std::string tail(const std::string& path, size_t lines) {
    std::ifstream f(path);
    std::vector<std::string> all;
    for (std::string l; std::getline(f, l);) all.push_back(l);
    std::string out;
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
        out += "    | " + all[i] + "\n";
    return out;
}

// ---- the reference client -------------------------------------------------------------------------------

class ReferenceClient {
public:
    ReferenceClient(std::string pty, Clock::time_point deadline)
        : pty_(std::move(pty)), deadline_(deadline) {}

    bool program(const std::vector<uint8_t>& image) {
        if (!open()) return false;
        if (!writeAll("\rm:prog_sum\r")) return false;
        for (;;) {
            auto line = readLine();
            if (!line) return fail("no programming line from the box");
            if (line->rfind("s:prog_stop", 0) == 0) return true;
            if (line->rfind("s:prog_sector ", 0) != 0) continue;
            const size_t n = std::strtoul(line->c_str() + 14, nullptr, 16);
            if ((n + 1) * kSector > image.size()) return fail("sector beyond the image");
            std::vector<uint8_t> block(image.begin() + static_cast<ptrdiff_t>(n * kSector),
                                       image.begin() + static_cast<ptrdiff_t>((n + 1) * kSector));
            uint32_t sum = 0;
            for (uint8_t b : block) sum += b;
            for (int i = 0; i < 4; ++i) block.push_back(static_cast<uint8_t>(sum >> (8 * i)));
            if (!writeAll(block)) return false;
        }
    }

    bool send(const std::vector<uint8_t>& data) {
        if (!open()) return false;
        const std::string request = std::string("\x1b\xda\xaa") + "h:down_data";
        char field[32];
        if (!writeAll(request) || !expect("s:send id") || !writeAll("h:vexon\r") || !expect("s:send size"))
            return false;
        std::snprintf(field, sizeof field, "%8u\r", static_cast<unsigned>(data.size()));
        if (!writeAll(field) || !expect("s:send data") || !writeAll(data) || !expect("s:send sum"))
            return false;
        uint32_t sum = 0;
        for (uint8_t b : data) sum += b;
        std::snprintf(field, sizeof field, "%8u\r", sum);
        return writeAll(field) && expect("s:done!");
    }

    ~ReferenceClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return false;
    }
    bool open() {
        fd_ = ::open(pty_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) return fail(pty_ + ": " + std::strerror(errno));
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
        // The box notices a client by its open; give it the moment it takes before anything is typed.
        std::this_thread::sleep_for(200ms);
        return true;
    }
    bool waitFor(short events) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) return fail("deadline passed");
        pollfd p{fd_, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno != EINTR) return fail(std::string("poll: ") + std::strerror(errno));
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & events))
            return fail("line closed");
        return true;
    }
    bool writeAll(const void* data, size_t n) {
        auto p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            ssize_t w = ::write(fd_, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!waitFor(POLLOUT)) return false;
            } else {
                return fail(std::string("write: ") + std::strerror(errno));
            }
        }
        return true;
    }
    bool writeAll(const std::string& s) { return writeAll(s.data(), s.size()); }
    bool writeAll(const std::vector<uint8_t>& v) { return writeAll(v.data(), v.size()); }
    bool fill() {
        char buf[512];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                return true;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!waitFor(POLLIN)) return false;
                continue;
            }
            return fail("line closed");
        }
    }
    std::optional<std::string> readLine() {
        for (;;) {
            auto nl = in_.find('\n');
            if (nl != std::string::npos) {
                std::string line = in_.substr(0, nl);
                in_.erase(0, nl + 1);
                line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
                return line;
            }
            if (!fill()) return std::nullopt;
        }
    }
    bool expect(const std::string& token) {
        for (;;) {
            auto at = in_.find(token);
            if (at != std::string::npos) {
                in_.erase(0, at + token.size());
                return true;
            }
            if (!fill()) return fail("no \"" + token + "\" from the box");
        }
    }

    std::string pty_;
    Clock::time_point deadline_;
    int fd_ = -1;
    std::string in_;
    std::string error_;
};

// ---- one case -----------------------------------------------------------------------------------------

enum class Kind { program, send };
enum class Client { downloader, reference };

struct Outcome {
    bool ok = false;
    std::string why;
    std::vector<Event> events;
    Clock::time_point clientStart{}, clientEnd{};
    int clientExit = -1;
    double cpuUser = 0, cpuSys = 0;
};

const Event* findEvent(const Outcome& o, const std::string& name) {
    for (const auto& e : o.events)
        if (e.name == name) return &e;
    return nullptr;
}

double lineSeconds(uint64_t bytes, uint32_t baud) {
    return static_cast<double>(bytes) * 10.0 / baud;
}

Outcome runCase(const Config& c, Kind kind, Client client, const std::string& image, const std::string& data,
                const std::vector<uint8_t>& imageBytes, const std::vector<uint8_t>& dataBytes) {
    Outcome o;
    const std::string dir = c.workDir + "/";
    const std::string tag = std::string(kind == Kind::program ? "program" : "send") + "-" +
                            (client == Client::downloader ? "cli" : "reference");
    const uint64_t wireBytes = kind == Kind::program ? uint64_t{c.sectors} * (kSector + 4) : c.sendBytes;
    const auto deadline =
        Clock::now() +
        std::chrono::milliseconds(static_cast<int64_t>(lineSeconds(wireBytes, c.baud) * 1500)) + 15s;

    std::vector<std::string> simArgs = {
        c.stbsim,     "--baud", std::to_string(c.baud), "--turnaround-ms", std::to_string(c.turnaroundMs),
        "--no-banner"};
    if (kind == Kind::program) {
        simArgs.insert(simArgs.end(),
                       {"--image", image, "--sectors", std::to_string(c.sectors), "--exit-after-program"});
    } else {
        simArgs.insert(simArgs.end(), {"--save", dir + tag + ".saved", "--exit-after-take"});
    }
    int simOut[2];
    if (::pipe2(simOut, O_CLOEXEC) != 0) {
        o.why = "pipe failed";
        return o;
    }
    const int simErr =
        ::open((dir + tag + ".stbsim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t sim = spawn(simArgs, simOut[1], simErr, c.simTimerSlackNs);
    ::close(simOut[1]);
    ::fcntl(simOut[0], F_SETFL, O_NONBLOCK);

    std::string partial, pty;
    bool simOpen = true, simReaped = false;
    auto pump = [&](int timeoutMs) {
        pollfd p{simOut[0], POLLIN, 0};
        if (simOpen && ::poll(&p, 1, timeoutMs) > 0) {
            char buf[4096];
            for (;;) {
                ssize_t n = ::read(simOut[0], buf, sizeof buf);
                const auto at = Clock::now();
                if (n > 0) {
                    partial.append(buf, static_cast<size_t>(n));
                    for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                        o.events.push_back(parseEvent(partial.substr(0, nl), at));
                        partial.erase(0, nl + 1);
                    }
                    continue;
                }
                if (n == 0) simOpen = false;
                break;
            }
        } else if (!simOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        }
    };
    while (pty.empty() && simOpen && Clock::now() < deadline) {
        pump(100);
        for (const auto& e : o.events)
            if (e.name == "PTY" && e.raw.size() > 4) pty = e.raw.substr(4);
    }
    auto killAll = [&](pid_t cli) {
        if (cli > 0) ::kill(cli, SIGKILL);
        ::kill(sim, SIGKILL);
    };
    if (pty.empty()) {
        killAll(-1);
        ::waitpid(sim, nullptr, 0);
        ::close(simOut[0]);
        o.why = "stbsim printed no PTY line";
        return o;
    }

    pid_t cli = -1;
    bool clientDone = false;
    std::thread referenceThread;
    std::atomic<bool> referenceFinished{false};
    bool referenceOk = false;
    std::string referenceError;
    double referenceCpu = 0;
    o.clientStart = Clock::now();
    if (client == Client::downloader) {
        std::vector<std::string> args = {c.cli, "--port", pty, "--baud", std::to_string(c.baud)};
        if (kind == Kind::program)
            args.insert(args.end(), {"program", "--kind", "safe", image});
        else
            args.insert(args.end(), {"send", data});
        const int out = ::open((dir + tag + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open((dir + tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        cli = spawn(args, out, err);
        ::close(out);
        ::close(err);
    } else {
        referenceThread = std::thread([&] {
            timespec t0{}, t1{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
            ReferenceClient ref(pty, deadline);
            referenceOk = kind == Kind::program ? ref.program(imageBytes) : ref.send(dataBytes);
            referenceError = ref.error();
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
            referenceCpu = static_cast<double>(t1.tv_sec - t0.tv_sec) +
                           static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
            o.clientEnd = Clock::now();
            referenceFinished = true;
        });
    }

    bool timedOut = false;
    int simStatus = 0;
    while (!(clientDone && simReaped)) {
        pump(20);
        if (!clientDone && cli > 0) {
            int status = 0;
            rusage ru{};
            if (::wait4(cli, &status, WNOHANG, &ru) == cli) {
                o.clientEnd = Clock::now();
                o.clientExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                o.cpuUser = tvSeconds(ru.ru_utime);
                o.cpuSys = tvSeconds(ru.ru_stime);
                clientDone = true;
            }
        }
        if (!clientDone && client == Client::reference && referenceFinished.load()) {
            referenceThread.join();
            o.clientExit = referenceOk ? 0 : 1;
            o.cpuUser = referenceCpu;  // one thread's CPU; not split into user and system
            clientDone = true;
        }
        if (!simReaped && !simOpen && ::waitpid(sim, &simStatus, WNOHANG) == sim) simReaped = true;
        if (Clock::now() > deadline) {
            timedOut = true;
            break;
        }
    }
    if (timedOut) {
        killAll(clientDone ? -1 : cli);
        if (!clientDone && cli > 0) ::waitpid(cli, nullptr, 0);
        if (!simReaped) ::waitpid(sim, nullptr, 0);
        if (referenceThread.joinable()) referenceThread.join();  // its own waits end at the same deadline
        o.why = "abandoned at the deadline";
    }
    ::close(simOut[0]);
    if (simErr >= 0) ::close(simErr);
    if (timedOut) return o;

    if (o.clientExit != 0) {
        o.why = "client failed (exit " + std::to_string(o.clientExit) + ")";
        if (client == Client::downloader)
            o.why += "\n" + tail(dir + tag + ".err", 5);
        else
            o.why += ": " + referenceError;
        return o;
    }
    if (kind == Kind::program) {
        const Event* p = findEvent(o, "PROGRAM");
        if (!findEvent(o, "COMMAND") || !p) {
            o.why = "no COMMAND/PROGRAM event";
            return o;
        }
        if (p->get("ok") != std::to_string(c.sectors) || p->get("bad") != "0" || p->get("image") != "match" ||
            p->get("end") != "stop") {
            o.why = "the box did not take every sector: " + p->raw;
            return o;
        }
    } else {
        const Event* t = findEvent(o, "TAKE");
        if (!findEvent(o, "TAKE_BEGIN") || !t) {
            o.why = "no TAKE_BEGIN/TAKE event";
            return o;
        }
        auto saved = readFile(dir + tag + ".saved");
        if (t->get("ok") != "1" || t->get("size") != std::to_string(c.sendBytes) || !saved ||
            *saved != dataBytes) {
            o.why = "the box did not take the file whole: " + t->raw;
            return o;
        }
    }
    o.ok = true;
    return o;
}

void printCase(const Config& c, Kind kind, Client client, const Outcome& o) {
    const char* who = client == Client::downloader ? "downloader-cli" : "reference client";
    std::printf("\n== %s, %s, %u baud, box turnaround %d ms%s\n",
                kind == Kind::program ? "programming" : "data send", who, c.baud, c.turnaroundMs,
                c.simTimerSlackNs >= 0
                    ? (", stbsim timer slack " + std::to_string(c.simTimerSlackNs) + " ns").c_str()
                    : "");
    if (!o.ok) {
        std::printf("   FAILED: %s\n", o.why.c_str());
        return;
    }
    const bool prog = kind == Kind::program;
    const Event* begin = findEvent(o, prog ? "COMMAND" : "TAKE_BEGIN");
    const Event* end = findEvent(o, prog ? "PROGRAM" : "TAKE");
    const double wall = seconds(end->at - begin->at);
    uint64_t data = 0, line = 0, fileBytes = 0;
    if (prog) {
        data = uint64_t{c.sectors} * (kSector + 4);
        line = data + kStartLine + uint64_t{c.sectors} * kSectorLine + kStopLine;
        fileBytes = uint64_t{c.sectors} * kSector;
        std::printf(
            "   counted: %u sectors x (4096 + 4) = %llu bytes PC->box; line view adds the box's lines "
            "(%zu + %u x %zu + %zu) = %llu bytes\n",
            c.sectors, static_cast<unsigned long long>(data), kStartLine, c.sectors, kSectorLine, kStopLine,
            static_cast<unsigned long long>(line));
    } else {
        data = c.sendBytes;
        line = data + kSendExchangeBytes;
        fileBytes = c.sendBytes;
        std::printf(
            "   counted: %llu data bytes PC->box; line view adds the %zu bytes of the exchange around them\n",
            static_cast<unsigned long long>(data), kSendExchangeBytes);
    }
    const double effData = lineSeconds(data, c.baud) / wall, effLine = lineSeconds(line, c.baud) / wall;
    const double target = prog ? 0.98 : 0.99;
    std::printf(
        "   wall (box events %s -> %s): %.3f s; line time of the counted bytes %.3f s (line view %.3f s)\n",
        begin->name.c_str(), end->name.c_str(), wall, lineSeconds(data, c.baud), lineSeconds(line, c.baud));
    std::printf("   efficiency: %.4f (data) / %.4f (line view)   target >= %.2f: %s\n", effData, effLine,
                target, effLine >= target ? "met" : "MISSED");
    std::printf("   client wall from its start to its exit: %.3f s (%.3f s of it before %s)\n",
                seconds(o.clientEnd - o.clientStart), seconds(begin->at - o.clientStart),
                begin->name.c_str());
    if (prog) {
        std::vector<double> gaps;
        Clock::time_point last = begin->at;
        bool first = true;
        for (const auto& e : o.events) {
            if (e.name != "SECTOR") continue;
            if (!first) gaps.push_back(seconds(e.at - last) * 1e3);
            first = false;
            last = e.at;
        }
        if (!gaps.empty()) {
            double sum = 0;
            for (double g : gaps) sum += g;
            const double ideal = lineSeconds(kSector + 4 + kSectorLine, c.baud) * 1e3 + c.turnaroundMs;
            std::printf(
                "   sector to sector (SECTOR events, %zu intervals): mean %.2f ms, min %.2f, max %.2f; "
                "line time of request + sector + turnaround %.2f ms\n",
                gaps.size(), sum / static_cast<double>(gaps.size()),
                *std::min_element(gaps.begin(), gaps.end()), *std::max_element(gaps.begin(), gaps.end()),
                ideal);
        }
    }
    const double mib = static_cast<double>(fileBytes) / 1048576.0;
    const double cpu = o.cpuUser + o.cpuSys;
    if (client == Client::downloader) {
        std::printf(
            "   downloader-cli CPU (wait4): user %.3f s + sys %.3f s = %.3f s for %.3f MiB of %s -> %.3f "
            "s/MiB   "
            "target <= 0.2: %s\n",
            o.cpuUser, o.cpuSys, cpu, mib, prog ? "image" : "data", cpu / mib,
            cpu / mib <= 0.2 ? "met" : "MISSED");
    } else {
        std::printf("   reference client thread CPU: %.3f s -> %.3f s/MiB\n", cpu, cpu / mib);
    }
    std::printf(
        "RESULT case=%s client=%s baud=%u turnaround_ms=%d bytes_data=%llu bytes_line=%llu wall_s=%.4f "
        "eff_data=%.4f eff_line=%.4f cpu_user_s=%.4f cpu_sys_s=%.4f cpu_s_per_mib=%.4f\n",
        prog ? "program" : "send", client == Client::downloader ? "downloader-cli" : "reference", c.baud,
        c.turnaroundMs, static_cast<unsigned long long>(data), static_cast<unsigned long long>(line), wall,
        effData, effLine, o.cpuUser, o.cpuSys, cpu / mib);
}

void usage() {
    std::fprintf(
        stderr,
        "usage: transfer_bench [--stbsim PATH] [--cli PATH] [--baud N] [--turnaround-ms N]\n"
        "                      [--sectors N | --full] [--send-bytes N] [--case program|send|all]\n"
        "                      [--client downloader|reference|both] [--work-dir DIR] [--keep]\n"
        "                      [--sim-timer-slack-ns N]\n"
        "  --sectors N   sectors the box asks for from the 1 MiB image (default 64: about 24 s at 115200)\n"
        "  --full        all 256 sectors (about 96 s at 115200: longer than the other runs)\n"
        "  --sim-timer-slack-ns N  diagnosis: run stbsim with this timer slack (the kernel's default is\n"
        "                50000); shows how much of the time lost is the simulator oversleeping its pacing\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
#ifdef DL_STBSIM_PATH
    c.stbsim = DL_STBSIM_PATH;
#endif
#ifdef DL_CLI_PATH
    c.cli = DL_CLI_PATH;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--stbsim")
            c.stbsim = next();
        else if (a == "--cli")
            c.cli = next();
        else if (a == "--baud")
            c.baud = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--turnaround-ms")
            c.turnaroundMs = std::stoi(next());
        else if (a == "--sectors")
            c.sectors = static_cast<unsigned>(std::stoul(next()));
        else if (a == "--full")
            c.sectors = kImageSectors;
        else if (a == "--send-bytes")
            c.sendBytes = std::stoul(next());
        else if (a == "--work-dir")
            c.workDir = next();
        else if (a == "--keep")
            c.keep = true;
        else if (a == "--sim-timer-slack-ns")
            c.simTimerSlackNs = std::stol(next());
        else if (a == "--case") {
            const std::string v = next();
            c.program = v == "program" || v == "all";
            c.send = v == "send" || v == "all";
        } else if (a == "--client") {
            const std::string v = next();
            c.downloader = v == "downloader" || v == "both";
            c.reference = v == "reference" || v == "both";
        } else {
            usage();
            return 2;
        }
    }
    if (c.sectors == 0 || c.sectors > kImageSectors || c.sendBytes < 32768 || c.baud == 0 ||
        (!c.program && !c.send) || (!c.downloader && !c.reference)) {
        usage();
        return 2;
    }
    for (const auto* p : {&c.stbsim, &c.cli}) {
        if (p->empty() || ::access(p->c_str(), X_OK) != 0) {
            std::fprintf(stderr,
                         "transfer_bench: not an executable: '%s' (build first, or pass --stbsim/--cli)\n",
                         p->c_str());
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    bool madeDir = false;
    if (c.workDir.empty()) {
        char tmpl[] = "/tmp/transfer_bench_XXXXXX";
        if (!::mkdtemp(tmpl)) return 1;
        c.workDir = tmpl;
        madeDir = true;
    }
    const std::string image = c.workDir + "/image.bin", data = c.workDir + "/data.dat";
    const auto imageBytes = randomBytes(kImageSectors * kSector, 1);
    const auto dataBytes = randomBytes(c.sendBytes, 2);
    if (!writeFile(image, imageBytes) || !writeFile(data, dataBytes)) {
        std::fprintf(stderr, "transfer_bench: cannot write into %s\n", c.workDir.c_str());
        return 1;
    }
    std::printf("transfer_bench: stbsim %s\n                downloader-cli %s\n                work dir %s\n",
                c.stbsim.c_str(), c.cli.c_str(), c.workDir.c_str());
    bool allOk = true;
    for (Kind kind : {Kind::program, Kind::send}) {
        if ((kind == Kind::program && !c.program) || (kind == Kind::send && !c.send)) continue;
        for (Client client : {Client::downloader, Client::reference}) {
            if ((client == Client::downloader && !c.downloader) ||
                (client == Client::reference && !c.reference))
                continue;
            std::fflush(stdout);
            const Outcome o = runCase(c, kind, client, image, data, imageBytes, dataBytes);
            printCase(c, kind, client, o);
            allOk &= o.ok;
        }
    }
    if (madeDir && !c.keep) {
        std::error_code ec;
        std::filesystem::remove_all(c.workDir, ec);
    }
    return allOk ? 0 : 1;
}
