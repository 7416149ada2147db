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
#include <utility>
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
    // A console brings thousands of lines a second: the clock's hours, minutes and seconds are asked once
    // a second, and the stamp is put together by hand.
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    long long second = ms / 1000;
    if (ms % 1000 < 0) --second;
    if (second != stampSecond_) {
        stampSecond_ = second;
        stampClock_ = timeOfDay_(at);
    }
    const auto milli = static_cast<int>(ms - second * 1000);
    const auto two = [](int v, char* d) {
        d[0] = static_cast<char>('0' + v / 10 % 10);
        d[1] = static_cast<char>('0' + v % 10);
    };
    char stamp[13];
    two(stampClock_.hour, stamp);
    stamp[2] = ':';
    two(stampClock_.minute, stamp + 3);
    stamp[5] = ':';
    two(stampClock_.second, stamp + 6);
    stamp[8] = '.';
    stamp[9] = static_cast<char>('0' + milli / 100);
    two(milli % 100, stamp + 10);
    stamp[12] = ' ';
    out.append(stamp, sizeof stamp);
}

void LogLines::text(std::span<const uint8_t> bytes, LogClock::time_point at, std::string& out) {
    const uint8_t* p = bytes.data();
    const uint8_t* const end = p + bytes.size();
    while (p < end) {
        if (std::exchange(afterCr_, false) && *p == '\n') {
            ++p;  // the CR ended the line already
            continue;
        }
        const uint8_t* run = p;
        while (run < end && *run != '\r' && *run != '\n') ++run;
        if (run == p) {
            // An empty line gets its time too, so the file reads as the box's lines did.
            if (!lineOpen_) startLine(at, out);
            out += '\n';
            lineOpen_ = false;
            afterCr_ = *p++ == '\r';
            continue;
        }
        if (!lineOpen_) startLine(at, out);
        out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(run - p));
        p = run;
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

// What the reader queued: the bytes of every piece back to back, and where each piece ends. Both are
// handed to the writer whole and handed back empty, so once they have grown neither side allocates.
struct Mark {
    LogClock::time_point at;
    size_t end;  // in Queue::bytes
    bool note;
};
struct Queue {
    std::string bytes;
    std::vector<Mark> marks;
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

    void push(LogClock::time_point at, bool note, std::string_view bytes) {
        if (failed.load()) return;
        bool first;
        {
            std::lock_guard lock(m_);
            if (stop_) return;
            if (queue_.bytes.size() + bytes.size() > kSessionLogQueueBytes) {
                // Counted, not waited for: the writer says the gap once it has caught up.
                dropped_ += bytes.size();
                return;
            }
            first = queue_.marks.empty();
            queue_.bytes += bytes;
            queue_.marks.push_back({at, queue_.bytes.size(), note});
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
        Queue batch;
        std::string out;
        for (bool last = false; !last;) {
            uint64_t dropped;
            batch.bytes.clear();
            batch.marks.clear();
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return stop_ || !queue_.marks.empty(); });
                // Text comes a piece every few milliseconds: a quarter second's worth is written at once.
                cv_.wait_for(lock, kSessionLogGather, [&] { return stop_; });
                std::swap(batch, queue_);
                dropped = std::exchange(dropped_, 0);
                last = stop_;
            }
            out.clear();
            size_t from = 0;
            for (const Mark& m : batch.marks) {
                const std::string_view piece(batch.bytes.data() + from, m.end - from);
                from = m.end;
                if (m.note)
                    lines_.note(piece, m.at, out);
                else
                    lines_.text({reinterpret_cast<const uint8_t*>(piece.data()), piece.size()}, m.at, out);
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
            queue_ = {};
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
    Queue queue_;
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
    log->push(LogClock::now(), false, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void sessionLogNote(int slot, std::string_view line) {
    if (auto log = logOf(slot)) log->push(LogClock::now(), true, line);
}

}  // namespace dl
