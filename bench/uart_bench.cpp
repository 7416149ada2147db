// The senders against a simulated UART: does a sender keep the line busy without burning a core?
//
// The port is the write end of a pipe. A drain thread plays the UART: it takes bytes out of the pipe and
// puts them "on the wire" back to back at the line rate, 10 bits a byte, and the output-queue query
// (`readOutputQueue`) is answered from that model: bytes written and not yet shifted out, measured
// against the clock at the moment of the query. The core's sector sender or data stream runs in-process
// on a thread of its own, entered at the same thread function the program starts, and the benchmark
// reports
//   eff          line time of the payload / wall time from the start to the last bit on the wire;
//                eff_excl_model the same with the UART thread's own late wake-ups (idle_model_ms) taken out
//   snd_cpu_pct  CPU time of the sender thread (CLOCK_THREAD_CPUTIME_ID) / wall time, in percent;
//                snd_cpu_s/MiB the same CPU time per MiB put on the wire
//   proc_cpu_pct, uart_cpu_pct  the whole process (getrusage) and the UART thread alone, for comparison
//   polls/chunk  output-queue queries per 128-byte chunk (a busy loop shows thousands)
//   full_pct     share of those queries that found 128 bytes or more queued (the sender had to wait)
//   q_mean, q_max  queue depth the sender was told at its queries: how full it keeps the queue
//   idle_starved_ms  line idle with nothing queued: the sender's gaps (conservatively includes the UART
//                    thread's own wake-up latency after an empty queue)
//   idle_model_ms    line idle although bytes waited: the UART thread woke late (a flaw of the model,
//                    not of the sender)
// Every byte that reaches the wire is compared with the stream the sender must produce.
//
// The UART takes bytes out of the pipe up to kLead ahead of the wire, so a late wake-up of its thread
// does not idle the line; bytes taken early still count as queued until their time on the wire has come.
// The box of the sector runs asks for the next sector the moment the last bit of the previous one (its
// checksum) has left the line, with no turnaround and no request line, so every gap on the line between
// sectors is the sender's own (plus the wake-up latency of the thread that plays the box, counted against
// the sender as well).
//
// BM_ReferenceBusyPoll is a calibration: a loop local to this file that tops the queue up the same way
// but never sleeps. It shows what a busy loop looks like in these figures (a whole core).
// BM_ReferenceWakeCost measures the CPU time of one timed sleep and wake-up (poll with a 6 ms timeout, as
// the senders sleep at 115200 baud): a sleeping sender's CPU time is about its wake-ups times this.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exchange/data_stream.h"
#include "exchange/sector_sender.h"
#include "protocol/transfer.h"
#include "serial/port_write.h"
#include "serial/posix_line.h"
#include "session/session.h"
#include "session/window_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr dl::WindowId kWindow = 0xBE4C;
constexpr int kSlot = 1;
constexpr size_t kSector = 4096;
constexpr size_t kSectorWire = kSector + 4;  // data and its little-endian byte sum
constexpr int kTopUpBelow = 128;             // the senders write a chunk only below this queue depth
// The UART takes bytes this far ahead of the wire, so its own wake-up latency never idles the line.
constexpr auto kLead = 2ms;

double threadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    auto sec = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// A UART whose transmit queue is a pipe and whose shift register is a drain thread working to the clock.
class UartModel {
public:
    UartModel(uint32_t baud, std::vector<uint8_t> expected) : baud_(baud), expected_(std::move(expected)) {
        if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
        slice_ = std::max<size_t>(1, baud_ / 10 / 1000);  // about a millisecond of line time
        drain_ = std::thread([this] { drainLoop(); });
    }
    ~UartModel() {
        finish();
        ::close(pipe_[0]);
        if (pipe_[1] >= 0) ::close(pipe_[1]);
    }
    UartModel(const UartModel&) = delete;
    UartModel& operator=(const UartModel&) = delete;

    // The port descriptor handed to the session; the session owns it from then on.
    int takeWriteEnd() { return std::exchange(pipe_[1], -1); }

    Clock::duration lineTime(uint64_t bytes) const {
        return std::chrono::nanoseconds(static_cast<int64_t>(bytes * 10ull * 1'000'000'000ull / baud_));
    }

    // Bytes written to the port and not yet on the wire, as TIOCOUTQ tells it.
    int queued() {
        std::lock_guard lock(m_);
        const int q = pipeBytes() + inShiftRegister(Clock::now());
        ++queries_;
        if (q >= kTopUpBelow) ++fullQueries_;
        queueSum_ += static_cast<uint64_t>(q);
        queueMax_ = std::max(queueMax_, q);
        return q;
    }

    // Blocks until `count` bytes have been taken for the wire and returns when the last of them leaves it;
    // nullopt when the sender has not delivered them by `deadline`.
    std::optional<Clock::time_point> waitTransmitted(uint64_t count, Clock::time_point deadline) {
        std::unique_lock lock(m_);
        mark_ = count;
        if (!markReached_.wait_until(lock, deadline, [&] { return markTime_ != Clock::time_point{}; })) {
            mark_ = 0;
            return std::nullopt;
        }
        const auto t = markTime_;
        markTime_ = {};
        return t;
    }

    // Stops the drain thread, so its CPU time is known.
    void finish() {
        stop_ = true;
        if (drain_.joinable()) drain_.join();
    }

    struct Figures {
        uint64_t queries = 0, fullQueries = 0, onWire = 0, mismatches = 0;
        double queueMean = 0;
        int queueMax = 0;
        Clock::duration starved{}, late{};
        double drainCpu = 0;
    };
    Figures figures() {
        std::lock_guard lock(m_);
        Figures f;
        f.queries = queries_;
        f.fullQueries = fullQueries_;
        f.onWire = loaded_;
        f.mismatches = mismatches_;
        f.queueMean = queries_ ? static_cast<double>(queueSum_) / static_cast<double>(queries_) : 0;
        f.queueMax = queueMax_;
        f.starved = starved_;
        f.late = late_;
        f.drainCpu = drainCpu_;
        return f;
    }

private:
    struct Slice {
        Clock::time_point start;
        uint64_t bytes;
    };

    int pipeBytes() const {
        int n = 0;
        return ::ioctl(pipe_[0], FIONREAD, &n) == 0 ? n : 0;
    }

    // Bytes taken from the pipe whose time on the wire has not fully passed at `now`. Caller holds m_.
    int inShiftRegister(Clock::time_point now) {
        while (!pending_.empty() && pending_.front().start + lineTime(pending_.front().bytes) <= now)
            pending_.pop_front();
        uint64_t left = 0;
        for (const auto& s : pending_) {
            if (now <= s.start) {
                left += s.bytes;
                continue;
            }
            const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - s.start).count();
            const uint64_t sent = static_cast<uint64_t>(elapsed) * baud_ / 10ull / 1'000'000'000ull;
            left += s.bytes - std::min(s.bytes, sent);
        }
        return static_cast<int>(left);
    }

    void drainLoop() {
        const double cpu0 = threadCpuSeconds();
        std::vector<uint8_t> buf(slice_);
        while (!stop_.load()) {
            Clock::time_point lineFree;
            {
                std::lock_guard lock(m_);
                lineFree = lineFree_;
            }
            if (lineFree - kLead > Clock::now()) std::this_thread::sleep_until(lineFree - kLead);
            bool empty = false;
            {
                std::lock_guard lock(m_);
                const int avail = pipeBytes();
                if (avail <= 0) {
                    // Nothing queued with the line about to run dry: if it idles now, the sender let it.
                    sawEmpty_ = true;
                    empty = true;
                } else {
                    const ssize_t n = ::read(pipe_[0], buf.data(),
                                             std::min<size_t>(buf.size(), static_cast<size_t>(avail)));
                    if (n > 0) load(buf.data(), static_cast<size_t>(n));
                }
            }
            if (empty) {
                pollfd p{pipe_[0], POLLIN, 0};
                ::poll(&p, 1, 20);  // bounded, so a stop request is seen
            }
        }
        std::lock_guard lock(m_);
        drainCpu_ = threadCpuSeconds() - cpu0;
    }

    // Puts n bytes on the wire after whatever is on it. Caller holds m_.
    void load(const uint8_t* bytes, size_t n) {
        const auto now = Clock::now();
        if (loaded_ > 0 && lineFree_ < now) (sawEmpty_ ? starved_ : late_) += now - lineFree_;
        sawEmpty_ = false;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t at = loaded_ + i;
            if (at >= expected_.size() || expected_[at] != bytes[i]) ++mismatches_;
        }
        const auto start = std::max(now, lineFree_);
        pending_.push_back({start, n});
        const uint64_t before = loaded_;
        loaded_ += n;
        lineFree_ = start + lineTime(n);
        if (mark_ > before && mark_ <= loaded_) {
            markTime_ = start + lineTime(mark_ - before);
            mark_ = 0;
            markReached_.notify_all();
        }
    }

    const uint32_t baud_;
    const std::vector<uint8_t> expected_;
    int pipe_[2] = {-1, -1};
    size_t slice_ = 1;
    std::atomic<bool> stop_{false};
    std::thread drain_;

    std::mutex m_;
    std::condition_variable markReached_;
    std::deque<Slice> pending_;
    Clock::time_point lineFree_{};
    uint64_t loaded_ = 0;
    uint64_t mark_ = 0;
    Clock::time_point markTime_{};
    bool sawEmpty_ = false;
    uint64_t queries_ = 0, fullQueries_ = 0, mismatches_ = 0;
    uint64_t queueSum_ = 0;
    int queueMax_ = 0;
    Clock::duration starved_{}, late_{};
    double drainCpu_ = 0;
};

UartModel* currentUart = nullptr;
int modelQueue(int) {
    return currentUart ? currentUart->queued() : 0;
}

// A scratch file that is removed again.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& bytes) {
        char name[] = "/tmp/uart_bench_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) std::abort();
        path_ = name;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// One session in the table with the model's pipe as its port, as far as the senders look at it.
class HostedSession {
public:
    HostedSession(UartModel& uart, uint32_t baud) {
        dl::windowHost() = dl::WindowHost{};  // every window request does nothing
        previousQueue_ = dl::readOutputQueue;
        currentUart = &uart;
        dl::readOutputQueue = modelQueue;
        if (dl::createSession(kWindow, kSlot) != 1) std::abort();
        s().port.reset(uart.takeWriteEnd());
        s().baudRate = baud;
        s().connected = 1;
    }
    ~HostedSession() {
        s().connected = 0;
        s().port.reset();
        dl::destroySession(kWindow);
        dl::readOutputQueue = previousQueue_;
        currentUart = nullptr;
    }
    dl::PortSession& s() { return dl::sessionTable[kSlot]; }

private:
    int (*previousQueue_)(int) = nullptr;
};

struct SenderRun {
    bool complete = false;  // every byte reached the wire before the deadline
    double wall = 0;        // start to the last bit on the wire
    double senderCpu = 0;   // the sender thread's own CPU time
    double processCpu = 0;  // every thread of the process over the run
    uint64_t payload = 0;   // bytes the sender had to put on the wire
    uint64_t chunks = 0;
    UartModel::Figures uart;
};

// Three times the line time and five seconds more: a sender that stalls fails the case instead of
// hanging the benchmark.
Clock::time_point deadlineFor(Clock::time_point t0, uint64_t bytes, uint32_t baud) {
    return t0 + std::chrono::nanoseconds(static_cast<int64_t>(bytes * 30ull * 1'000'000'000ull / baud)) + 5s;
}

void report(benchmark::State& state, const SenderRun& r, uint32_t baud) {
    if (!r.complete) {
        state.SkipWithError("the sender did not deliver the whole stream in time");
        return;
    }
    if (r.uart.mismatches != 0 || r.uart.onWire != r.payload) {
        state.SkipWithError("the bytes on the wire are not the stream the sender had to send");
        return;
    }
    const double ideal = static_cast<double>(r.payload) * 10.0 / baud;
    state.SetIterationTime(r.wall);
    state.SetBytesProcessed(static_cast<int64_t>(r.payload));
    auto& c = state.counters;
    c["eff"] = ideal / r.wall;
    c["eff_excl_model"] = ideal / (r.wall - seconds(r.uart.late));
    c["snd_cpu_pct"] = 100.0 * r.senderCpu / r.wall;
    c["snd_cpu_s/MiB"] = r.senderCpu / (static_cast<double>(r.payload) / 1048576.0);
    c["proc_cpu_pct"] = 100.0 * r.processCpu / r.wall;
    c["uart_cpu_pct"] = 100.0 * r.uart.drainCpu / r.wall;
    c["polls/chunk"] = r.chunks ? static_cast<double>(r.uart.queries) / static_cast<double>(r.chunks) : 0;
    c["full_pct"] =
        r.uart.queries ? 100.0 * static_cast<double>(r.uart.fullQueries) / static_cast<double>(r.uart.queries)
                       : 0;
    c["q_mean"] = r.uart.queueMean;
    c["q_max"] = r.uart.queueMax;
    c["idle_starved_ms"] = seconds(r.uart.starved) * 1e3;
    c["idle_model_ms"] = seconds(r.uart.late) * 1e3;
}

// The sector sender serving `sectors` requests in turn from a 1 MiB image.
void BM_SectorSender(benchmark::State& state) {
    const auto baud = static_cast<uint32_t>(state.range(0));
    const auto sectors = static_cast<uint32_t>(state.range(1));
    const auto image = randomBytes(256 * kSector, 11);
    std::vector<uint8_t> wire;
    for (uint32_t k = 0; k < sectors; ++k) {
        const uint8_t* p = image.data() + size_t{k} * kSector;
        uint32_t sum = 0;
        for (size_t i = 0; i < kSector; ++i) sum += p[i];
        wire.insert(wire.end(), p, p + kSector);
        for (int i = 0; i < 4; ++i) wire.push_back(static_cast<uint8_t>(sum >> (8 * i)));
    }
    TempFile file(image);
    for (auto _ : state) {
        SenderRun r;
        {
            UartModel uart(baud, wire);
            HostedSession hosted(uart, baud);
            auto& s = hosted.s();
            s.file.reset(::open(file.path().c_str(), O_RDONLY | O_CLOEXEC));
            s.sectorTotal = sectors;
            s.sectorsSent = 0;
            s.bytesSent = 0;
            s.transferActive = 1;
            s.programming = 1;
            s.senderRun = 1;
            s.requestedSector = 0;
            auto semaphore = dl::sectorSemaphore();
            semaphore->release();  // the first request, sector 0 (the count may already stand at 1)
            const double proc0 = processCpuSeconds();
            const auto t0 = Clock::now();
            const auto deadline = deadlineFor(t0, wire.size(), baud);
            std::thread sender([&] {
                const double c0 = threadCpuSeconds();
                dl::sectorSenderThread(kSlot);
                r.senderCpu = threadCpuSeconds() - c0;
            });
            Clock::time_point lastBit{};
            r.complete = true;
            for (uint32_t k = 0; k < sectors && r.complete; ++k) {
                auto t = uart.waitTransmitted(uint64_t{k + 1} * kSectorWire, deadline);
                if (!t) {
                    r.complete = false;
                    s.connected = 0;  // ends the sector loop of a stalled sender
                    break;
                }
                lastBit = *t;
                std::this_thread::sleep_until(lastBit);
                if (k + 1 < sectors) {
                    s.requestedSector = static_cast<uint16_t>(k + 1);
                    semaphore->release();
                }
            }
            s.senderRun = 0;  // the stop line
            semaphore->release();
            sender.join();
            r.processCpu = processCpuSeconds() - proc0;
            r.wall = seconds(lastBit - t0);
            r.payload = wire.size();
            r.chunks = uint64_t{sectors} * (kSector / 128);
            uart.finish();
            r.uart = uart.figures();
        }
        report(state, r, baud);
    }
}

// The data stream sending a whole file.
void BM_DataStream(benchmark::State& state) {
    const auto baud = static_cast<uint32_t>(state.range(0));
    const auto bytes = static_cast<size_t>(state.range(1));
    const auto data = randomBytes(bytes, 23);
    TempFile file(data);
    for (auto _ : state) {
        SenderRun r;
        {
            UartModel uart(baud, data);
            HostedSession hosted(uart, baud);
            auto& s = hosted.s();
            s.file.reset(::open(file.path().c_str(), O_RDONLY | O_CLOEXEC));
            s.fileSize = static_cast<uint32_t>(bytes);
            dl::transfer.sendSize = static_cast<uint32_t>(bytes);
            s.bytesSent = 0;
            s.transferActive = 1;
            s.senderRun = 1;
            const double proc0 = processCpuSeconds();
            const auto t0 = Clock::now();
            std::thread sender([&] {
                const double c0 = threadCpuSeconds();
                dl::dataStreamThread(kSlot);
                r.senderCpu = threadCpuSeconds() - c0;
            });
            const auto lastBit = uart.waitTransmitted(bytes, deadlineFor(t0, bytes, baud));
            r.complete = lastBit.has_value();
            if (lastBit)
                std::this_thread::sleep_until(*lastBit);
            else
                s.senderRun = 0;  // stops a stalled stream
            sender.join();        // otherwise it ends by itself once its read meets the end of the file
            r.processCpu = processCpuSeconds() - proc0;
            r.wall = lastBit ? seconds(*lastBit - t0) : 0;
            r.payload = bytes;
            r.chunks = (bytes + 127) / 128;
            uart.finish();
            r.uart = uart.figures();
        }
        report(state, r, baud);
    }
}

// Calibration: the same top-up rule with no sleep between queries.
void BM_ReferenceBusyPoll(benchmark::State& state) {
    const auto baud = static_cast<uint32_t>(state.range(0));
    const auto bytes = static_cast<size_t>(state.range(1));
    const auto data = randomBytes(bytes, 31);
    for (auto _ : state) {
        SenderRun r;
        {
            UartModel uart(baud, data);
            const int fd = uart.takeWriteEnd();
            std::atomic<bool> stop{false};
            const double proc0 = processCpuSeconds();
            const auto t0 = Clock::now();
            std::thread sender([&] {
                const double c0 = threadCpuSeconds();
                size_t sent = 0;
                while (sent < bytes && !stop.load(std::memory_order_relaxed)) {
                    if (uart.queued() >= kTopUpBelow) continue;
                    const size_t n = std::min<size_t>(128, bytes - sent);
                    if (::write(fd, data.data() + sent, n) == static_cast<ssize_t>(n)) sent += n;
                }
                r.senderCpu = threadCpuSeconds() - c0;
            });
            const auto lastBit = uart.waitTransmitted(bytes, deadlineFor(t0, bytes, baud));
            r.complete = lastBit.has_value();
            if (lastBit) std::this_thread::sleep_until(*lastBit);
            stop = true;
            sender.join();
            ::close(fd);
            r.processCpu = processCpuSeconds() - proc0;
            r.wall = lastBit ? seconds(*lastBit - t0) : 0;
            r.payload = bytes;
            r.chunks = (bytes + 127) / 128;
            uart.finish();
            r.uart = uart.figures();
        }
        report(state, r, baud);
    }
}

// Calibration: what one timed sleep and wake-up of a thread costs on this machine, the unit in which a
// sleeping sender pays for keeping the queue topped up.
void BM_ReferenceWakeCost(benchmark::State& state) {
    const int sleeps = static_cast<int>(state.range(0));
    const int sleepMs = static_cast<int>(state.range(1));
    for (auto _ : state) {
        pollfd p{-1, 0, 0};  // nothing to wait for: each poll sleeps its whole timeout
        const auto t0 = Clock::now();
        const double c0 = threadCpuSeconds();
        for (int i = 0; i < sleeps; ++i) ::poll(&p, 1, sleepMs);
        const double cpu = threadCpuSeconds() - c0;
        state.SetIterationTime(seconds(Clock::now() - t0));
        state.counters["cpu_us/wake"] = cpu / sleeps * 1e6;
    }
}

// Sizes keep each case to a few seconds of line time: 115200 is the line the product runs at; the faster
// rates show where sleeping a line time between top-ups (never under a millisecond) stops keeping a
// 128..255-byte queue ahead of the wire.
void sectorArgs(benchmark::internal::Benchmark* b) {
    b->Args({115200, 16})->Args({921600, 64})->Args({3000000, 64});
}
void streamArgs(benchmark::internal::Benchmark* b) {
    b->Args({115200, 64 * 1024})->Args({921600, 256 * 1024})->Args({3000000, 256 * 1024});
}

BENCHMARK(BM_SectorSender)
    ->Apply(sectorArgs)
    ->ArgNames({"baud", "sectors"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataStream)
    ->Apply(streamArgs)
    ->ArgNames({"baud", "bytes"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceWakeCost)
    ->Args({300, 6})
    ->ArgNames({"sleeps", "ms"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceBusyPoll)
    ->Args({115200, 16 * 1024})
    ->ArgNames({"baud", "bytes"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
