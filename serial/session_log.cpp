#include "serial/session_log.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>

#include "base/win32.h"
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/texts.h"
#include "base/unique_fd.h"
#include "session/protocol_state.h"

namespace dl {

TimeOfDay localTimeOfDay(LogClock::time_point at) {
    const std::time_t seconds = LogClock::to_time_t(at);
    std::tm local{};
#ifdef _WIN32
    ::localtime_s(&local, &seconds);
#else
    ::localtime_r(&seconds, &local);
#endif
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    return {local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms < 0 ? ms + 1000 : ms)};
}

void LogLines::startLine(LogClock::time_point at, std::string& out) {
    lineOpen_ = true;
    if (!timestamps_) return;
    const TimeOfDay t = timeOfDay_(at);
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.millisecond);
    out += stamp;
}

void LogLines::text(std::span<const uint8_t> bytes, LogClock::time_point at, std::string& out) {
    for (const uint8_t b : bytes) {
        const bool crLf = afterCr_ && b == '\n';
        afterCr_ = b == '\r';
        if (crLf) continue;  // the CR ended the line already
        if (b == '\r' || b == '\n') {
            // An empty line gets its time too, so the file reads as the box's lines did.
            if (!lineOpen_) startLine(at, out);
            out += '\n';
            lineOpen_ = false;
            continue;
        }
        if (!lineOpen_) startLine(at, out);
        out += static_cast<char>(b);
    }
}

void LogLines::note(std::string_view line, LogClock::time_point at, std::string& out) {
    if (lineOpen_) out += '\n';
    lineOpen_ = false;
    startLine(at, out);
    out += line;
    out += '\n';
    lineOpen_ = false;
}

std::string exchangeNote(const ExchangeOutcome& o) {
    if (o.kind == OutcomeKind::none) return {};
    if (o.kind == OutcomeKind::completed) {
        const auto bytes = static_cast<long long>(o.size);
        switch (o.exchange) {
            case ExchangeKind::dataSend:
                return formatText(Text::logSendDone, bytes, o.ours);
            case ExchangeKind::dataReceive:
                return formatText(Text::logReceiveDone, bytes, o.ours);
            case ExchangeKind::programming:
                return formatText(Text::logProgrammingDone, o.sectors, static_cast<unsigned>(o.size));
        }
    }
    return "[" + outcomeText(o) + "]";
}

namespace {

struct Piece {
    LogClock::time_point at;
    bool note = false;
    std::string bytes;
};

class Log {
public:
    Log(WindowId window, UniqueFd fd, std::string path, bool timestamps, std::function<void()> onFailure)
        : window(window),
          fd_(std::move(fd)),
          path_(std::move(path)),
          lines_(timestamps),
          onFailure_(std::move(onFailure)),
          writer_([this] { run(); }) {}
    ~Log() { finish(); }
    // Writes what is queued and ends the writer. Called where a stop is asked for (the main thread), not
    // left to whoever lets go of the log last: that may be the reader, which must not wait for the disk.
    void finish() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        stopping_ = true;
        cv_.notify_one();
        if (writer_.joinable()) writer_.join();
    }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void push(Piece piece) {
        if (failed.load()) return;
        bool first;
        {
            std::lock_guard lock(m_);
            if (stop_) return;
            if (queued_ + piece.bytes.size() > kSessionLogQueueBytes) {
                // Counted, not waited for: the writer says the gap once it has caught up.
                dropped_ += piece.bytes.size();
                return;
            }
            queued_ += piece.bytes.size();
            first = queue_.empty();
            queue_.push_back(std::move(piece));
        }
        if (first) cv_.notify_one();
    }

    std::string takeError() {
        std::lock_guard lock(m_);
        return std::exchange(error_, {});
    }

    const WindowId window;
    std::atomic<bool> failed{false};

private:
    void run() {
        for (bool last = false; !last;) {
            std::vector<Piece> batch;
            uint64_t dropped;
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                // Text comes a piece every few milliseconds: a quarter second's worth is written at once.
                cv_.wait_for(lock, kSessionLogGather, [&] { return stop_; });
                batch.swap(queue_);
                queued_ = 0;
                dropped = std::exchange(dropped_, 0);
                last = stop_;
            }
            std::string out;
            for (const Piece& p : batch) {
                if (p.note)
                    lines_.note(p.bytes, p.at, out);
                else
                    lines_.text({reinterpret_cast<const uint8_t*>(p.bytes.data()), p.bytes.size()}, p.at,
                                out);
            }
            if (dropped > 0)
                lines_.note(formatText(Text::logFellBehind, static_cast<unsigned long long>(dropped)),
                            LogClock::now(), out);
            if (const int e = writeAll(out); e != 0) {
                fail(e);
                return;
            }
        }
    }

    // 0, or the errno of the write that failed.
    int writeAll(const std::string& text) {
        size_t at = 0;
        while (at < text.size()) {
#ifdef _WIN32
            const auto n = ::_write(fd_.get(), text.data() + at, static_cast<unsigned>(text.size() - at));
            if (n > 0) {
                at += static_cast<size_t>(n);
                continue;
            }
            return n == 0 ? EIO : errno;
#else
            const ssize_t n = ::write(fd_.get(), text.data() + at, text.size() - at);
            if (n > 0) {
                at += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) return EIO;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return errno;
            // A pipe or a terminal as the log: it is waited for, but never past the log's stop.
            if (stopping_.load()) return EAGAIN;
            pollfd p{fd_.get(), POLLOUT, 0};
            (void)::poll(&p, 1, 100);
#endif
        }
        return 0;
    }

    void fail(int error) {
        fd_.reset();
        {
            std::lock_guard lock(m_);
            error_ = formatText(Text::logStopped, path_.c_str(), std::strerror(error));
            queue_.clear();
            queued_ = 0;
        }
        failed = true;
        if (onFailure_) onFailure_();
    }

    UniqueFd fd_;
    const std::string path_;
    LogLines lines_;
    std::function<void()> onFailure_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Piece> queue_;
    size_t queued_ = 0;
    uint64_t dropped_ = 0;
    bool stop_ = false;
    std::atomic<bool> stopping_{false};
    std::string error_;
    std::thread writer_;  // last: it starts once everything it uses is there
};

// A log is reached through its slot's lock only long enough to share it: the writer's disk time is
// never under that lock, and a stop destroys the log (joining its writer) after letting go of it.
struct Slot {
    std::mutex m;
    std::shared_ptr<Log> log;
    std::atomic<bool> on{false};  // a log is there: the reader's fast look, without the lock
};
std::array<Slot, kSessionSlots> slots;

std::shared_ptr<Log> logOf(int slot) {
    if (slot <= 0 || slot >= kSessionSlots || !slots[slot].on.load(std::memory_order_relaxed)) return nullptr;
    std::lock_guard lock(slots[slot].m);
    return slots[slot].log;
}

std::string stopSlot(int slot) {
    std::shared_ptr<Log> log;
    {
        std::lock_guard lock(slots[slot].m);
        slots[slot].on = false;
        log = std::exchange(slots[slot].log, nullptr);
    }
    if (!log) return {};
    log->finish();
    return log->takeError();
}

void noteOutcome(const ExchangeOutcome& o, int slot) {
    if (std::string line = exchangeNote(o); !line.empty())
        sessionLogNote(slot ? slot : transferOwner.load(), line);
}

}  // namespace

std::string startSessionLog(WindowId window, const std::string& path, bool timestamps,
                            std::function<void()> onFailure) {
    const int slot = lookupSession(window);
    if (slot == 0) return formatText(Text::logCannotOpen, path.c_str(), std::strerror(ENODEV));
    (void)stopSlot(slot);  // the front end asked for a new log: the old one's fate is no longer news
#ifdef _WIN32
    // Binary, so the log's line ends stay the box's LFs; not inherited by programs started later.
    UniqueFd fd(::_wopen(widePath(path).c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE));
#else
    // Non-blocking, so a FIFO named as the log cannot stall the window that opens it.
    UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
#endif
    if (!fd) return formatText(Text::logCannotOpen, path.c_str(), std::strerror(errno));
    setOutcomeObserver(noteOutcome);
    auto log = std::make_shared<Log>(window, std::move(fd), path, timestamps, std::move(onFailure));
    std::lock_guard lock(slots[slot].m);
    slots[slot].log = std::move(log);
    slots[slot].on = true;
    return {};
}

std::string stopSessionLog(WindowId window) {
    const int slot = lookupSession(window);
    return slot ? stopSlot(slot) : std::string();
}

bool sessionLogActive(WindowId window) {
    auto log = logOf(lookupSession(window));
    return log && !log->failed.load();
}

std::string takeSessionLogError(WindowId window) {
    auto log = logOf(lookupSession(window));
    return log ? log->takeError() : std::string();
}

void sessionLogText(PortSession& s, std::span<const uint8_t> bytes) {
    const auto slot = static_cast<int>(&s - sessionTable.data());
    auto log = logOf(slot);
    if (!log || log->window != s.window.load()) return;
    log->push(
        {LogClock::now(), false, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())});
}

void sessionLogNote(int slot, std::string_view line) {
    if (auto log = logOf(slot)) log->push({LogClock::now(), true, std::string(line)});
}

}  // namespace dl
