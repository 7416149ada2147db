// Helpers for integration tests that put stbsim, the simulated set-top box, on the far end of a serial line.
//
//   dltest::StbsimProcess sim({"--image", imagePath, "--exit-after-program"});  // spawns it, reads its PTY
//   line dltest::PcPort port(sim.ptyPath());                 // the PC's end of the line, raw and 8-bit clean
//   port.write("\rm:prog_sum\r");
//   auto start = port.readUntil("\r\n", 2s);            // std::nullopt when the deadline passes first
//   auto sector = sim.waitEvent("SECTOR", 2s);          // the next SECTOR event, parsed
//   EXPECT_EQ(sector->get("ok"), "1");
//
// A test that drives the downloader itself opens sim.ptyPath() as the port instead of using PcPort.
//
// Every wait takes a deadline and returns as soon as its condition holds; nothing sleeps a fixed time. The
// process gets SIGTERM and is reaped when the StbsimProcess goes away, and SIGTERM from the kernel should the
// test process die first, so no simulator is ever left behind.
//
// The program is DL_STBSIM_PATH (defined by the test build), unless the environment variable STBSIM_PATH
// names another one. The event format and the options are described in tools/stbsim/README.md.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dltest {

using Millis = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// One event line of stbsim's report: "NAME key=value ...", values unescaped.
struct SimEvent {
    std::string name;
    std::map<std::string, std::string> fields;
    std::string raw;  // the line as printed, for failure messages

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    // The value, or "" when the key is missing.
    std::string get(const std::string& key) const {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
    // The value as a number in the given base; throws std::invalid_argument when missing or not a number.
    unsigned long long number(const std::string& key, int base = 10) const {
        std::string text = get(key);
        size_t used = 0;
        unsigned long long value = std::stoull(text, &used, base);
        if (used != text.size()) throw std::invalid_argument(key + " is not a number: " + raw);
        return value;
    }
};

// Undoes stbsim's value escaping (\xNN).
inline std::string unescapeValue(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

inline SimEvent parseEvent(std::string_view line) {
    SimEvent event;
    event.raw = line;
    size_t at = line.find(' ');
    event.name = line.substr(0, at);
    while (at != std::string_view::npos) {
        size_t next = line.find(' ', at + 1);
        std::string_view field = line.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
        size_t eq = field.find('=');
        if (eq != std::string_view::npos)
            event.fields[std::string(field.substr(0, eq))] = unescapeValue(field.substr(eq + 1));
        at = next;
    }
    return event;
}

namespace detail {

inline int msLeft(SteadyClock::time_point until) {
    auto left = std::chrono::duration_cast<Millis>(until - SteadyClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left + 1);
}

// Waits for `events` on fd until the deadline; the revents, or 0 on timeout.
inline short pollUntil(int fd, short events, SteadyClock::time_point until) {
    for (;;) {
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, msLeft(until));
        if (ready > 0) return p.revents;
        if (ready == 0) {
            if (SteadyClock::now() >= until) return 0;
            continue;
        }
        if (errno != EINTR) return POLLERR;
    }
}

}  // namespace detail

// A running stbsim and the events it has reported.
class StbsimProcess {
public:
    explicit StbsimProcess(const std::vector<std::string>& args = {}, Millis startTimeout = Millis(5000))
        : StbsimProcess(defaultProgram(), args, startTimeout) {}

    // Starts `program` with `args`; throws std::runtime_error when it does not report its pty in time.
    StbsimProcess(const std::string& program, const std::vector<std::string>& args, Millis startTimeout) {
        spawn(program, args);
        auto until = SteadyClock::now() + startTimeout;
        while (lines_.empty() && pump(until)) {
        }
        if (lines_.empty() || lines_.front().rfind("PTY ", 0) != 0) {
            std::string seen = lines_.empty() ? "nothing" : lines_.front();
            terminate();
            throw std::runtime_error("stbsim did not report its pty (got " + seen + ")");
        }
        ptyPath_ = lines_.front().substr(4);
    }

    ~StbsimProcess() { terminate(); }
    StbsimProcess(const StbsimProcess&) = delete;
    StbsimProcess& operator=(const StbsimProcess&) = delete;

    static std::string defaultProgram() {
        if (const char* path = std::getenv("STBSIM_PATH")) return path;
#ifdef DL_STBSIM_PATH
        return DL_STBSIM_PATH;
#else
        throw std::runtime_error("no stbsim: define DL_STBSIM_PATH or set STBSIM_PATH");
#endif
    }

    const std::string& ptyPath() const {
        return ptyPath_;
    }
    pid_t pid() const {
        return pid_;
    }

    // The next event called `name` that no earlier call returned; earlier events of other names stay
    // available. std::nullopt when the deadline passes or stbsim ends first.
    std::optional<SimEvent> waitEvent(std::string_view name, Millis timeout) {
        auto until = SteadyClock::now() + timeout;
        for (;;) {
            for (size_t i = 0; i < events_.size(); ++i) {
                if (!taken_[i] && events_[i].name == name) {
                    taken_[i] = true;
                    return events_[i];
                }
            }
            if (!pump(until)) return std::nullopt;
        }
    }

    // Every report line read so far, the PTY line first; handy in failure messages.
    const std::vector<std::string>& lines() const {
        return lines_;
    }
    std::string log() const {
        std::string text;
        for (const auto& line : lines_) text += line + "\n";
        return text;
    }

    // Waits for stbsim to end by itself: its exit code (128 + signal when killed), or std::nullopt on
    // timeout.
    std::optional<int> waitExit(Millis timeout) {
        if (status_) return status_;
        auto until = SteadyClock::now() + timeout;
        while (pump(until)) {
        }
        // End of its stdout means it is exiting; give it the rest of the deadline to be reaped.
        for (;;) {
            if (reap(WNOHANG)) return status_;
            if (SteadyClock::now() >= until) return std::nullopt;
            usleep(1000);
        }
    }

    // SIGTERM, then SIGKILL if it does not end within two seconds; always reaps.
    void terminate() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGTERM);
            if (!waitExit(Millis(2000))) {
                kill(pid_, SIGKILL);
                reap(0);
            }
        }
        closeOutput();
    }

private:
    void spawn(const std::string& program, const std::vector<std::string>& args) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            dup2(out[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        if (pid_ < 0) {
            close(out[0]);
            throw std::runtime_error("fork failed");
        }
        output_ = out[0];
        fcntl(output_, F_SETFL, fcntl(output_, F_GETFL) | O_NONBLOCK);
    }

    // Reads more report output; false on timeout or end of output.
    bool pump(SteadyClock::time_point until) {
        if (output_ < 0) return false;
        if (detail::pollUntil(output_, POLLIN, until) == 0) return false;
        char chunk[4096];
        ssize_t n = read(output_, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {
            closeOutput();
            return false;
        }
        partial_.append(chunk, static_cast<size_t>(n));
        for (size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1)) {
            lines_.push_back(partial_.substr(0, end));
            if (lines_.size() > 1) {
                events_.push_back(parseEvent(lines_.back()));
                taken_.push_back(false);
            }
        }
        return true;
    }

    bool reap(int flags) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, flags);
        if (done != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    void closeOutput() {
        if (output_ >= 0) close(output_);
        output_ = -1;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::optional<int> status_;
    std::string ptyPath_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::vector<SimEvent> events_;
    std::vector<bool> taken_;
};

// The PC's end of the line: the pty slave opened raw, with byte-exact reads and writes under deadlines. Bytes
// are carried in std::string. Bytes read but not yet returned stay buffered for the next read.
class PcPort {
public:
    explicit PcPort(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        termios raw{};
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &raw);
    }
    ~PcPort() { close(); }
    PcPort(const PcPort&) = delete;
    PcPort& operator=(const PcPort&) = delete;

    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Writes everything; false when the deadline passes first or the line is gone.
    bool write(std::string_view bytes, Millis timeout = Millis(2000)) {
        auto until = SteadyClock::now() + timeout;
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && errno == EAGAIN) {
                short events = detail::pollUntil(fd_, POLLOUT, until);
                if (events == 0 || (events & (POLLHUP | POLLERR))) return false;
            } else if (!(n < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }

    // Whatever arrives first (with anything already buffered); empty on timeout or hang-up.
    std::string read(Millis timeout) {
        if (buffer_.empty()) pump(SteadyClock::now() + timeout);
        return std::exchange(buffer_, {});
    }

    std::optional<std::string> readExactly(size_t count, Millis timeout) {
        auto until = SteadyClock::now() + timeout;
        while (buffer_.size() < count)
            if (!pump(until)) return std::nullopt;
        std::string out = buffer_.substr(0, count);
        buffer_.erase(0, count);
        return out;
    }

    // Everything up to and including `needle`.
    std::optional<std::string> readUntil(std::string_view needle, Millis timeout) {
        auto until = SteadyClock::now() + timeout;
        size_t found;
        while ((found = buffer_.find(needle)) == std::string::npos)
            if (!pump(until)) return std::nullopt;
        std::string out = buffer_.substr(0, found + needle.size());
        buffer_.erase(0, found + needle.size());
        return out;
    }

    // True once the far side has closed the line (POLLHUP, EIO); data arriving meanwhile stays buffered.
    bool waitHangup(Millis timeout) {
        auto until = SteadyClock::now() + timeout;
        while (!hungUp_)
            if (!pump(until) && !hungUp_) return false;
        return true;
    }

    bool hungUp() const { return hungUp_; }

private:
    // Reads what arrives before the deadline; false on timeout or hang-up.
    bool pump(SteadyClock::time_point until) {
        if (hungUp_ || fd_ < 0) return false;
        short events = detail::pollUntil(fd_, POLLIN, until);
        if (events == 0) return false;
        char chunk[4096];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            buffer_.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        hungUp_ = true;
        return false;
    }

    int fd_ = -1;
    bool hungUp_ = false;
    std::string buffer_;
};

}  // namespace dltest
